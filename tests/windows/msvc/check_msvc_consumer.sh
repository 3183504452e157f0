#!/usr/bin/env bash
# What a Windows developer with the Microsoft toolchain does with kvAroLib: the public header compiles
# without a warning at /W4 as C and as C++ (clang-cl for x86_64-pc-windows-msvc), a small C
# application linked with lld-link against the MSVC-format import library kvAroLib.lib runs under
# Wine beside kvAroLib.dll and gets the library's version from it. No Windows SDK is needed: the
# application is freestanding and its few system functions come from an import library made from
# kernel32.def with llvm-dlltool, as kvAroLib.lib is made from kvAroLib.def.
#
# usage: check_msvc_consumer.sh MINGW_BUILD_DIR   (WINEPREFIX set up by the caller)
set -euo pipefail

build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
include=$(realpath "$here/../../../devicelib/include")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
tool() {
    for name in "$@"; do
        if command -v "$name" >/dev/null 2>&1; then
            echo "$name"
            return
        fi
    done
    fail "none of $* is installed (scripts/setup.sh installs them)"
}
clangcl=$(tool clang-cl clang-cl-14)
lldlink=$(tool lld-link lld-link-14)
dlltool=$(tool llvm-dlltool llvm-dlltool-14)

for f in kvAroLib.dll kvAroLib.lib kvAroLib.def; do
    [ -f "$build/devicelib/$f" ] || fail "the build made no devicelib/$f"
done
grep -q -x -E '[[:space:]]*kvxGetLibVersion( @ ?[0-9]+)?' "$build/devicelib/kvAroLib.def" ||
    fail "kvAroLib.def does not export kvxGetLibVersion"

cl=("$clangcl" --target=x86_64-pc-windows-msvc /nologo /W4 /WX /GS- /clang:-ffreestanding "/I$include")
# Paths begin with '/', as clang-cl's options do: "--" ends the options before each source.
"${cl[@]}" /c /TC "/Fo$work/consumer.obj" -- "$here/consumer.c"
"${cl[@]}" /c /TP "/Fo$work/header_check.obj" -- "$here/header_check.cpp"
"$dlltool" -m i386:x86-64 -d "$here/kernel32.def" -l "$work/kernel32.lib"
"$lldlink" /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib "/out:$work/consumer.exe" \
    "$work/consumer.obj" "$build/devicelib/kvAroLib.lib" "$work/kernel32.lib"
cp "$build/devicelib/kvAroLib.dll" "$work/"

out=$(cd "$work" && wine ./consumer.exe) || fail "consumer.exe ended with $? and printed '$out'"
[ "$out" = "kvAroLib 0x00010506 01.05.06  (2010/09/22)" ] || fail "consumer.exe printed '$out'"
echo "consumer.exe (clang-cl, lld-link, kvAroLib.lib) under Wine: $out"
