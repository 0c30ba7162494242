# shellcheck shell=bash
# Helpers shared by the packaging tests (sourced).

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Compiler and linker flags a program needs to link a sanitizer-built
# libkcan (empty for a normal build).
sanitizer_flags() {
    if nm -D "$1" 2>/dev/null | grep __asan_init >/dev/null; then
        echo "-fsanitize=address,undefined"
    fi
}

# The installed kcan library file, whatever its version suffix.
real_library() {
    local dir=$1
    readlink -f "$dir/libkcan.so"
}
