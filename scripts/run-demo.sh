#!/usr/bin/env bash
# Sets everything up, starts the simulated controller on a pseudo terminal and asks it for its serial
# number through the library's shell exchange.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kqsim kvshell

out=$(mktemp)
build/release/tools/simulator/kqsim >"$out" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 1 100); do
    [ -s "$out" ] && break
    sleep 0.1
done
port=$(head -n 1 "$out")
echo "Simulated controller on $port"
export KVLIB_LOG_DIR="${KVLIB_LOG_DIR:-$PWD/build/release/log}"
build/release/tools/kvshell/kvshell "$port" get_ser_num
echo "(library log: $KVLIB_LOG_DIR/kvlib.log)"
