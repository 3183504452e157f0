#!/usr/bin/env bash
# Long fuzzing: builds the `fuzz` preset and runs every fuzz target (or the ones named) to a given
# number of executions, one target at a time and in one process, over the corpus that the short CI
# runs replay. What a run finds is merged back into that corpus with libFuzzer's -merge=1, which
# adds only the inputs that reach something the corpus does not reach yet, so it stays small.
#
#   bash scripts/fuzz-deep.sh [RUNS] [TARGET...]      RUNS defaults to 10000000
#   bash scripts/fuzz-deep.sh --list                  the targets and their corpora
#
# TARGET is a name as in fuzz/fuzz_NAME.cpp (telegram_parser, ...) or kqsim_input for the simulator's
# target. It takes long and both cores are usually shared: run it as `nice -n 19 bash scripts/...`.
# A crash, leak, timeout or out-of-memory stops the script with exit status 1 and the path of the
# reproducer; the inputs found before it stay in the work directory and are not merged, so that a
# reproducer enters the corpus only once the fault is mended (copy it in by hand then).
# Should the merge add more than KV_FUZZ_MAX_FILES files to a corpus (default 300), it is done again
# counting only new edges, not new hit counts of known ones, which keeps far fewer inputs.
# Work files and logs: build/fuzz/deep/NAME/; figures of every target: build/fuzz/deep/summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--list" ] && [ -n "${1:-}" ] && ! [[ "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [RUNS] [TARGET...] | --list" >&2
    exit 2
fi

declare -A binary corpus
names=()
for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    name=${name#fuzz_}
    names+=("$name")
    binary[$name]=build/fuzz/fuzz/fuzz_$name
    corpus[$name]=fuzz/corpus/$name
done
names+=(kqsim_input)
binary[kqsim_input]=build/fuzz/tools/simulator/fuzz_kqsim_input
corpus[kqsim_input]=tools/simulator/fuzz_corpus

if [ "${1:-}" = "--list" ]; then
    for name in "${names[@]}"; do
        echo "$name  ${corpus[$name]}"
    done
    exit 0
fi

runs=${1:-10000000}
shift || true
selected=("$@")
if [ ${#selected[@]} -eq 0 ]; then
    selected=("${names[@]}")
fi
for name in "${selected[@]}"; do
    if [ -z "${binary[$name]:-}" ]; then
        echo "unknown fuzz target: $name (see $0 --list)" >&2
        exit 2
    fi
done

echo "=== fuzz: configure and build"
cmake --preset fuzz -DKVLIB_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

deep=build/fuzz/deep
mkdir -p "$deep"
summary=$deep/summary.txt

# The coverage figures of a libFuzzer log line: "cov: N ft: M".
figures() {
    grep -E "$1" "$2" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || echo "cov: ? ft: ?"
}
stat() {
    grep -E "^stat::$1:" "$2" | tail -n 1 | awk '{print $2}'
}
files() {
    find "$1" -maxdepth 1 -type f | wc -l
}

for name in "${selected[@]}"; do
    bin=$PWD/${binary[$name]}
    seeds=$PWD/${corpus[$name]}
    work=$PWD/$deep/$name
    # Whatever an earlier run left is either merged already or belongs to a fault found then.
    rm -rf "$work"
    mkdir -p "$work/new" "$work/artifacts"
    before_files=$(files "$seeds")
    started=$(date +%s)

    echo "=== $name: $runs executions over ${corpus[$name]} ($before_files files), log $work/fuzz.log"
    status=0
    "$bin" -runs="$runs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/new" "$seeds" >"$work/fuzz.log" 2>&1 || status=$?
    found=$(find "$work/artifacts" -type f | head -n 1)
    if [ "$status" -ne 0 ] || [ -n "$found" ]; then
        grep -E '^==[0-9]+==ERROR|^SUMMARY|Test unit written' "$work/fuzz.log" >&2 || tail -n 30 "$work/fuzz.log" >&2
        echo "FAIL: $name stopped with status $status; reproducer: ${found:-none written, see $work/fuzz.log}" >&2
        echo "      replay: $bin ${found:-INPUT}" >&2
        exit 1
    fi

    seconds=$(($(date +%s) - started))

    echo "=== $name: merging what was found into ${corpus[$name]}"
    (cd "$seeds" && find . -maxdepth 1 -type f | sort) >"$work/corpus-before"
    merge="-merge=1"
    "$bin" -merge=1 -timeout=10 -rss_limit_mb=2048 "$seeds" "$work/new" >"$work/merge.log" 2>&1
    if [ "$(files "$seeds")" -gt "${KV_FUZZ_MAX_FILES:-300}" ]; then
        (cd "$seeds" && find . -maxdepth 1 -type f | sort | comm -13 "$work/corpus-before" - | xargs rm -f)
        merge="-merge=1 -use_counters=0"
        "$bin" -merge=1 -use_counters=0 -timeout=10 -rss_limit_mb=2048 "$seeds" "$work/new" \
            >"$work/merge.log" 2>&1
    fi
    # The corpus as committed now, replayed the way CI starts.
    "$bin" -runs=0 -rss_limit_mb=2048 "$seeds" >"$work/replay.log" 2>&1

    line="$(date -u +%FT%TZ) $name: $(stat number_of_executed_units "$work/fuzz.log") executions"
    line+=" in ${seconds} s ($(($(stat number_of_executed_units "$work/fuzz.log") / (seconds > 0 ? seconds : 1))) exec/s)"
    line+="; before [$(figures INITED "$work/fuzz.log")] reached [$(figures DONE "$work/fuzz.log")] corpus after [$(figures INITED "$work/replay.log")]"
    line+="; corpus $before_files -> $(files "$seeds") files ($merge); nothing found"
    echo "$line" | tee -a "$summary"
done
