#!/usr/bin/env bash
# Line and function coverage of the project's own code: builds the coverage
# preset (GCC --coverage, Debug), runs every test of it once with fresh
# counters, then prints, for dmf/, halvex/, hmx/, host/ and platform/, the
# lines and functions run per folder and per file. Tests, benchmarks, fuzz
# targets and generated code are left out of the figures.
#
#   scripts/coverage.sh [--jobs J] [--no-tests] [FOLDER...]
#
# FOLDER limits the report to those folders (such as dmf); --no-tests reports
# on the counters of the last run without building or testing again. A test
# that fails is named and makes the script fail, after the report.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
run_tests=1
folders=()
while [ $# -gt 0 ]; do
    case "$1" in
    --jobs) jobs=$2; shift 2 ;;
    --no-tests) run_tests=0; shift ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) folders+=("${1%/}"); shift ;;
    esac
done
[ ${#folders[@]} -gt 0 ] || folders=(dmf halvex hmx host platform)

./scripts/setup.sh
if ! command -v gcovr >/dev/null; then
    echo "Installing: gcovr"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcovr
fi

tree=build/coverage
status=0
if [ "$run_tests" -eq 1 ]; then
    cmake --preset coverage >/dev/null
    cmake --build --preset coverage -j "$jobs"
    # Counters of an earlier run would add to this one's.
    find "$tree" -name '*.gcda' -delete
    ctest --preset coverage -j "$jobs" || status=$?
fi

filters=()
for folder in "${folders[@]}"; do
    filters+=(--filter "$folder/")
done
summary=$tree/coverage-summary.json
# CMake's compiler checks leave objects of their own behind in the tree.
gcovr --root . --object-directory "$tree" -j "$jobs" "${filters[@]}" \
    --exclude-directories '.*/CMakeFiles/[0-9.]+' \
    --exclude '.*/tests?/' --exclude 'bench/' --exclude 'fuzz/' --exclude 'build/' \
    --exclude '.*\.pb\.(h|cc)$' --json-summary "$summary" --json-summary-pretty >/dev/null

python3 - "$summary" <<'EOF'
import collections
import json
import os
import sys

files = json.load(open(sys.argv[1]))["files"]
folders = collections.defaultdict(lambda: [0, 0, 0, 0])
for entry in files:
    path = entry["filename"]
    counts = (entry["line_covered"], entry["line_total"], entry["function_covered"],
              entry["function_total"])
    # Each file counts towards its own folder and every folder above it.
    parts = os.path.dirname(path).split("/")
    for depth in range(1, len(parts) + 1):
        folder = "/".join(parts[:depth]) + "/"
        folders[folder] = [a + b for a, b in zip(folders[folder], counts)]


def percent(covered, total):
    return f"{100.0 * covered / total:5.1f}%" if total else "    -"


def row(name, lines_covered, lines, functions_covered, functions):
    print(f"{name:<58} {lines_covered:>6}/{lines:<6} {percent(lines_covered, lines)}"
          f"  {functions_covered:>5}/{functions:<5} {percent(functions_covered, functions)}")


header = f"{'':<58} {'lines':^20}  {'functions':^18}"
print("\nCoverage per folder")
print(header)
for folder in sorted(folders):
    row(folder, *folders[folder])
print("\nCoverage per file")
print(header)
for entry in sorted(files, key=lambda entry: entry["filename"]):
    row(entry["filename"], entry["line_covered"], entry["line_total"], entry["function_covered"],
        entry["function_total"])
EOF

if [ "$status" -ne 0 ]; then
    echo "Some tests failed (ctest exit status $status): the figures above count what ran."
fi
exit "$status"
