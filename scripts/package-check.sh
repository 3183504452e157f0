#!/usr/bin/env bash
# The Debian package as a user gets it: builds the `package` preset, makes the .deb with CPack,
# checks its control data and contents, unpacks it into a throwaway root (dpkg -x), and from there
# builds the installed C example with find_package and with pkg-config and runs it, and the installed
# Python example, against the installed simulated controller; the Python example's ctypes records are
# held against the installed header.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/setup.sh
jobs=$(nproc)

echo "=== package: configure, build, cpack"
cmake --preset package -DKVLIB_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset package -j "$jobs"
rm -f build/package/kvarolib_*.deb
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/kvarolib_*.deb)
echo "$deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

echo "=== package: control data and contents"
dpkg-deb --info "$deb" >"$work/info"
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for dep in libc6 libstdc++6; do
    tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//' | grep -q -x -F "$dep" || fail "Depends lacks $dep"
done
# Outputs are taken whole before they are searched: under pipefail, `producer | grep -q` fails
# whenever grep stops reading before the producer has written everything.
control_files=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -q 'shlibs$' <<<"$control_files" || fail "no shlibs control file"

multiarch=$(gcc -print-multiarch)
libdir=/usr/lib/$multiarch
for f in /usr/bin/ostput /usr/bin/ostsend /usr/bin/kqsim \
    "$libdir/libkvarolib.so.1.5.6" "$libdir/libkvarolib.so.1" "$libdir/libkvarolib.so" "$libdir/libkvarolib.a" \
    /usr/include/kvarolib.h "$libdir/pkgconfig/kvarolib.pc" \
    "$libdir/cmake/kvarolib/kvarolibConfig.cmake" "$libdir/cmake/kvarolib/kvarolibConfigVersion.cmake" \
    "$libdir/cmake/kvarolib/kvarolibTargets.cmake" \
    /usr/share/man/man1/ostput.1 /usr/share/man/man1/ostsend.1 /usr/share/man/man1/kqsim.1 \
    /usr/lib/udev/rules.d/60-kvarolib.rules \
    /usr/share/doc/kvarolib/examples/transfer_monitor.c /usr/share/doc/kvarolib/examples/transfer_monitor.py \
    /usr/share/doc/kvarolib/examples/CMakeLists.txt; do
    grep -q -x -F "$f" "$work/contents" || fail "the package lacks $f"
done

root="$work/root"
dpkg -x "$deb" "$root"
soname=$(readelf -d "$root$libdir/libkvarolib.so.1.5.6" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libkvarolib.so.1" ] || fail "soname '$soname', expected libkvarolib.so.1"
[ "$(readlink "$root$libdir/libkvarolib.so.1")" = "libkvarolib.so.1.5.6" ] || fail "libkvarolib.so.1 link"
rules="$root/usr/lib/udev/rules.d/60-kvarolib.rules"
for product in "Kolvex USB VORI KQ Controller" "Kolvex USB VORI Interface 2008"; do
    line=$(grep -F "ATTRS{product}==\"$product\"" "$rules") || fail "the udev rule does not match \"$product\""
    for want in 'GROUP="dialout"' 'MODE="0660"' 'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
        grep -q -F "$want" <<<"$line" || fail "the udev rule for \"$product\" lacks $want"
    done
done

examples="$root/usr/share/doc/kvarolib/examples"
strict=(-Wall -Wextra -Wpedantic -Wconversion -Werror)

echo "=== package: the C example with find_package(kvarolib CONFIG)"
cmake -S "$examples" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$root/usr" \
    -DKVAROLIB_EXAMPLE_STATIC=ON -DCMAKE_C_FLAGS="${strict[*]}" >/dev/null
grep -q -x -F "kvarolib_DIR:PATH=$root$libdir/cmake/kvarolib" "$work/cmake/CMakeCache.txt" ||
    fail "find_package did not take the package in $root: $(grep kvarolib_DIR "$work/cmake/CMakeCache.txt")"
cmake --build "$work/cmake" >/dev/null
loaded=$(ldd "$work/cmake/transfer_monitor")
grep -q -F "libkvarolib.so.1 => $root$libdir/" <<<"$loaded" ||
    fail "transfer_monitor does not load the package's library: $loaded"
loaded_static=$(ldd "$work/cmake/transfer_monitor_static")
if grep -q libkvarolib <<<"$loaded_static"; then
    fail "transfer_monitor_static still needs libkvarolib.so"
fi

echo "=== package: the C example with pkg-config"
export PKG_CONFIG_LIBDIR="$root$libdir/pkgconfig"
export PKG_CONFIG_SYSROOT_DIR="$root"
[ "$(pkg-config --modversion kvarolib)" = "1.5.6" ] || fail "pkg-config --modversion kvarolib"
# shellcheck disable=SC2046 # the flags are separate words
cc -std=c11 "${strict[@]}" -o "$work/transfer_monitor_pc" "$examples/transfer_monitor.c" \
    $(pkg-config --cflags --libs kvarolib)
cc -std=c11 "${strict[@]}" -o "$work/layout_dump" "$top/tests/examples/layout_dump.c" $(pkg-config --cflags kvarolib)
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR

echo "=== package: the installed examples against the installed kqsim"
kqsim="$root/usr/bin/kqsim"
run="$top/tests/examples/run_example.sh"
for mode in watch no-controller silent; do
    bash "$run" "$kqsim" "$mode" "$work/cmake/transfer_monitor"
    bash "$run" "$kqsim" "$mode" python3 "$examples/transfer_monitor.py" --library "$root$libdir/libkvarolib.so.1"
done
bash "$run" "$kqsim" watch "$work/cmake/transfer_monitor_static"
LD_LIBRARY_PATH="$root$libdir" bash "$run" "$kqsim" watch "$work/transfer_monitor_pc"
python3 "$top/tests/examples/check_layout.py" "$work/layout_dump" "$examples/transfer_monitor.py"

echo "=== package: the installed ostsend against the installed kqsim"
"$kqsim" --serial KQ99887766 >"$work/port" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 300); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
[ -s "$work/port" ] || fail "kqsim printed no port"
KVLIB_LOG_DIR="$work/log" KVLIB_PORTS="$(head -n 1 "$work/port")=Kolvex USB VORI KQ Controller" \
    "$root/usr/bin/ostsend" get_ser_num >"$work/ostsend.out"
grep -q KQ99887766 "$work/ostsend.out" || fail "ostsend: $(cat "$work/ostsend.out")"

echo "=== package: all checks passed for $(basename "$deb")"
