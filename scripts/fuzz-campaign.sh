#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60), one after another,
# starting from and adding to fuzz/corpus/<target>/ work copies.
#
#   scripts/fuzz-campaign.sh [SECONDS] [BUILD_DIR] [TARGET...]
#
# TARGETs (default: all seven) are names such as fd_stream or replies.
# BUILD_DIR (default build-fuzz) must hold the fuzzers:
#   CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DKESTRUN_FUZZ=ON
#   cmake --build build-fuzz --target kestrun_fuzzers
# New inputs go to BUILD_DIR/fuzz-corpus/<target>/ (not to the committed
# corpus); a crash is written to BUILD_DIR/fuzz-crashes/<target>-crash-* and
# fails the run. Logs: BUILD_DIR/fuzz-logs/<target>-<date>-<time>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${2:-build-fuzz}
targets=(fd_stream classic_stream replies rpc_packets frame_text command_line log_ini candump_line pcapng)
if [ $# -gt 2 ]; then
    targets=("${@:3}")
fi

# KESTRUN_FUZZ_RUNS=N instead runs each target N inputs from a fixed seed,
# so that a short CI pass does the same work on every machine.
limit=(-max_total_time="$seconds")
if [ -n "${KESTRUN_FUZZ_RUNS:-}" ]; then
    limit=(-runs="$KESTRUN_FUZZ_RUNS" -seed=1)
fi
# KESTRUN_FUZZ_CPU=1 makes SECONDS the CPU time each target gets instead of
# wall time: a campaign may share the machine (run it under nice) and still
# give every target its full share. The fuzzer is stopped with SIGUSR1, which
# libFuzzer treats as a graceful end (final statistics included).
cpu_limit=${KESTRUN_FUZZ_CPU:-}
if [ -n "$cpu_limit" ]; then
    limit=(-max_total_time=$((seconds * 50)))
fi
ticks=$(getconf CLK_TCK)

# CPU seconds (user + system, all threads) a running process has used.
cpu_seconds() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo -1; return; }
    stat=${stat##*) }
    # Fields after the command: utime and stime are the 12th and 13th.
    set -- $stat
    echo $(((${12} + ${13}) / ticks))
}

mkdir -p "$build/fuzz-crashes" "$build/fuzz-logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
    bin="$build/fuzz/fuzz_$t"
    [ -x "$bin" ] || { echo "missing $bin"; exit 2; }
    work="$build/fuzz-corpus/$t"
    mkdir -p "$work"
    # A log per run: a campaign may be given in several runs that resume
    # from the working corpus, and each run's figures are kept.
    log="$build/fuzz-logs/$t-$(date +%Y%m%d-%H%M%S).log"
    # -close_fd_mask=1: the code under test prints frames and log lines.
    start=$(date +%s)
    "$bin" "${limit[@]}" -timeout=25 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-crashes/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1 &
    pid=$!
    used=0
    if [ -n "$cpu_limit" ]; then
        while kill -0 "$pid" 2>/dev/null; do
            used=$(cpu_seconds "$pid")
            if [ "$used" -ge "$seconds" ]; then
                kill -USR1 "$pid"
                break
            fi
            sleep 5
        done
    fi
    used_now=$(cpu_seconds "$pid")
    [ "$used_now" -ge 0 ] && used=$used_now
    if wait "$pid"; then
        status=ok
    else
        status=FAILED
        failed+=("$t")
    fi
    wall=$(($(date +%s) - start))
    summary=$(grep -E '^(#[0-9]+\s+DONE|Done )' "$log" | tr -s ' ' | tr '\n' ' ' || true)
    rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -1 || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || true)
    cpu=""
    [ -n "$cpu_limit" ] && cpu=", cpu ${used} s"
    echo "fuzz_$t: $status, executions ${execs:-?}, $rate, $cov, wall ${wall} s$cpu, $summary"
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets with a crash or broken invariant: ${failed[*]}"
    for t in "${failed[@]}"; do
        echo "--- $t ---"
        grep -E 'invariant broken|ERROR|SUMMARY|Test unit written' "$build/fuzz-logs/$t"-*.log | tail -20
    done
    exit 1
fi
