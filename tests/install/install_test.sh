#!/usr/bin/env bash
# install_test.sh BUILD_DIR C_COMPILER CONSUMER_SOURCE [LOOP_SOURCE]
set -euo pipefail
build=$1 cc=$2 src=$3 loop=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/kestrun lib/libkcan.so include/kcan.h; do
    [ -e "$prefix/$f" ] || { echo "missing $f in the installed prefix"; exit 1; }
done

# Only KCAN_* functions are exported from the library.
leaked=$(nm -D --defined-only "$prefix/lib/libkcan.so" | awk '$2 ~ /^[TW]$/ {print $3}' \
         | grep -v '^KCAN_' | grep -v '^_init$\|^_fini$' || true)
if [ -n "$leaked" ]; then
    echo "libkcan.so exports more than KCAN_* functions:"; echo "$leaked" | head -20; exit 1
fi

# A C99 program compiles against the installed header and links -lkcan.
extra=()
# (grep reads all of nm's output: an early exit would fail the pipe under pipefail.)
if [ "$(nm -D "$prefix/lib/libkcan.so" | grep -c __asan_init)" -gt 0 ]; then
    extra+=(-fsanitize=address,undefined)
fi
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic "${extra[@]}" -I"$prefix/include" "$src" \
      -L"$prefix/lib" -lkcan -Wl,-rpath,"$prefix/lib" -o "$work/consumer"
out=$(cd "$work" && ./consumer)
[ "$out" = "0 OK" ] || { echo "consumer printed: $out"; exit 1; }

# An init/transmit/receive loop on a virtual ZARO3018, the installed simulator
# preloaded in place of libusb (the sanitizer runtime first, when there is one).
if [ -n "$loop" ] && [ -e "$prefix/lib/libkestrun-usbsim.so" ]; then
    "$cc" -std=c99 -Wall -Wextra -Werror -pedantic "${extra[@]}" -I"$prefix/include" "$loop" \
          -L"$prefix/lib" -lkcan -Wl,-rpath,"$prefix/lib" -o "$work/loop"
    preload="$prefix/lib/libkestrun-usbsim.so"
    if [ ${#extra[@]} -gt 0 ]; then
        preload="$("$cc" -print-file-name=libasan.so) $preload"
    fi
    out=$(cd "$work" && KESTRUN_SIM=ZARO3018 LD_PRELOAD="$preload" \
          ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" ./loop | tail -1)
    [ "$out" = "50 frames" ] || { echo "loop on the virtual adapter printed: $out"; exit 1; }
fi

# The installed tool finds its library through its RPATH.
(cd "$work" && env -u LD_LIBRARY_PATH "$prefix/bin/kestrun" -h >"$work/help.txt")
grep -q -- '--arb-rate' "$work/help.txt" || { echo "installed kestrun -h failed"; exit 1; }
echo "install prefix OK"
