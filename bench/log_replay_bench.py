#!/usr/bin/env python3
"""Benchmarks of sending at wire speed, logging and replaying on virtual adapters.

  wirerate  frames per second on the bus of `-s -p 0` and `--replay FILE -p 0`,
            sent by an owner and by a client, on a DUNLINFD2 and a ZARO3018,
            classic 8-byte frames at 1 Mbit/s and CAN FD 64-byte frames at
            1M/5M with BRS; the rate is read from the receiving channel's log
            (the adapter's bus-time stamps) and set against the wire rate
            (9,009 and 7,153 frames/s, docs: can-frame-timing).
  logcost   8 channels of a ZARO3018 at full load (wire-speed generators),
            an owner and 7 clients each receiving with -r into a file, then the
            same with --log into a file each: CPU seconds of all 8 processes
            per run and whether every generated frame reached every log.
  replaymem streams a 10-million-frame candump log through --replay (one frame
            in 1000 is on the played interface) and samples the memory.

Usage: bench/log_replay_bench.py [--build DIR] [--index I] [--frames N] TEST...
"""
import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tool_bench import ROOT, Control, Tool, parse_counters  # noqa: E402

DATA64 = "AB" * 64
SHAPES = {
    "classic 8 B @1M": (["-a", "1000000"], "C#S#D#123#1122334455667788",
                        "123#1122334455667788", 9009),
    "FD 64 B @1M/5M BRS": (["-a", "1000000", "-d", "5000000", "--brs"], "F#S#D#123#" + DATA64,
                           "123##1" + DATA64, 7153),
}


def log_rate(path):
    stamps = []
    with open(path) as f:
        for line in f:
            stamps.append(float(line[1:line.index(")")]))
    if len(stamps) < 2:
        return 0.0, len(stamps)
    return (len(stamps) - 1) / (stamps[-1] - stamps[0]), len(stamps)


def one_rate(args, work, model, shape, sender_role, source):
    rates, text, line, _ = SHAPES[shape]
    env = {"KESTRUN_SIM": "%s*%d" % (model, args.index + 1)}
    base = ["-D", model, "-i", str(args.index)] + rates
    rx = os.path.join(work, "rx.log")
    if os.path.exists(rx):
        os.unlink(rx)
    if source == "replay":
        src = os.path.join(work, "src.log")
        with open(src, "w") as f:
            for i in range(args.frames):
                f.write("(1700000000.%06d) can0 %s\n" % (i, line))
        send = ["--replay", src, "-p", "0"]
    else:
        send = ["-s", "-m", text, "-p", "0", "-n", str(args.frames)]
    logger_args = base + ["-c", "1", "--status", "--log", rx]
    if sender_role == "owner":
        # The sender owns the adapter; the logger joins as a client and sees
        # the steady part of the run.
        sender = Tool(args.build, base + ["-c", "0"] + send, env, os.path.join(work, "s.txt"))
        sender.wait_for("启动完成", 30)
        logger = Tool(args.build, logger_args, env, os.path.join(work, "l.txt"))
    else:
        logger = Tool(args.build, logger_args, env, os.path.join(work, "l.txt"))
        logger.wait_for("启动完成", 30)
        sender = Tool(args.build, base + ["-c", "0"] + send, env, os.path.join(work, "s.txt"))
    rc = sender.proc.wait(900)
    time.sleep(0.5)
    sender.stop()
    logger.stop()
    rate, frames = log_rate(rx)
    return rc, rate, frames


def bench_wirerate(args):
    ok = True
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        print("wirerate: %d frames a run; rate on the bus from the receiving log" % args.frames)
        print("  %-9s %-20s %-7s %-7s %9s %7s" % ("model", "frames", "sender", "source",
                                               "frames/s", "of wire"))
        for model in ("DUNLINFD2", "ZARO3018"):
            for shape in SHAPES:
                for role in ("owner", "client"):
                    for source in ("send", "replay"):
                        rc, rate, frames = one_rate(args, work, model, shape, role, source)
                        share = rate / SHAPES[shape][3]
                        print("  %-9s %-20s %-7s %-7s %9.0f %6.1f%%  (%d logged, exit %d)"
                              % (model, shape, role, source, rate, 100 * share, frames, rc))
                        ok = ok and rc == 0
    return ok


def load_run(args, work, with_log):
    control = os.path.join(work, "ctl.sock")
    env = {"KESTRUN_SIM": "ZARO3018*%d" % (args.index + 1), "KESTRUN_SIM_CONTROL": control}
    base = ["-D", "ZARO3018", "-i", str(args.index), "-a", "1000000", "-r"]
    tools = []
    for ch in range(8):
        extra = ["--log", os.path.join(work, "ch%d.log" % ch)] if with_log else []
        t = Tool(args.build, base + ["-c", str(ch)] + extra, env,
                 os.path.join(work, "ch%d.txt" % ch))
        t.wait_for("启动完成" if ch == 0 else "设备初始化成功", 30)
        tools.append(t)
    ctl = Control(control)
    cpu0 = [t.cpu_seconds() for t in tools]
    for ch in range(8):
        ctl.command("dev %d gen start %d C S 8 wire" % (args.index, ch))
    time.sleep(args.seconds)
    produced = []
    for ch in range(8):
        ctl.command("dev %d gen stop %d" % (args.index, ch))
        produced.append(parse_counters(ctl.command("dev %d gen count %d" % (args.index, ch))))
    time.sleep(2)
    cpu = sum(t.cpu_seconds() for t in tools) - sum(cpu0)
    for t in reversed(tools):
        t.stop()
    complete = True
    if with_log:
        for ch in range(8):
            with open(os.path.join(work, "ch%d.log" % ch)) as f:
                lines = sum(1 for _ in f)
            complete = complete and lines == produced[ch]["produced"]
    frames = sum(p["produced"] for p in produced)
    return cpu, frames, complete


def bench_logcost(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-") as work:
        print("logcost: ZARO3018, 8 channels, classic 8-byte frames at 1 Mbit/s, %d s" % args.seconds)
        cpu_a, frames_a, _ = load_run(args, work, False)
        cpu_b, frames_b, complete = load_run(args, work, True)
        print("  -r into files:         %7.2f CPU s for %d frames (%.2f us a frame)"
              % (cpu_a, frames_a, 1e6 * cpu_a / frames_a))
        print("  -r and --log per channel: %7.2f CPU s for %d frames (%.2f us a frame), "
              "every frame logged: %s" % (cpu_b, frames_b, 1e6 * cpu_b / frames_b,
                                          "yes" if complete else "NO"))
        print("  extra CPU per frame: %+.1f%%"
              % (100 * ((cpu_b / frames_b) / (cpu_a / frames_a) - 1)))
        return complete


def bench_replaymem(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-bench-", dir=args.tmp) as work:
        src = os.path.join(work, "big.log")
        total = args.big
        with open(src, "w") as f:
            chunk = []
            for i in range(total):
                iface = "can0" if i % 1000 == 0 else "can1"
                chunk.append("(%010d.%06d) %s %03X#%016X\n"
                             % (1700000000 + i // 1000000, i % 1000000, iface, i & 0x7FF, i))
                if len(chunk) == 100000:
                    f.write("".join(chunk))
                    chunk = []
            f.write("".join(chunk))
        size = os.path.getsize(src)
        env = {"KESTRUN_SIM": "DUNLINFD2*%d" % (args.index + 1)}
        base = ["-D", "DUNLINFD2", "-i", str(args.index), "-a", "1000000", "-c", "0"]
        t0 = time.monotonic()
        tool = Tool(args.build, base + ["--replay", src, "--replay-if", "can0", "-p", "0"], env,
                    os.path.join(work, "r.txt"))
        rss = []
        while tool.proc.poll() is None:
            try:
                rss.append(tool.rss_kib())
            except OSError:
                break
            time.sleep(0.5)
        dt = time.monotonic() - t0
        rc = tool.stop()
        print("replaymem: %d frames (%d MB), %d played, %.1f s; RSS KiB min %d, max %d, "
              "samples %d (exit %d)" % (total, size >> 20, total // 1000, dt,
                                        min(rss or [0]), max(rss or [0]), len(rss), rc))
        return rc == 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--index", type=int, default=0)
    p.add_argument("--frames", type=int, default=30000)
    p.add_argument("--seconds", type=int, default=20)
    p.add_argument("--big", type=int, default=10000000, help="frames of the replaymem log")
    p.add_argument("--tmp", default=None, help="folder for the replaymem log")
    p.add_argument("tests", nargs="+", choices=["wirerate", "logcost", "replaymem"])
    args = p.parse_args()
    ok = True
    for test in args.tests:
        ok = {"wirerate": bench_wirerate, "logcost": bench_logcost,
              "replaymem": bench_replaymem}[test](args) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
