#!/usr/bin/env python3
"""Every line halvex-host prints with --json is valid JSON, whatever bytes its
input holds: a scenario whose name, comments, quoted text and configuration
hold bytes that are not UTF-8, DEL and control characters, and --check-config
--json on a configuration file named that way.

    json_lines.py HOST SCRATCH-FOLDER
"""
import json
import os
import shutil
import subprocess
import sys

host, scratch = sys.argv[1], sys.argv[2].encode()
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)

# Not UTF-8 (a Latin-1 e, an overlong "T", a surrogate, a lone continuation
# byte), DEL, a control character and a terminal escape.
hostile = b"caf\xe9 T\xc1\xb9pe \xed\xa0\x80 \x80 \x7f \x01 \x1b[2J"
reg_name = os.path.join(scratch, b"r\xe9g\x7f\x01.reg")
scn_name = os.path.join(scratch, b"sc\xe9n\x7f\x1b.scn")
with open(reg_name, "wb") as reg:
    reg.write(b"Windows Registry Editor Version 5.00\n"
              b"; " + hostile + b"\n"
              b"[Device Parameters]\n"
              b"\"NumberOfChannels\"=dword:00000001\n"
              b"\"WlanAntCount\"=dword:00000000\n"
              b"[Device Parameters\\channel0]\n"
              b"\"ChannelType\"=\"MODEM\"\n"
              b"\"SarMappingCount\"=dword:00000002\n"
              b"\"0\"=dword:00000001\n"
              b"\"1\"=dword:00000003\n"
              b"[Device Parameters\\channel0\\0]\n"
              b"\"Type\"=\"APPS\"\n"
              b"\"ID\"=dword:00000001\n"
              # A subkey the driver does not take, its name quoted back.
              b"[Device Parameters\\x\x7f\x01\x1b]\n")
with open(scn_name, "wb") as scn:
    scn.write(b"# " + hostile + b"\n"
              b"config " + os.path.basename(reg_name) + b"\n"
              b"add\n"
              b"expect add success\n"
              b"# " + hostile + b"\n"
              b"expect no-trace \"" + hostile.replace(b"\\", b"\\\\") + b"\"\n"
              b"remove\n")


def lines_of(args, expected_status):
    run = subprocess.run([host.encode()] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         timeout=120)
    sys.stdout.write(run.stdout.decode("utf-8", "backslashreplace"))
    sys.stdout.write(run.stderr.decode("utf-8", "backslashreplace"))
    if run.returncode != expected_status:
        sys.exit(f"halvex-host exited with {run.returncode}, expected {expected_status}")
    objects = []
    for number, line in enumerate(run.stdout.split(b"\n")[:-1], 1):
        try:
            objects.append(json.loads(line.decode("utf-8")))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            sys.exit(f"line {number} is not JSON ({error}): {line!r}")
    if not objects:
        sys.exit("no JSON line was printed")
    return objects


# The replacement character stands for each byte that is not UTF-8; DEL and
# the control characters come back as they were.
shown = "caf\ufffd T\ufffd\ufffdpe \ufffd\ufffd\ufffd \ufffd \x7f \x01 \x1b[2J"

timeline = lines_of([b"--json", b"--trace", b"verbose", scn_name], 0)
kinds = {line["kind"] for line in timeline}
for kind in ("begin", "note", "command", "check", "trace", "summary"):
    if kind not in kinds:
        sys.exit(f"no {kind} line among {sorted(kinds)}")
if not all(line["scenario"] == scn_name.decode("utf-8", "replace") for line in timeline):
    sys.exit("a line names the scenario otherwise")
notes = [line["text"] for line in timeline if line["kind"] == "note"]
if shown not in notes:
    sys.exit(f"the comment is not shown as {shown!r}: {notes!r}")
checks = [line["check"] for line in timeline if line["kind"] == "check"]
if not any(shown in check for check in checks):
    sys.exit(f"the check's text is not shown as {shown!r}: {checks!r}")

report = lines_of([b"--check-config", reg_name, b"--json"], 0)
if len(report) != 1 or report[0]["configuration"] != reg_name.decode("utf-8", "replace"):
    sys.exit(f"--check-config --json printed {report!r}")
if not any("x\x7f\x01\x1b" in finding for finding in report[0]["findings"]):
    sys.exit(f"the subkey's name is not among the findings: {report[0]['findings']!r}")

shutil.rmtree(scratch)
print("every line is JSON")
