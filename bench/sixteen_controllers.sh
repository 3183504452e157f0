#!/usr/bin/env bash
# Many controllers on one machine: N processes (default 16), each with its own simulated controller,
# run the transfer at once (bench/transfer_cycle, which starts its own kqsim). Prints each process's
# exchanges per second and interval p99 as the simulator received the I/O requests, then the worst
# of them beside the one-controller targets (at least 99 exchanges per second, p99 within 11 ms).
#
#   bench/sixteen_controllers.sh [PROCESSES [RUN_SECONDS [BUILD_DIR]]]    (defaults 16, 20, build/release)
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-16}
run=${2:-20}
build=${3:-build/release}
bench="$build/bench/transfer_cycle"
if [ ! -x "$bench" ]; then
    echo "sixteen_controllers: $bench is missing; build it first (cmake --preset release && cmake --build --preset release)" >&2
    exit 1
fi

out=$(mktemp -d /tmp/kvarolib-sixteen-XXXXXX)
# Idle and floor phases as short as the program allows: they run while the others exchange and are
# not what this run measures.
for i in $(seq 1 "$count"); do
    "$bench" "$run" 1 1 >"$out/$i.txt" 2>&1 &
done
failed=0
wait || failed=1

echo "$count controllers at once, one process and one kqsim each, $(nproc) CPUs, ${run} s of transfer"
worst_rate=""
worst_p99=""
for i in $(seq 1 "$count"); do
    rate=$(sed -n 's/^  exchanges per second: *\([0-9.]*\).*/\1/p' "$out/$i.txt")
    p99=$(sed -n 's/^  p99 interval: *\([0-9.]*\) ms.*/\1/p' "$out/$i.txt")
    cpu=$(sed -n 's/^  transfer running.*process cpu *\([0-9.]*\) ms\/s.*/\1/p' "$out/$i.txt")
    if [ -z "$rate" ] || [ -z "$p99" ]; then
        echo "  process $i: no figures (see $out/$i.txt)"
        failed=1
        continue
    fi
    printf '  process %2d: %8.3f exchanges/s   p99 interval %6.3f ms   cpu %7.3f ms/s\n' "$i" "$rate" "$p99" "${cpu:-0}"
    if [ -z "$worst_rate" ] || awk "BEGIN{exit !($rate < $worst_rate)}"; then worst_rate=$rate; fi
    if [ -z "$worst_p99" ] || awk "BEGIN{exit !($p99 > $worst_p99)}"; then worst_p99=$p99; fi
done
echo "  lowest exchanges per second: ${worst_rate:-none}   (target >= 99)"
echo "  highest p99 interval:        ${worst_p99:-none} ms (target <= 11 ms)"
echo "  (each process's whole output: $out)"
exit "$failed"
