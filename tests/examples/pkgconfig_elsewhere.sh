#!/usr/bin/env bash
# The install moved to a prefix other than the configured one, as `cmake --install BUILD --prefix P`
# does: pkg-config must send the compiler and the linker to P (not to the configured prefix), and the
# installed C example built with those flags must run against the simulated controller.
#
# usage: pkgconfig_elsewhere.sh BUILD_DIR KQSIM
set -euo pipefail

build=$1
kqsim=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

prefix="$work/elsewhere"
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name kvarolib.pc)
[ -n "$pc" ] || fail "no kvarolib.pc under $prefix"
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")

export PKG_CONFIG_LIBDIR
PKG_CONFIG_LIBDIR=$(dirname "$pc")
cflags=$(pkg-config --cflags kvarolib)
libs=$(pkg-config --libs kvarolib)
[ "$(realpath "$(pkg-config --variable=prefix kvarolib)")" = "$(realpath "$prefix")" ] ||
    fail "pkg-config names the prefix $(pkg-config --variable=prefix kvarolib), installed to $prefix" \
        "(configured: $configured)"
for flag in $cflags $libs; do
    case $flag in
    -I* | -L*)
        dir=$(realpath -m "${flag:2}")
        case $dir in
        "$(realpath "$prefix")"/*) ;;
        *) fail "$flag is not under $prefix" ;;
        esac
        [ -d "$dir" ] || fail "$flag names no directory"
        ;;
    esac
done
[ -f "$(realpath "$(pkg-config --variable=includedir kvarolib)")/kvarolib.h" ] || fail "no kvarolib.h in includedir"

# shellcheck disable=SC2086 # the flags are separate words
cc -std=c11 -Wall -Wextra -Wpedantic -Wconversion -Werror -o "$work/transfer_monitor" \
    "$prefix/share/doc/kvarolib/examples/transfer_monitor.c" $cflags $libs
libdir=$(realpath "$(pkg-config --variable=libdir kvarolib)")
# ldd's output is taken whole first: `ldd | grep -q` under pipefail fails whenever grep stops reading
# before ldd has finished writing.
loads=$(LD_LIBRARY_PATH="$libdir" ldd "$work/transfer_monitor")
grep -q -F "libkvarolib.so.1 => $libdir/" <<<"$loads" || fail "the example does not load the library under $prefix"
LD_LIBRARY_PATH="$libdir" bash "$here/run_example.sh" "$kqsim" watch "$work/transfer_monitor"
echo "pkg-config after an install to $prefix (configured $configured): $cflags $libs"
