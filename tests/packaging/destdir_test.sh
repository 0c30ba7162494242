#!/usr/bin/env bash
# destdir_test.sh BUILD_DIR SOURCE_DIR
#
# A staged install (DESTDIR) puts every file below DESTDIR/PREFIX, in the
# places Debian's tools look for them, and the installed text files name the
# final prefix: never the staging, build or source directory.
set -euo pipefail
build=$1 source=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
prefix=/opt/kestrun-destdir-test

DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" >"$work/install.log"
[ ! -e "$prefix" ] || fail "$prefix was created outside DESTDIR"

# Nothing outside the prefix.
outside=$(find "$stage" -mindepth 1 \( -type f -o -type l \) ! -path "$stage$prefix/*" -print)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"

root="$stage$prefix"
for f in bin/kestrun include/kcan.h lib/libkcan.so lib/pkgconfig/kcan.pc \
         lib/cmake/kcan/kcanConfig.cmake lib/cmake/kcan/kcanConfigVersion.cmake \
         lib/cmake/kcan/kcanTargets.cmake lib/udev/rules.d/60-kestrun.rules \
         share/man/man1/kestrun.1.gz share/bash-completion/completions/kestrun; do
    [ -e "$root/$f" ] || fail "missing $f"
done
[ -f "$(readlink -f "$root/lib/libkcan.so")" ] || fail "libkcan.so is a dangling link"
gzip -t "$root/share/man/man1/kestrun.1.gz" || fail "kestrun.1.gz is not gzip data"
cmp <(gzip -dc "$root/share/man/man1/kestrun.1.gz") "$source/docs/man/kestrun.1" \
    || fail "installed kestrun.1 differs from its source"
cmp "$root/lib/udev/rules.d/60-kestrun.rules" "$source/packaging/60-kestrun.rules" \
    || fail "installed udev rules differ from their source"

# The pkg-config file names the final prefix, not the staging directory.
same "$(grep '^prefix=' "$root/lib/pkgconfig/kcan.pc")" "prefix=$prefix" "kcan.pc"
# The other directories follow the prefix (pkg-config --define-prefix and
# sysroots rely on it).
for var in libdir includedir; do
    grep -qE "^$var=\\\$\{prefix\}/" "$root/lib/pkgconfig/kcan.pc" \
        || fail "kcan.pc: $(grep "^$var=" "$root/lib/pkgconfig/kcan.pc") is not below \${prefix}"
done

# No installed text file refers to the staging, build or source tree.
while IFS= read -r -d '' f; do
    if [[ $(file -b --mime-type "$f") == text/* ]]; then
        for tree in "$stage" "$build" "$source"; do
            ! grep -qF "$tree" "$f" || fail "$f mentions $tree"
        done
    fi
done < <(find "$root" -type f -print0)

# The tool finds its library relative to itself, not in the build tree.
same "$(readelf -d "$root/bin/kestrun" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')" \
    '$ORIGIN/../lib' "kestrun RUNPATH"

echo "DESTDIR install OK"
