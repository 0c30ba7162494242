#!/usr/bin/env bash
# consumers_test.sh BUILD_DIR C_COMPILER TEST_DIR VERSION GENERATOR MAKE_PROGRAM
#
# Installs into a scratch prefix and checks libkcan and kestrun the way their
# users see them: the SONAME, symlinks and exported symbols, C programs built
# with pkg-config (one of them driving a virtual adapter) and with
# find_package(kcan), and the installed tool.
set -euo pipefail
build=$1 cc=$2 here=$3 version=$4 generator=$5 make_program=$6
source "$here/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
lib="$prefix/lib"
major=${version%%.*}
expected_out=$'0 OK\n6 Device Type Not Supported!'

# --- Shared library naming --------------------------------------------------
[ -f "$lib/libkcan.so.$version" ] && [ ! -L "$lib/libkcan.so.$version" ] \
    || fail "libkcan.so.$version is not a regular file"
[ "$(readlink "$lib/libkcan.so.$major")" = "libkcan.so.$version" ] \
    || fail "libkcan.so.$major does not point to libkcan.so.$version"
[ "$(readlink "$lib/libkcan.so")" = "libkcan.so.$major" ] \
    || fail "the development link libkcan.so does not point to libkcan.so.$major"
soname=$(readelf -d "$lib/libkcan.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libkcan.so.$major" ] || fail "SONAME is '$soname', not libkcan.so.$major"
needed=$(readelf -d "$prefix/bin/kestrun" | sed -n 's/.*(NEEDED).*\[\(libkcan[^]]*\)\]/\1/p')
[ "$needed" = "libkcan.so.$major" ] || fail "kestrun needs '$needed', not libkcan.so.$major"
leaked=$(nm -D --defined-only "$lib/libkcan.so" \
         | awk '$2 ~ /^[TW]$/ && $3 !~ /^(KCAN_.*|_init|_fini)$/ { print $3 }')
[ -z "$leaked" ] || fail "libkcan.so exports more than KCAN_* functions: $(head -20 <<<"$leaked")"
# The installed tool finds its library through its RPATH.
(cd "$work" && env -u LD_LIBRARY_PATH "$prefix/bin/kestrun" -h) | grep -- --arb-rate >/dev/null \
    || fail "installed kestrun -h"

san=$(sanitizer_flags "$lib/libkcan.so")

# --- pkg-config ---------------------------------------------------------------
export PKG_CONFIG_PATH="$lib/pkgconfig"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
[ "$(pkg-config --modversion kcan)" = "$version" ] || fail "pkg-config --modversion kcan"
[ "$(pkg-config --variable=prefix kcan)" = "$prefix" ] \
    || fail "kcan.pc prefix is $(pkg-config --variable=prefix kcan), not $prefix"
cflags=$(pkg-config --cflags kcan | xargs)
[ "$cflags" = "-I$prefix/include" ] || fail "pkg-config --cflags kcan gave '$cflags'"
libs=$(pkg-config --libs kcan | xargs)
[ "$libs" = "-L$lib -lkcan" ] || fail "pkg-config --libs kcan gave '$libs'"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic $san $cflags "$here/consumer.c" $libs \
    -o "$work/pc_consumer"
out=$(cd "$work" && LD_LIBRARY_PATH="$lib" ./pc_consumer)
[ "$out" = "$expected_out" ] || fail "pkg-config consumer printed '$out'"
# It is linked against the SONAME, so it keeps working when libkcan.so (the
# development link) is absent, as on a system without the headers.
ldd_line=$(LD_LIBRARY_PATH="$lib" ldd "$work/pc_consumer" | grep libkcan)
case $ldd_line in
    *"libkcan.so.$major => $lib/libkcan.so.$major"*) ;;
    *) fail "pkg-config consumer resolves libkcan as: $ldd_line" ;;
esac
# A loop on a virtual ZARO3018: the installed simulator preloaded in place of
# libusb (after the sanitizer runtime, when there is one).
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic $san $cflags "$here/loop.c" $libs -o "$work/loop"
preload="$lib/libkestrun-usbsim.so"
[ -z "$san" ] || preload="$("$cc" -print-file-name=libasan.so) $preload"
out=$(cd "$work" && LD_LIBRARY_PATH="$lib" KESTRUN_SIM=ZARO3018 LD_PRELOAD="$preload" \
      ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" ./loop | tail -1)
[ "$out" = "50 frames" ] || fail "loop on the virtual adapter printed: $out"

# --- CMake package --------------------------------------------------------------
configure() {
    local dir=$1; shift
    cmake -S "$here/cmake_consumer" -B "$dir" -G "$generator" \
        -DCMAKE_MAKE_PROGRAM="$make_program" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_SOURCE="$here/consumer.c" \
        -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" "$@"
}
configure "$work/cm" >"$work/cm.log" 2>&1 || { cat "$work/cm.log"; fail "find_package(kcan) failed"; }
grep -q "kcan $version from $prefix/lib/cmake/kcan" "$work/cm.log" \
    || { cat "$work/cm.log"; fail "find_package(kcan) found the wrong package"; }
cmake --build "$work/cm" >"$work/cm-build.log" 2>&1 \
    || { cat "$work/cm-build.log"; fail "CMake consumer did not build"; }
# The imported target brings the library's location: the program runs
# through its build RPATH, without LD_LIBRARY_PATH.
out=$(cd "$work" && env -u LD_LIBRARY_PATH "$work/cm/consumer")
[ "$out" = "$expected_out" ] || fail "CMake consumer printed '$out'"

# A later major version is refused by kcanConfigVersion.cmake.
if configure "$work/cm2" -DKCAN_REQUIRED_VERSION=$((major + 1)).0 >"$work/cm2.log" 2>&1; then
    fail "find_package(kcan $((major + 1)).0) accepted version $version"
fi
grep -q "requested version \"$((major + 1)).0\"" "$work/cm2.log" && grep -q "version: $version" "$work/cm2.log" \
    || { cat "$work/cm2.log"; fail "no version refusal"; }

# The package is relocatable: a copied prefix still works.
cp -a "$prefix" "$work/moved"
rm -rf "$prefix"
configure "$work/cm3" -DCMAKE_PREFIX_PATH="$work/moved" >"$work/cm3.log" 2>&1 \
    || { cat "$work/cm3.log"; fail "find_package(kcan) failed in a moved prefix"; }
grep -q "from $work/moved/lib/cmake/kcan" "$work/cm3.log" || fail "moved prefix not used"
echo "kcan consumers OK"
