#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the default (debug), AddressSanitizer+UBSan and
# ThreadSanitizer builds, then the Python package against the default build, then a short run of every
# fuzz target over its seed corpus, then the Debian package with the examples built against it, then
# the Windows build with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
# Most integration tests spend their time waiting for the simulated controller, so run more of
# them at once than there are cores.
test_jobs=$((jobs * 4))

for preset in default asan tsan; do
    echo "=== ${preset}: configure and build"
    cmake --preset "$preset" -DKVLIB_WARNINGS_AS_ERRORS=ON >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== ${preset}: test"
    ctest --preset "$preset" -j "$test_jobs"
done

echo "=== python: the package's wheel built by pip, its tests against kqsim"
bash scripts/python-check.sh

echo "=== fuzz: configure, build and run each target briefly"
cmake --preset fuzz -DKVLIB_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure -j "$jobs"

echo "=== package: the Debian package, and the examples built and run against it"
bash scripts/package-check.sh

echo "=== mingw: the Windows build, its tests under Wine"
bash scripts/windows-check.sh
