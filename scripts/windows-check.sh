#!/usr/bin/env bash
# The Windows build: cross-compiles everything with mingw-w64 (preset "mingw"), checks the export tables
# of ostput.exe, ostsend.exe and kvAroLib.dll, runs the unit suite under Wine, then the port scenarios
# under Wine against the simulated controller (a Linux program, taken from the default build, which
# must exist: run-tests.sh builds it first). Wine gets a throwaway prefix that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

kqsim=build/default/tools/simulator/kqsim
if [ ! -x "$kqsim" ]; then
    echo "windows-check: $kqsim is missing; build the default preset first" >&2
    exit 1
fi

started=$SECONDS
echo "=== mingw: a plain configure with the toolchain file leaves out what needs POSIX"
plain=$(mktemp -d /tmp/kvmingw-plain-XXXXXX)
cmake -S . -B "$plain" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" >/dev/null
grep -q -x -F "KVLIB_BUILD_BENCH:BOOL=OFF" "$plain/CMakeCache.txt" || {
    echo "windows-check: a plain Windows configure keeps the benchmarks" >&2
    exit 1
}
plain_targets=$(ninja -C "$plain" -t targets all)
if grep -q -E '^bench/|kqsim' <<<"$plain_targets"; then
    echo "windows-check: a plain Windows configure has POSIX-only targets" >&2
    exit 1
fi
rm -rf "$plain"

echo "=== mingw: configure and build"
cmake --preset mingw -DKVLIB_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset mingw -j "$(nproc)"

WINEPREFIX=$(mktemp -d /tmp/kvwine-XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "=== mingw: Wine prefix $WINEPREFIX"
wineboot --init >/dev/null 2>&1
# One server for all runs, kept until the end; its own messages (it reports a hung-up pty) stay out of
# the test output.
wineserver --persistent >/dev/null 2>&1 </dev/null &

echo "=== mingw: export tables and the unit suite under Wine"
ctest --test-dir build/mingw --output-on-failure

echo "=== mingw: an application of the Microsoft toolchain (clang-cl, lld-link) against kvAroLib.lib"
bash tests/windows/msvc/check_msvc_consumer.sh build/mingw

echo "=== mingw: port scenarios under Wine"
python3 tests/windows/run_wine_suite.py build/mingw "$kqsim"
echo "=== mingw: the Windows zip"
rm -f build/mingw/kvarolib-*-win64.zip
(cd build/mingw && cpack -G ZIP >/dev/null)
python3 - build/mingw/kvarolib-*-win64.zip <<'PY'
import sys, zipfile
names = {n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if "/" in n}
wanted = {"bin/kvAroLib.dll", "bin/ostput.exe", "bin/ostsend.exe", "lib/libkvAroLib.dll.a",
          "lib/kvAroLib.lib", "lib/kvAroLib.def",
          "include/kvarolib.h", "lib/cmake/kvarolib/kvarolibConfig.cmake"}
missing = sorted(wanted - names)
if missing:
    sys.exit("the Windows zip lacks " + ", ".join(missing))
print("the Windows zip holds " + ", ".join(sorted(wanted)))
PY
echo "=== mingw: done in $((SECONDS - started)) s"
