#!/usr/bin/env python3
"""Benchmarks of the kestrun tool on virtual adapters.

Runs the built kestrun through kestrun-sim and measures:

  fullload  8 channels of a ZARO3018 at 1 Mbit/s under wire-speed generators
            (classic 8-byte frames, or CAN FD 64-byte frames at 1M/5M with
            --fd), an owner on channel 0 and 7 clients on channels 1..7, all
            receiving into files: every generated frame must appear exactly
            once and in order in its channel's file, no client may be dropped,
            and the owner's memory is sampled every second.
  classic   the same for a DUNLIN2: an owner on channel 0 and a client on
            channel 1, both at 1 Mbit/s under wire-speed generators.
  idle      an owner with 8 initialised channels and 7 clients, no traffic:
            CPU of the owner and of one client over 10 s, from /proc.
  latency   frames put on the virtual adapter's stream at 1000 frames/s;
            time until the owner, or a client, prints the frame's line.
  loadlatency  the same for marker frames at 200 frames/s while all 8
            channels of a ZARO3018 carry wire-speed traffic (as fullload).
  sendrate  frames per second of `-s --period 0` for an owner and a client.

Usage: bench/tool_bench.py [--build DIR] [--seconds N] [--index I] [--fd] TEST...
Exits non-zero when a check fails.
"""

import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def tool_env(env):
    """The environment of a kestrun process on virtual adapters."""
    full_env = dict(os.environ)
    full_env.update(env)
    full_env.setdefault("ASAN_OPTIONS", "verify_asan_link_order=0")
    return full_env


class Tool:
    """One kestrun process on virtual adapters, its output in a file."""

    def __init__(self, build, args, env, out_path):
        self.out_path = out_path
        self.out = open(out_path, "wb")
        full_env = tool_env(env)
        self.proc = subprocess.Popen([os.path.join(build, "kestrun-sim")] + args,
                                     stdout=self.out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, env=full_env, cwd="/tmp")

    def text(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, needle, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if needle in self.text():
                return True
            if self.proc.poll() is not None:
                return needle in self.text()
            time.sleep(0.05)
        return False

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime

    def voluntary_switches(self):
        """Summed over the process's threads (the process's own line counts
        its main thread only)."""
        total = 0
        task_dir = "/proc/%d/task" % self.proc.pid
        for tid in os.listdir(task_dir):
            try:
                with open(os.path.join(task_dir, tid, "status")) as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            total += int(line.split()[1])
            except OSError:
                pass  # the thread ended meanwhile
        return total

    def usage(self):
        """CPU seconds and voluntary context switches so far."""
        return self.cpu_seconds(), self.voluntary_switches()

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self, sig=signal.SIGINT, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        return self.proc.returncode


class Control:
    """The owner's virtual-adapter control socket."""

    def __init__(self, path, timeout=20):
        end = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > end:
                    raise
                time.sleep(0.05)
        self.buf = b""

    def command(self, line):
        self.sock.sendall(line.encode() + b"\n")
        while b"\n\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("control socket closed")
            self.buf += chunk
        reply, self.buf = self.buf.split(b"\n\n", 1)
        return reply.decode()

    def send_only(self, line):
        self.sock.sendall(line.encode() + b"\n")


DATA_RE = re.compile(r"接收->(?:CAN|FD) ID:0x([0-9A-F]+) .*?DLC:(\d+) Data:((?:[0-9A-F]{2} )+)")


def check_sequence(path, expected):
    """Frames of a generator carry their number in data bytes 0..3."""
    count = 0
    bad = 0
    with open(path, "rb") as f:
        for raw in f:
            line = raw.decode("utf-8", "replace")
            m = DATA_RE.search(line)
            if not m:
                continue
            data = m.group(3).split()
            n = int(data[0], 16) | int(data[1], 16) << 8 | int(data[2], 16) << 16 | \
                int(data[3], 16) << 24
            if n != count:
                bad += 1
            count += 1
    return count, bad


def parse_counters(reply):
    return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", reply)}


def run_load(build, model, sim_list, channels, rate_args, gen_args, seconds, index, workdir):
    """Owner on channel 0, a client per further channel, generators on all."""
    control = os.path.join(workdir, "ctl.sock")
    env = {"KESTRUN_SIM": sim_list, "KESTRUN_SIM_CONTROL": control}
    base = ["-D", model, "-i", str(index)] + rate_args
    owner = Tool(build, base + ["-c", "0", "-r"], env, os.path.join(workdir, "ch0.txt"))
    if not owner.wait_for("启动完成", 30):
        print(owner.text())
        raise SystemExit("owner did not start")
    clients = []
    for ch in range(1, channels):
        c = Tool(build, base + ["-c", str(ch), "-r"], env, os.path.join(workdir, "ch%d.txt" % ch))
        clients.append(c)
    for c in clients:
        if not c.wait_for("设备初始化成功", 30):
            print(c.text())
            raise SystemExit("client did not start")
    ctl = Control(control)
    position = index  # the only model in the list: position equals index
    for ch in range(channels):
        reply = ctl.command("dev %d gen start %d %s" % (position, ch, gen_args))
        if reply.startswith("error"):
            raise SystemExit(reply)
    rss = []
    start = time.monotonic()
    usage0 = [t.usage() for t in [owner] + clients]
    while time.monotonic() - start < seconds:
        time.sleep(1)
        rss.append(owner.rss_kib())
    usage1 = [t.usage() for t in [owner] + clients]
    span = time.monotonic() - start
    produced = []
    for ch in range(channels):
        ctl.command("dev %d gen stop %d" % (position, ch))
        produced.append(parse_counters(ctl.command("dev %d gen count %d" % (position, ch))))
    elapsed = time.monotonic() - start
    # Let the last frames reach the files.
    last = -1
    while True:
        time.sleep(1)
        size = sum(os.path.getsize(os.path.join(workdir, "ch%d.txt" % ch))
                   for ch in range(channels))
        if size == last:
            break
        last = size
    dropped = "too slow, dropped" in owner.text()
    for c in clients:
        c.stop()
    owner.stop()
    ok = not dropped
    total = 0
    for ch in range(channels):
        got, bad = check_sequence(os.path.join(workdir, "ch%d.txt" % ch), produced[ch]["produced"])
        want = produced[ch]["produced"]
        total += got
        lost = produced[ch].get("lost", 0)
        status = "ok" if got == want and bad == 0 and lost == 0 else "FAIL"
        if status != "ok":
            ok = False
        print("  channel %d: generated %d, shown %d, out of order %d, lost in adapter %d  %s"
              % (ch, want, got, bad, lost, status))
    print("  %d frames in %.1f s = %.0f frames/s shown; client dropped: %s"
          % (total, elapsed, total / elapsed, "yes" if dropped else "no"))
    # CPU and wake-ups while the generators ran: the owner against every
    # frame of the adapter, a client against its own channel's frames.
    for i, (u0, u1) in enumerate(zip(usage0, usage1)):
        frames = sum(p["produced"] for p in produced) if i == 0 else produced[i]["produced"]
        frames = max(1, frames * span / elapsed)
        cpu, vcs = u1[0] - u0[0], u1[1] - u0[1]
        print("  %-9s CPU %6.1f %% of a core, %6.2f us a frame, %5.2f voluntary switches a frame"
              % ("owner" if i == 0 else "client %d" % i, 100 * cpu / span, 1e6 * cpu / frames,
                 vcs / frames))
    if rss:
        settled = rss[min(4, len(rss) - 1)]
        print("  owner RSS: %d KiB after 5 s, %d KiB at the end, peak %d KiB"
              % (settled, rss[-1], max(rss)))
        if len(rss) >= 120:
            print("  owner RSS each minute (KiB): %s"
                  % " ".join(str(v) for v in rss[59::60]))
    return ok


def bench_fullload(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        if args.fd:
            print("fullload: ZARO3018, 8 channels, CAN FD 64-byte frames at 1M/5M, %d s" % args.seconds)
            return run_load(args.build, "ZARO3018", "ZARO3018*%d" % (args.index + 1), 8,
                            ["-a", "1000000", "-d", "5000000"], "F S 64 wire brs", args.seconds,
                            args.index, work)
        print("fullload: ZARO3018, 8 channels, classic 8-byte frames at 1 Mbit/s, %d s" % args.seconds)
        return run_load(args.build, "ZARO3018", "ZARO3018*%d" % (args.index + 1), 8,
                        ["-a", "1000000"], "C S 8 wire", args.seconds, args.index, work)


def bench_onechannel(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        print("onechannel: ZARO3018, owner alone on channel 0, classic 8-byte frames at "
              "1 Mbit/s, %d s" % args.seconds)
        return run_load(args.build, "ZARO3018", "ZARO3018*%d" % (args.index + 1), 1,
                        ["-a", "1000000"], "C S 8 wire", args.seconds, args.index, work)


def bench_classic(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        print("classic: DUNLIN2, 2 channels, classic 8-byte frames at 1 Mbit/s, %d s" % args.seconds)
        index = args.index % 32  # the classic driver serves device indexes 0..31
        return run_load(args.build, "DUNLIN2", "DUNLIN2*%d" % (index + 1), 2,
                        ["-a", "1000000"], "C S 8 wire", args.seconds, index, work)


def bench_idle(args):
    ok = True
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        for model, channels, fd in (("ZARO3018", 8, True), ("DUNLIN2", 2, False)):
            control = os.path.join(work, "ctl-%s.sock" % model)
            index = args.index if fd else args.index % 32
            env = {"KESTRUN_SIM": "%s*%d" % (model, index + 1), "KESTRUN_SIM_CONTROL": control}
            base = ["-D", model, "-i", str(index), "-a", "1000000"]
            if fd:
                base += ["-d", "5000000"]
            owner = Tool(args.build, base + ["-c", "0", "-r"], env, os.path.join(work, "o.txt"))
            owner.wait_for("启动完成", 30)
            clients = [Tool(args.build, base + ["-c", str(ch), "-r"], env,
                            os.path.join(work, "c%d.txt" % ch)) for ch in range(1, channels)]
            for c in clients:
                c.wait_for("设备初始化成功", 30)
            time.sleep(1)
            o0, c0 = owner.cpu_seconds(), clients[0].cpu_seconds()
            t0 = time.monotonic()
            time.sleep(args.seconds)
            dt = time.monotonic() - t0
            o1, c1 = owner.cpu_seconds(), clients[0].cpu_seconds()
            for c in clients:
                c.stop()
            owner.stop()
            owner_pct = 100 * (o1 - o0) / dt
            client_pct = 100 * (c1 - c0) / dt
            good = owner_pct < 1.0 and client_pct < 0.5
            ok = ok and good
            print("idle: %s, %d channels initialised, %.1f s: owner %.2f s CPU = %.2f %%, "
                  "client %.2f s CPU = %.2f %%  %s"
                  % (model, channels, dt, o1 - o0, owner_pct, c1 - c0, client_pct,
                     "ok" if good else "FAIL"))
    return ok


class LineTimer:
    """Times frames put on a virtual adapter's stream to the lines a process
    prints for them, reading its standard output in a thread. Only lines
    holding `marker` are looked at for identifiers."""

    def __init__(self, proc, marker):
        self.marker = marker
        self.sent = {}
        self.latencies = []
        self.ready = threading.Event()  # the process printed its start-up line
        threading.Thread(target=self._read, args=(proc.stdout,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            now = time.perf_counter()
            if self.marker not in raw:
                if "设备初始化成功".encode() in raw or "启动完成".encode() in raw:
                    self.ready.set()
                continue
            m = re.search(rb"CAN ID:0x([0-9A-F]+) ", raw)
            if m:
                ident = int(m.group(1), 16)
                if ident in self.sent:
                    self.latencies.append(now - self.sent.pop(ident))

    def inject(self, ctl, index, channel, idents, period, frame):
        """Puts a frame every `period` seconds on the channel's stream;
        `frame` holds the inject command's frame words, %x the identifier."""
        next_at = time.perf_counter()
        for ident in idents:
            next_at += period
            delay = next_at - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            self.sent[ident] = time.perf_counter()
            ctl.command("dev %d inject %d %s" % (index, channel, frame % ident))


def report_latency(label, what, latencies, samples):
    """Prints the median, 99th percentile and maximum; False when more than
    1 % of the frames were not seen."""
    if len(latencies) < samples * 0.99:
        print("%s: only %d of %d lines seen  FAIL" % (label, len(latencies), samples))
        return False
    lat = sorted(latencies)
    print("%s: %d %s: median %.3f ms, 99th percentile %.3f ms, max %.3f ms"
          % (label, len(lat), what, statistics.median(lat) * 1e3,
             lat[int(len(lat) * 0.99) - 1] * 1e3, lat[-1] * 1e3))
    return True


def measure_latency(build, args, work, on_client):
    control = os.path.join(work, "ctl-lat.sock")
    env = {"KESTRUN_SIM": "DUNLINFD2*%d" % (args.index + 1), "KESTRUN_SIM_CONTROL": control}
    base = ["-D", "DUNLINFD2", "-i", str(args.index), "-a", "1000000"]
    full_env = tool_env(env)
    sim = os.path.join(build, "kestrun-sim")
    owner_out = subprocess.PIPE if not on_client else subprocess.DEVNULL
    owner = subprocess.Popen([sim] + base + ["-c", "0", "-r"], stdout=owner_out,
                             stderr=subprocess.DEVNULL, env=full_env, cwd="/tmp")
    reader = owner
    client = None
    ctl = Control(control)
    channel = 0
    if on_client:
        time.sleep(1)
        client = subprocess.Popen([sim] + base + ["-c", "1", "-r"], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, env=full_env, cwd="/tmp")
        reader = client
        channel = 1
    timer = LineTimer(reader, "接收->CAN ID:".encode())
    timer.ready.wait(30)
    time.sleep(0.5)
    idents = [0x100 + (i % 0x600) for i in range(args.samples)]
    timer.inject(ctl, args.index, channel, idents, 0.001, "C S D %x 00")  # 1000 frames/s
    time.sleep(1)
    for p in (client, owner):
        if p is not None:
            p.send_signal(signal.SIGINT)
            p.wait(20)
    return timer.latencies


def bench_latency(args):
    ok = True
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        for who, on_client in (("owner", False), ("client", True)):
            lat = measure_latency(args.build, args, work, on_client)
            ok = report_latency("latency " + who, "frames at 1000 frames/s", lat,
                                args.samples) and ok
    return ok


def measure_loaded_latency(build, args, work, on_client):
    """Marker frames (extended identifiers, 200 a second) put on channel 0
    (owner) or 1 (client) of a ZARO3018 whose 8 channels all carry
    wire-speed generator traffic, an owner on channel 0 and a client on
    each further channel; time until the marker's line is printed."""
    control = os.path.join(work, "ctl-load.sock")
    env = {"KESTRUN_SIM": "ZARO3018*%d" % (args.index + 1), "KESTRUN_SIM_CONTROL": control}
    base = ["-D", "ZARO3018", "-i", str(args.index), "-a", "1000000"]
    full_env = tool_env(env)
    sim = os.path.join(build, "kestrun-sim")
    channel = 1 if on_client else 0
    procs = []
    for ch in range(8):
        out = subprocess.PIPE if ch == channel else subprocess.DEVNULL
        procs.append(subprocess.Popen([sim] + base + ["-c", str(ch), "-r"], stdout=out,
                                      stderr=subprocess.DEVNULL, env=full_env, cwd="/tmp"))
        if ch == 0:
            time.sleep(1)  # the owner first
    timer = LineTimer(procs[channel], b"EXT:1")
    timer.ready.wait(30)
    ctl = Control(control)
    time.sleep(1)  # every client connected
    for ch in range(8):
        reply = ctl.command("dev %d gen start %d C S 8 wire" % (args.index, ch))
        if reply.startswith("error"):
            raise SystemExit(reply)
    time.sleep(1)
    samples = args.samples // 5
    idents = [0x1000000 + i for i in range(samples)]
    timer.inject(ctl, args.index, channel, idents, 0.005, "C E D %x A5")  # 200 frames/s
    time.sleep(1)
    for ch in range(8):
        ctl.command("dev %d gen stop %d" % (args.index, ch))
    for p in reversed(procs):
        p.send_signal(signal.SIGINT)
        p.wait(20)
    return timer.latencies, samples


def bench_loadlatency(args):
    ok = True
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        for who, on_client in (("owner", False), ("client", True)):
            lat, samples = measure_loaded_latency(args.build, args, work, on_client)
            ok = report_latency("latency under full load, " + who,
                                "markers at 200/s among 72,072 frames/s", lat, samples) and ok
    return ok


def bench_sendrate(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        control = os.path.join(work, "ctl.sock")
        env = {"KESTRUN_SIM": "DUNLINFD2*%d" % (args.index + 1), "KESTRUN_SIM_CONTROL": control}
        base = ["-D", "DUNLINFD2", "-i", str(args.index), "-a", "1000000"]
        count = args.frames
        send = ["-s", "-p", "0", "-n", str(count), "-m", "C#S#D#123#1122334455667788"]
        # Owner sending on channel 0 with nobody else around.
        t0 = time.monotonic()
        owner = Tool(args.build, base + ["-c", "0"] + send, env, os.path.join(work, "o.txt"))
        rc = owner.proc.wait(600)
        dt = time.monotonic() - t0
        owner.stop()
        print("sendrate owner: %d frames in %.2f s = %.0f frames/s (exit %d)"
              % (count, dt, count / dt, rc))
        # Client sending through a receiving owner.
        recv = Tool(args.build, base + ["-c", "1", "-r"], env, os.path.join(work, "r.txt"))
        recv.wait_for("启动完成", 30)
        t0 = time.monotonic()
        client = Tool(args.build, base + ["-c", "0"] + send, env, os.path.join(work, "c.txt"))
        rc2 = client.proc.wait(600)
        dt2 = time.monotonic() - t0
        client.stop()
        recv.stop()
        print("sendrate client: %d frames in %.2f s = %.0f frames/s (exit %d)"
              % (count, dt2, count / dt2, rc2))
        return rc == 0 and rc2 == 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--index", type=int, default=0, help="device index of the virtual adapter")
    p.add_argument("--samples", type=int, default=10000)
    p.add_argument("--frames", type=int, default=20000)
    p.add_argument("--fd", action="store_true", help="fullload with CAN FD 64-byte frames")
    p.add_argument("tests", nargs="+",
                   choices=["fullload", "onechannel", "classic", "idle", "latency", "loadlatency",
                            "sendrate"])
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    ok = True
    for name in args.tests:
        ok = globals()["bench_" + name](args) and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
