#!/usr/bin/env bash
# deb_test.sh BUILD_DIR SOURCE_DIR VERSION
#
# Builds the Debian package with CPack into a scratch directory and checks
# its metadata (dpkg-deb -I) and file list (dpkg-deb -c).
set -euo pipefail
build=$1 source=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
for tool in dpkg-deb dpkg cpack; do
    command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
arch=$(dpkg --print-architecture)
deb="$work/out/kestrun_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$work/out"; fail "no $(basename "$deb")"; }

# --- Metadata -----------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrun ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Section)" = electronics ] || fail "Section: $(field Section)"
[[ $(field Description) == *'CAN FD'* ]] || fail "Description: $(field Description)"
depends=$(field Depends)
grep -qE '(^|, )libusb-1\.0-0( |,|$)' <<<"$depends" || fail "Depends lacks libusb-1.0-0: $depends"
grep -qE '(^|, )libc6( |,|$)' <<<"$depends" || fail "Depends lacks libc6: $depends"
# The package must not depend on itself for its own library.
! grep -q kestrun <<<"$depends" || fail "Depends names the package itself: $depends"

dpkg-deb -e "$deb" "$work/control"
grep -qx "libkcan ${version%%.*} kestrun (>= $version)" "$work/control/shlibs" \
    || fail "shlibs: $(cat "$work/control/shlibs" 2>/dev/null)"
grep -q ldconfig "$work/control/triggers" || fail "no ldconfig trigger"
[ -x "$work/control/postinst" ] || fail "no executable postinst"
grep -q 'udevadm control --reload-rules' "$work/control/postinst" || fail "postinst reloads no rules"
sh -n "$work/control/postinst" || fail "postinst is not valid sh"

# --- Contents -------------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/list"
# Every entry belongs to root and lies below /usr.
awk '$2 != "root/root" { print }' "$work/list" | grep . && fail "entries not owned by root/root"
awk '{ print $6 }' "$work/list" | grep -vE '^\./(usr/.*)?$' && fail "entries outside /usr"
paths=$(awk '{ print $6 }' "$work/list" | sed 's|^\./|/|; s|/$||')
# /usr/lib, or /usr/lib/<multiarch> when configured with the prefix /usr.
lib=$(grep -E "^/usr/lib(/[a-z0-9_-]+)?/libkcan\.so\.$version$" <<<"$paths" | xargs -r dirname)
[ -n "$lib" ] || fail "package lacks libkcan.so.$version in /usr/lib"
for f in /usr/bin/kestrun "$lib/libkcan.so.${version%%.*}" \
         "$lib/libkcan.so" /usr/include/kcan.h "$lib/pkgconfig/kcan.pc" \
         "$lib/cmake/kcan/kcanConfig.cmake" "$lib/cmake/kcan/kcanConfigVersion.cmake" \
         "$lib/cmake/kcan/kcanTargets.cmake" /usr/lib/udev/rules.d/60-kestrun.rules \
         /usr/share/man/man1/kestrun.1.gz /usr/share/bash-completion/completions/kestrun; do
    grep -qx "$f" <<<"$paths" || fail "package lacks $f"
done
grep -q " \.$lib/libkcan.so.${version%%.*} -> libkcan.so.$version$" "$work/list" \
    || fail "libkcan.so.${version%%.*} is not a link to libkcan.so.$version"
grep -E ' \./usr/bin/kestrun$' "$work/list" | grep '^-rwxr-xr-x' >/dev/null || fail "kestrun is not 0755"
grep -E ' \./usr/lib/udev/rules.d/60-kestrun.rules$' "$work/list" | grep '^-rw-r--r--' >/dev/null \
    || fail "udev rules are not 0644"

# The files inside are those of the install: the pkg-config prefix is /usr.
dpkg-deb -x "$deb" "$work/root"
grep -qx 'prefix=/usr' "$work/root$lib/pkgconfig/kcan.pc" \
    || fail "kcan.pc in the package: $(grep '^prefix' "$work/root$lib/pkgconfig/kcan.pc")"
cmp <(gzip -dc "$work/root/usr/share/man/man1/kestrun.1.gz") "$source/docs/man/kestrun.1" \
    || fail "packaged man page differs"
readelf -d "$work/root$lib/libkcan.so.$version" | grep "SONAME.*\[libkcan.so.${version%%.*}\]" >/dev/null \
    || fail "packaged libkcan has no SONAME"
echo "Debian package OK: $(basename "$deb"), Depends: $depends"
