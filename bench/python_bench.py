#!/usr/bin/env python3
"""Benchmarks of the python-can interface kestrun on a virtual adapter.

  receive  one script receives a wire-speed stream of classic 8-byte frames
           at 1 Mbit/s (9,009 frames/s) from the virtual adapter's generator
           for --seconds; every frame must arrive once and in order. Its CPU
           per frame is set against python-can's virtual interface receiving
           the same stream in the same run (fed by a thread of the process,
           whose CPU is left out).
  send     one script sends --frames classic 8-byte frames with send() in a
           loop at 1 Mbit/s; frames/s against the wire rate, every frame
           checked at the wired channel's kestrun log.

The package is installed offline into a temporary virtual environment first.
Usage: bench/python_bench.py [--build DIR] [--seconds N] [--frames N] [--index I] TEST...
Exits non-zero when a check fails.
"""
import argparse
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WIRE_FPS = 1_000_000 / 111  # standard 8-byte data frame: 111 bits without stuffing


def install_package(work):
    venv = os.path.join(work, "venv")
    source = os.path.join(work, "src")
    shutil.copytree(os.path.join(ROOT, "python"), source)
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv], check=True)
    subprocess.run([os.path.join(venv, "bin", "pip"), "install", "-q", "--no-index",
                    "--no-build-isolation", source], check=True)
    site = subprocess.run([os.path.join(venv, "bin", "python"), "-c",
                           "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    sys.path.insert(0, site)  # before python-can looks for its interfaces


def cpu_self():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def cpu_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def owner_pid(path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        return struct.unpack("3i", s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[0]


def control(path, line):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        reply = b""
        while b"\n\n" not in reply:
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
    text = reply.decode().strip()
    if text.startswith("error"):
        raise SystemExit(f"{line}: {text}")
    return text


def receive_all(bus, expected, deadline, got=0, bad=0):
    """Receives until `expected` frames in all (None: until the deadline);
    counts frames whose generator number is not the next one."""
    while expected is None or got < expected:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        msg = bus.recv(min(left, 1.0))
        if msg is None:
            continue
        if int.from_bytes(msg.data[:4], "little") != got:
            bad += 1
        got += 1
    return got, bad


def bench_receive(args, work):
    import can
    index = args.index
    ctl = os.path.join(work, "ctl.sock")
    os.environ.update(KESTRUN_SIM=f"DUNLINFD2*{index + 1}", KESTRUN_SIM_CONTROL=ctl,
                      KESTRUN_BIN=os.path.join(args.build, "kestrun-sim"))
    print(f"receive: classic 8-byte frames at 1 Mbit/s, {args.seconds} s each")
    with can.Bus(interface="kestrun", channel=0, model="DUNLINFD2", index=index,
                 bitrate=1000000) as bus:
        owner = owner_pid(f"/tmp/Kestrun_DUNLINFD2_{index}.sock")
        cpu0, owner0, start = cpu_self(), cpu_of(owner), time.monotonic()
        control(ctl, f"dev {index} gen start 0 C S 8 wire")
        end = start + args.seconds
        got, bad = receive_all(bus, None, end)
        control(ctl, f"dev {index} gen stop 0")
        produced = int(re.search(r"produced=(\d+)", control(ctl, f"dev {index} gen count 0"))[1])
        got, bad = receive_all(bus, produced, time.monotonic() + 30, got, bad)
        elapsed = time.monotonic() - start
        cpu, owner_cpu = cpu_self() - cpu0, cpu_of(owner) - owner0
    ok = got == produced and bad == 0
    print(f"  kestrun: generated {produced}, received {got} in {elapsed:.1f} s "
          f"({got / elapsed:.0f} frames/s), out of order {bad}  {'ok' if ok else 'FAIL'}")
    print(f"  kestrun: script CPU {cpu:.2f} s = {cpu / max(got, 1) * 1e6:.1f} us/frame "
          f"({100 * cpu / elapsed:.1f} % of a core); owner {owner_cpu:.2f} s "
          f"({100 * owner_cpu / elapsed:.1f} %)")

    # The same stream through python-can's virtual interface, fed by a thread
    # a frame at a time, as the wire delivers them.
    frames = int(WIRE_FPS * args.seconds)
    feeder_cpu = [0.0]

    def feed(tx):
        t0 = time.monotonic()
        for n in range(frames):
            delay = t0 + n / WIRE_FPS - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            tx.send(can.Message(arbitration_id=0x100, is_extended_id=False,
                                data=n.to_bytes(4, "little") + bytes(4)))
        feeder_cpu[0] = time.thread_time()

    with can.Bus(interface="virtual", channel="bench") as rx, \
            can.Bus(interface="virtual", channel="bench") as tx:
        cpu0, start = cpu_self(), time.monotonic()
        feeder = threading.Thread(target=feed, args=(tx,))
        feeder.start()
        vgot, vbad = receive_all(rx, frames, start + args.seconds + 30)
        feeder.join()
        elapsed = time.monotonic() - start
        vcpu = cpu_self() - cpu0 - feeder_cpu[0]
    vok = vgot == frames and vbad == 0
    print(f"  virtual: sent {frames}, received {vgot} in {elapsed:.1f} s, out of order {vbad}"
          f"  {'ok' if vok else 'FAIL'}")
    print(f"  virtual: script CPU without the feeder {vcpu:.2f} s = "
          f"{vcpu / max(vgot, 1) * 1e6:.1f} us/frame ({100 * vcpu / elapsed:.1f} % of a core); "
          f"feeder {feeder_cpu[0]:.2f} s")
    return ok and vok


def bench_send(args, work):
    import can
    index = args.index + 1  # not the adapter the receive run's owner may still hold
    os.environ.update(KESTRUN_SIM=f"DUNLINFD2*{index + 1}")
    log = os.path.join(work, "rx.log")
    tool = os.path.join(args.build, "kestrun-sim")
    out = open(os.path.join(work, "owner.txt"), "wb")
    owner = subprocess.Popen([tool, "-D", "DUNLINFD2", "-i", str(index), "-a", "1000000",
                              "-c", "1", "--status", "--log", log], stdout=out,
                             stderr=subprocess.STDOUT, cwd=work)
    try:
        deadline = time.monotonic() + 30
        while "启动完成".encode() not in open(out.name, "rb").read() and time.monotonic() < deadline:
            time.sleep(0.05)
        with can.Bus(interface="kestrun", channel=0, model="DUNLINFD2", index=index,
                     bitrate=1000000) as bus:
            cpu0, start = cpu_self(), time.monotonic()
            for n in range(args.frames):
                bus.send(can.Message(arbitration_id=0x123, is_extended_id=False,
                                     data=n.to_bytes(4, "little") + bytes(4)))
            loop = time.monotonic() - start
            cpu = cpu_self() - cpu0

            def lines():
                with open(log) as f:
                    return f.read().splitlines()
            deadline = time.monotonic() + 60
            while len(lines()) < args.frames and time.monotonic() < deadline:
                time.sleep(0.1)
            arrived = time.monotonic() - start
    finally:
        owner.send_signal(signal.SIGINT)
        owner.wait(30)
    numbers = [int.from_bytes(bytes.fromhex(line.split("#")[1][:8]), "little") for line in lines()]
    ok = numbers == list(range(args.frames))
    print(f"send: {args.frames} classic 8-byte frames at 1 Mbit/s with send() in a loop")
    print(f"  loop {loop:.2f} s = {args.frames / loop:.0f} frames/s "
          f"({100 * args.frames / loop / WIRE_FPS:.1f} % of the wire rate {WIRE_FPS:.0f}); "
          f"all on the wired channel after {arrived:.2f} s; script CPU "
          f"{cpu / args.frames * 1e6:.1f} us/frame; {len(numbers)} arrived in order: "
          f"{'ok' if ok else 'FAIL'}")
    return ok


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--frames", type=int, default=50000)
    p.add_argument("--index", type=int, default=47, help="device index of the virtual adapter")
    p.add_argument("tests", nargs="+", choices=["receive", "send"])
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="kestrun-pybench-")
    try:
        install_package(work)
        ok = True
        for test in args.tests:
            ok = {"receive": bench_receive, "send": bench_send}[test](args, work) and ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
