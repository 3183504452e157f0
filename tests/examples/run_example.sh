#!/usr/bin/env bash
# Runs one transfer-area example (the C program or the Python script) against the simulated
# controller on a pseudo terminal, found by its device name through KVLIB_PORTS, and checks what the
# example does:
#   watch          extension 2 is there from the start; once the transfer runs, extension 3 is added
#                  and removed through kqsim's control FIFO. The example must print the inputs of the
#                  master and of extension 2, report both changes, the sent output and the confirmed
#                  counter reset, and end with 0 when stopped by SIGTERM; the log must be where
#                  KVLIB_LOG_DIR says.
#   no-controller  no port carries the controller's name: the example must fail at once.
#   silent         the controller stops answering once the transfer runs: the example must notice
#                  the ended transfer and fail.
#
# usage: run_example.sh KQSIM MODE COMMAND [ARGS...]
set -euo pipefail

kqsim=$1
mode=$2
shift 2

work=$(mktemp -d)
sim=""
example=""
cleanup() {
    for pid in $example $sim; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
export KVLIB_LOG_DIR="$work/log"

fail() {
    echo "FAIL ($mode): $*" >&2
    echo "--- what the example printed:" >&2
    cat "$work/out" "$work/err" >&2 2>/dev/null || true
    exit 1
}

# Starts kqsim with the given options and lists its port under the device name $name.
start_sim() {
    "$kqsim" "$@" >"$work/port" &
    sim=$!
    for _ in $(seq 1 300); do
        [ -s "$work/port" ] && break
        kill -0 "$sim" 2>/dev/null || fail "kqsim ended at its start"
        sleep 0.1
    done
    [ -s "$work/port" ] || fail "kqsim printed no port within 30 s"
    export KVLIB_PORTS="$(head -n 1 "$work/port")=$name"
}

start_example() {
    : >"$work/out"
    "$@" >"$work/out" 2>"$work/err" &
    example=$!
}

# Waits up to $2 seconds for a line of the example's output that matches $1.
wait_for() {
    local deadline=$((SECONDS + $2))
    while ! grep -q -E "$1" "$work/out"; do
        kill -0 "$example" 2>/dev/null || fail "the example ended before printing '$1'"
        [ "$SECONDS" -lt "$deadline" ] || fail "no line '$1' within $2 s"
        sleep 0.1
    done
}

# Waits up to $1 seconds for the example to end and leaves its exit code in $rc.
wait_exit() {
    local deadline=$((SECONDS + $1))
    while kill -0 "$example" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || fail "the example did not end within $1 s"
        sleep 0.1
    done
    rc=0
    wait "$example" || rc=$?
    example=""
}

control() {
    timeout 10 bash -c 'echo "$1" >"$2"' _ "$1" "$work/control" || fail "kqsim took no control command '$1'"
}

case "$mode" in
watch)
    name="Kolvex USB VORI Interface 2008"
    start_sim --extensions 2 --control "$work/control"
    start_example "$@" --seconds 300
    wait_for '^Transfer running' 30
    wait_for '^Extension 2: present' 30
    wait_for ' M in: .* \| E2 in: ' 30
    control "ext add 3"
    wait_for '^Extension 3: present' 30
    control "ext remove 3"
    wait_for '^Extension 3: gone' 30
    wait_for '^Output byte 0 of the master sent' 30
    wait_for '^Counter 0 of the master reset' 30
    kill -TERM "$example"
    wait_exit 30
    [ "$rc" -eq 0 ] || fail "exit code $rc, expected 0"
    [ "$(tail -n 1 "$work/out")" = "OK." ] || fail "the last line is not OK."
    [ -s "$work/log/kvlib.log" ] || fail "no kvlib.log in KVLIB_LOG_DIR"
    ;;
no-controller)
    # A port that is there, but under another name.
    export KVLIB_PORTS="/dev/null=Some USB Modem"
    start_example "$@" --seconds 300
    wait_exit 30
    [ "$rc" -eq 1 ] || fail "exit code $rc, expected 1"
    grep -q '^No controller found' "$work/err" || fail "no 'No controller found' on standard error"
    ;;
silent)
    name="Kolvex USB VORI KQ Controller"
    start_sim --control "$work/control"
    start_example "$@" --seconds 300
    wait_for '^Transfer running' 30
    control "fault no-reply always"
    # The library gives up after 5 s without an answer.
    wait_exit 60
    [ "$rc" -eq 1 ] || fail "exit code $rc, expected 1"
    grep -q '^The transfer stopped' "$work/out" || fail "no 'The transfer stopped' line"
    ;;
*)
    echo "unknown mode '$mode'" >&2
    exit 2
    ;;
esac
echo "PASS ($mode): $*"
