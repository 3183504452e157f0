#!/usr/bin/env bash
# The Python package: its wheel built by pip from python/ (build isolation, no index: the package's
# own backend runs CMake) in a fresh virtual environment, then its tests against kqsim, which install
# that wheel into another fresh environment. Needs the default preset's build (library and kqsim).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/default

# The interpreter with Debian's pytest (a python3 of its own earlier on the path may lack it).
python=python3
if ! "$python" -c 'import pytest' 2>/dev/null && [ -x /usr/bin/python3 ]; then
    python=/usr/bin/python3
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/buildenv"
"$work/buildenv/bin/python" -m pip wheel --no-deps --no-index -w "$work/dist" ./python
wheel=$(ls "$work"/dist/kvarolib-*.whl)

KVLIB_LIBRARY="$build/devicelib/libkvarolib.so.1" KQSIM="$build/tools/simulator/kqsim" KVLIB_WHEEL="$wheel" \
    "$python" -m pytest -q -p no:cacheprovider python/tests
