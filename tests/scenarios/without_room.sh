#!/bin/sh
# Runs a command that has no room for files: every write to a file fails (as
# on a full disk) while its standard output and error, pipes, still work.
#   without_room.sh COMMAND [ARGUMENT...]
trap '' XFSZ
ulimit -f 0
exec "$@"
