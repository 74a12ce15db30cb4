#!/usr/bin/env bash
# A long fuzzing run: builds the fuzz preset, runs every target in fuzz/*/ at
# the same time for the given minutes, each on a scratch copy of its committed
# corpus, then merges what the run found back into the committed corpus,
# keeping only the inputs that add coverage. Prints per target the executions,
# the coverage before and after, the corpus entries added and any finding; a
# finding (crash, leak, timeout, out-of-memory) fails the run, naming the
# reproducer libFuzzer saved.
#
#   scripts/fuzz-long.sh [--minutes M] [--jobs J] [--no-merge] [TARGET_DIR...]
#
# The targets run at once and share the J cores (default: all of them): each
# gets J/targets workers (libFuzzer's fork mode when more than one), at least
# one. Run it under `nice -n 19` on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=30
jobs=$(nproc)
merge=1
dirs=()
while [ $# -gt 0 ]; do
    case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --no-merge) merge=0; shift ;;
    -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) dirs+=("fuzz/$(basename "$1")"); shift ;;
    esac
done
if [ ${#dirs[@]} -eq 0 ]; then
    for d in fuzz/*/; do
        [ -f "$d/CMakeLists.txt" ] && dirs+=("${d%/}")
    done
fi
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60); print (s < 1 ? 1 : s) }')
workers=$((jobs / ${#dirs[@]}))
[ "$workers" -ge 1 ] || workers=1

./scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

# The same limits as the CTest runs (fuzz/CMakeLists.txt).
limits=(-timeout=10 -rss_limit_mb=2048)
export ASAN_OPTIONS=detect_leaks=1
run=build/fuzz/long
rm -rf "$run"
mkdir -p "$run"

# Prints the fuzzer's executable for a target folder.
fuzzer() {
    local name
    name=$(sed -n 's/^halvex_add_fuzzer(\([A-Za-z0-9_]*\).*/\1/p' "$1/CMakeLists.txt" | head -1)
    echo "build/fuzz/$1/$name"
}

# Prints "cov/ft" of a target's committed corpus: libFuzzer's edges and
# features once it has run every input of it.
coverage() {
    "$(fuzzer "$1")" -runs=0 "${limits[@]}" "$1/corpus" 2>&1 |
        sed -nE 's/^#[0-9]+[[:space:]]+INITED cov: ([0-9]+) ft: ([0-9]+).*/\1\/\2/p'
}

echo "=== ${#dirs[@]} targets, ${minutes} minutes each, ${workers} worker(s) a target ==="
pids=()
before=()
for d in "${dirs[@]}"; do
    t=$(basename "$d")
    before+=("$(coverage "$d")")
    mkdir -p "$run/$t/corpus" "$run/$t/artifacts"
    cp "$d"/corpus/* "$run/$t/corpus/"
    fork=()
    [ "$workers" -gt 1 ] && fork=(-fork="$workers")
    "$(fuzzer "$d")" -max_total_time="$seconds" "${limits[@]}" "${fork[@]}" \
        -print_final_stats=1 -artifact_prefix="$run/$t/artifacts/" "$run/$t/corpus" \
        >"$run/$t/fuzz.log" 2>&1 &
    pids+=($!)
done
status=()
for i in "${!pids[@]}"; do
    rc=0
    wait "${pids[$i]}" || rc=$?
    status+=("$rc")
done

failed=0
printf '%-18s %12s %16s %16s %6s %8s  %s\n' target executions "cov/ft before" "cov/ft after" added corpus findings
for i in "${!dirs[@]}"; do
    d=${dirs[$i]}
    t=$(basename "$d")
    log=$run/$t/fuzz.log
    execs=$(sed -nE 's/^#([0-9]+).*/\1/p' "$log" | tail -1)
    count=$(find "$d/corpus" -type f | wc -l)
    added=0
    if [ "$merge" -eq 1 ] && [ "${status[$i]}" -eq 0 ]; then
        # Greedy set cover on edges: the committed seeds stay, and only inputs
        # that reach edges they do not are added. Hit counts are left out of
        # it, or every loop bound found would add a file.
        "$(fuzzer "$d")" -set_cover_merge=1 -use_counters=0 "${limits[@]}" "$d/corpus" \
            "$run/$t/corpus" \
            >"$run/$t/merge.log" 2>&1 || true
        added=$(($(find "$d/corpus" -type f | wc -l) - count))
        count=$((count + added))
    fi
    after=$(coverage "$d")
    findings=$(find "$run/$t/artifacts" -type f | tr '\n' ' ')
    if [ "${status[$i]}" -ne 0 ] || [ -n "$findings" ]; then
        failed=1
        findings=${findings:-"exit ${status[$i]}, see $log"}
    fi
    printf '%-18s %12s %16s %16s %6s %8s  %s\n' "$t" "${execs:-?}" "${before[$i]}" "$after" \
        "$added" "$count" "${findings:-none}"
done
echo "logs: $run/<target>/fuzz.log"
exit "$failed"
