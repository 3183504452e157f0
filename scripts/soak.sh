#!/usr/bin/env bash
# The fault soak for longer than CI runs it: the library against the simulated controller with
# random faults (lost, late, noisy, split replies, session changes) while an application works it
# from two threads, then the invariants, printed with the seed.
#
#   bash scripts/soak.sh [SECONDS [SEED [PRESET]]]
#
# SECONDS defaults to 600 (ten minutes), SEED to a fresh one (printed; give it again to replay the
# controller's faults), PRESET to default (tsan and asan work too). KVLIB_SOAK_FAULTS sets the
# simulator's --random-faults; KVLIB_SOAK_KEEP a directory for the library log and the record.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
seed=${2:-}
preset=${3:-default}

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target kv_soak_test kqsim

export KVLIB_SOAK_SECONDS="$seconds"
if [ -n "$seed" ]; then
    export KVLIB_SOAK_SEED="$seed"
fi
exec "build/$preset/tests/kv_soak_test"
