#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. As root it installs what is
# missing; otherwise it prints the command to run and fails.
set -euo pipefail

packages=(g++ gcc clang cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev lrzsz python3)
# The Debian package and the examples built against it (scripts/package-check.sh).
packages+=(dpkg-dev pkg-config file)
# The Python package's tests (scripts/python-check.sh): pytest, and venv for the wheel's installs.
packages+=(python3-pytest python3-venv)
# The Windows build (scripts/windows-check.sh): mingw-w64 with posix threads, GoogleTest's sources to
# build for it, and Wine to run it.
packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64)
# The MSVC-format import library (llvm-dlltool) and the consumer that tests it, compiled with clang-cl
# for x86_64-pc-windows-msvc and linked with lld-link.
packages+=(llvm-14 clang-tools-14 lld-14)

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
