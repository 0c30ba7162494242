#!/usr/bin/env bash
# Builds Kestrun and shows it at work on virtual adapters: an owner receives
# on channel 1 of a virtual DUNLINFD2 while a second kestrun process, a
# client of that owner, sends ten CAN FD frames on channel 0, which the
# virtual bench cable wires to channel 1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/test-all.sh --deps-only
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target kestrun kestrun-sim kestrun-simctl kestrun-usbsim

export KESTRUN_SIM=DUNLINFD2
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo
echo "### owner: kestrun-sim -D DUNLINFD2 -a 500000 -d 2000000 -c 1 -r"
build/kestrun-sim -D DUNLINFD2 -a 500000 -d 2000000 -c 1 -r >"$log" 2>&1 &
owner=$!
for _ in $(seq 100); do
    grep -q '启动完成' "$log" && break
    kill -0 "$owner" 2>/dev/null || break
    sleep 0.1
done
cat "$log"

echo
echo "### client: kestrun-sim -D DUNLINFD2 -a 500000 -d 2000000 -c 0 -s -e --brs -m F#S#D#123#00112233445566778899AABB -p 100 -n 10"
build/kestrun-sim -D DUNLINFD2 -a 500000 -d 2000000 -c 0 -s -e --brs \
    -m F#S#D#123#00112233445566778899AABB -p 100 -n 10

sleep 0.3
kill -INT "$owner"
wait "$owner" || true
echo
echo "### what the owner printed"
cat "$log"
