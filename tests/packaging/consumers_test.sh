#!/usr/bin/env bash
# consumers_test.sh BUILD_DIR C_COMPILER TEST_DIR VERSION GENERATOR MAKE_PROGRAM
#
# Installs into a scratch prefix and checks libkcan and kestrun the way their
# users see them: the SONAME, links and exported symbols, C programs built
# with pkg-config (one driving a virtual adapter) and with find_package(kcan),
# and the installed tool.
set -euo pipefail
build=$1 cc=$2 here=$3 version=$4 generator=$5 make_program=$6
source "$here/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix" lib="$work/prefix/lib" major=${version%%.*}
cmake --install "$build" --prefix "$prefix" >/dev/null
expected_out=$'0 OK\n6 Device Type Not Supported!'

# --- The library's names and exports, the tool's link ---------------------------
[ -f "$lib/libkcan.so.$version" ] && [ ! -L "$lib/libkcan.so.$version" ] \
    || fail "libkcan.so.$version is not a regular file"
same "$(readlink "$lib/libkcan.so.$major")" "libkcan.so.$version" "libkcan.so.$major links to"
same "$(readlink "$lib/libkcan.so")" "libkcan.so.$major" "the development link points to"
same "$(readelf -d "$lib/libkcan.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" \
    "libkcan.so.$major" "SONAME"
same "$(readelf -d "$prefix/bin/kestrun" | sed -n 's/.*(NEEDED).*\[\(libkcan[^]]*\)\]/\1/p')" \
    "libkcan.so.$major" "kestrun needs"
same "$(nm -D --defined-only "$lib/libkcan.so" \
        | awk '$2 ~ /^[TW]$/ && $3 !~ /^(KCAN_.*|_init|_fini)$/ { print $3 }')" "" \
    "libkcan.so exports beyond KCAN_*"
# The installed tool finds its library through its RPATH.
(cd "$work" && env -u LD_LIBRARY_PATH "$prefix/bin/kestrun" -h) | grep -- --arb-rate >/dev/null \
    || fail "installed kestrun -h"
# Programs linking a sanitizer-built libkcan need the runtime too.
san=""
[ "$(nm -D "$lib/libkcan.so" | grep -c __asan_init)" = 0 ] || san="-fsanitize=address,undefined"

# --- pkg-config --------------------------------------------------------------------
export PKG_CONFIG_PATH="$lib/pkgconfig"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
same "$(pkg-config --modversion kcan)" "$version" "pkg-config --modversion kcan"
same "$(pkg-config --variable=prefix kcan)" "$prefix" "kcan.pc prefix"
cflags=$(pkg-config --cflags kcan | xargs) libs=$(pkg-config --libs kcan | xargs)
same "$cflags" "-I$prefix/include" "pkg-config --cflags kcan"
same "$libs" "-L$lib -lkcan" "pkg-config --libs kcan"
for program in consumer loop; do
    # shellcheck disable=SC2086 # the flags are words
    "$cc" -std=c99 -Wall -Wextra -Werror -pedantic $san $cflags "$here/$program.c" $libs \
        -o "$work/$program"
done
same "$(cd "$work" && LD_LIBRARY_PATH="$lib" ./consumer)" "$expected_out" "pkg-config consumer"
# It is linked against the SONAME, so it keeps working when libkcan.so (the
# development link) is absent, as on a system without the headers.
[[ $(LD_LIBRARY_PATH="$lib" ldd "$work/consumer") == *"libkcan.so.$major => $lib/libkcan.so.$major"* ]] \
    || fail "pkg-config consumer resolves libkcan as: $(LD_LIBRARY_PATH="$lib" ldd "$work/consumer")"
# The loop runs on a virtual ZARO3018: the installed simulator preloaded in
# place of libusb (after the sanitizer runtime, when there is one).
preload="$lib/libkestrun-usbsim.so"
[ -z "$san" ] || preload="$("$cc" -print-file-name=libasan.so) $preload"
same "$(cd "$work" && LD_LIBRARY_PATH="$lib" KESTRUN_SIM=ZARO3018 LD_PRELOAD="$preload" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" ./loop | tail -1)" \
    "50 frames" "loop on the virtual adapter"

# --- CMake package ------------------------------------------------------------------
configure() {
    local dir=$1 log=$1.log
    shift
    cmake -S "$here/cmake_consumer" -B "$dir" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_SOURCE="$here/consumer.c" \
        -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" "$@" >"$log" 2>&1
}
configure "$work/cm" || { cat "$work/cm.log"; fail "find_package(kcan) failed"; }
grep -q "kcan $version from $prefix/lib/cmake/kcan" "$work/cm.log" \
    || { cat "$work/cm.log"; fail "find_package(kcan) found the wrong package"; }
cmake --build "$work/cm" >"$work/cm-build.log" 2>&1 \
    || { cat "$work/cm-build.log"; fail "CMake consumer did not build"; }
# The imported target brings the library's location: the program runs
# through its build RPATH, without LD_LIBRARY_PATH.
same "$(cd "$work" && env -u LD_LIBRARY_PATH "$work/cm/consumer")" "$expected_out" "CMake consumer"
# A later major version is refused by kcanConfigVersion.cmake.
! configure "$work/cm2" -DKCAN_REQUIRED_VERSION=$((major + 1)).0 \
    || fail "find_package(kcan $((major + 1)).0) accepted version $version"
grep -q "requested version \"$((major + 1)).0\"" "$work/cm2.log" \
    && grep -q "version: $version" "$work/cm2.log" || { cat "$work/cm2.log"; fail "no version refusal"; }
# The package is relocatable: a copied prefix still works.
cp -a "$prefix" "$work/moved"
rm -rf "$prefix"
configure "$work/cm3" -DCMAKE_PREFIX_PATH="$work/moved" \
    || { cat "$work/cm3.log"; fail "find_package(kcan) failed in a moved prefix"; }
grep -q "from $work/moved/lib/cmake/kcan" "$work/cm3.log" || fail "moved prefix not used"
echo "kcan consumers OK"
