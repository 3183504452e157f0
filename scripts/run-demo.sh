#!/usr/bin/env bash
# The main job against the bundled simulated controller: builds the programs, starts the simulator
# on a pseudo terminal, loads a sample file into its flash disk with ostput, sends get_ser_num with
# ostsend, and shows what the simulator stored.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kqsim ostput ostsend

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"' EXIT
export KVLIB_LOG_DIR="$work/log"

# The simulated controller lists itself under the controller's USB device name.
build/release/tools/simulator/kqsim --store "$work/controller" >"$work/port" &
sim=$!
for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
port=$(head -n 1 "$work/port")
export KVLIB_PORTS="$port=Kolvex USB VORI KQ Controller"
echo "Simulated controller on $port"

# A sample program of a few kilobytes.
head -c 5000 /dev/urandom >"$work/prog.bin"

echo
echo "\$ ostput prog.bin flash"
(cd "$work" && "$OLDPWD/build/release/programs/ostput" prog.bin flash)
echo
echo "\$ ostsend get_ser_num"
build/release/programs/ostsend get_ser_num
echo
echo "Stored by the controller:"
ls -l "$work/controller/flash"
cmp "$work/prog.bin" "$work/controller/flash/prog.bin" && echo "prog.bin arrived intact."
