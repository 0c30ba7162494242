#!/usr/bin/env bash
# Installs what the build needs (Debian/Ubuntu, as root or with sudo), then
# builds and runs every test twice: a normal build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build; the threaded driver and tool tests run a
# third time under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libusb-1.0-0-dev libgtest-dev libgmock-dev python3 dpkg-dev file groff-base clang-14 libclang-rt-14-dev
          can-utils python3-can python3-pytest tshark python3-venv python3-setuptools)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# scripts/demo.sh needs the packages only.
[ "${1:-}" = "--deps-only" ] && exit 0

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}

echo "=== normal build ==="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "=== sanitizer build (ASan + UBSan) ==="
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUN_SANITIZE=ON

echo "=== ThreadSanitizer build (threaded driver, transport and tool tests) ==="
tsan_tests=(classic_sim_tests fd_sim_tests tool_tests usb_transport_tests crossfamily_tests)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUN_TSAN=ON
cmake --build build-tsan -j "$jobs" --target "${tsan_tests[@]}"
labels=$(IFS='|'; echo "${tsan_tests[*]}")
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --output-on-failure -j "$jobs" --timeout 600 -L "^($labels)\$")

echo "=== fuzz smoke runs (libFuzzer + ASan + UBSan) ==="
# Each target runs a fixed number of inputs from a fixed seed, starting from
# its committed corpus; a crash or a broken invariant fails the run. Longer
# campaigns: scripts/fuzz-campaign.sh SECONDS.
if command -v clang++-14 >/dev/null && [ -e "$(clang++-14 -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
    fuzz_start=$SECONDS
    CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRUN_TESTS=OFF -DKESTRUN_FUZZ=ON
    cmake --build build-fuzz -j "$jobs" --target kestrun_fuzzers
    rm -rf build-fuzz/fuzz-corpus  # start from the committed corpus every time
    KESTRUN_FUZZ_RUNS=${KESTRUN_FUZZ_RUNS:-10000} scripts/fuzz-campaign.sh 0 build-fuzz
    echo "fuzz smoke runs: $((SECONDS - fuzz_start)) s"
else
    echo "clang++-14 with libFuzzer not found: fuzz smoke runs skipped"
fi
