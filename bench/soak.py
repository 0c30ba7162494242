#!/usr/bin/env python3
"""Fault soak of the kestrun tool on virtual adapters.

  unplug    an owner receiving generator frames (each carrying its sequence
            number) on a DUNLINFD2 while the adapter is pulled and plugged
            back CYCLES times at random moments of the traffic: every frame
            produced more than 100 ms before a pull is shown once and in
            order; open descriptors and memory of the owner stay flat.
  hostile   an owner and an honest client receiving generator frames on a
            ZARO3018 while CLIENTS hostile local processes connect, send
            random and malformed packets, stall and vanish: the honest client
            shows every frame once and in order, the owner lives on and ends
            with the descriptors it had before.
  killowner the owner killed with SIGKILL KILLS times at random moments (also
            during its start): each time a newly started kestrun becomes the
            owner within a second, with the stale lock and socket left as
            they were, and serves a client.
  fullload  every channel of a ZARO3018 at full bus load (wire-speed
            generators, classic 8-byte frames at 1 Mbit/s, or CAN FD 64-byte
            frames at 1M/5M with --fd) for SECONDS: no sequence gap.

Usage: bench/soak.py [--build DIR] [--index I] [--cycles N] [--clients N]
                     [--kills N] [--seconds N] [--rate FPS] [--fd] [--seed S]
                     [--takeover-limit SECONDS] TEST...
Exits non-zero when a check fails.
"""

import argparse
import os
import random
import re
import signal
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tool_bench import Control, DATA_RE, Tool, parse_counters, run_load  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STARTED = "启动完成"
CLIENT_READY = "设备初始化成功"
UNPLUGGED = "DisLink"
REPLUGGED = "VORM Tip:DUNLINFD OK..."
TYPE_ZARO3018 = 67
PKG_SIZE = 272


class Follower:
    """Reads a growing output file once, front to back, as lines complete:
    follows the generator's sequence numbers (data bytes 0..3 of every frame
    line) and counts marker lines. Sequence numbers are not kept: only the
    count, the last one, the gaps (first missing, next shown) and how many
    went backwards or repeated."""

    def __init__(self, path, markers):
        self.f = open(path, "rb")
        self.partial = b""
        self.count = 0
        self.first = None
        self.last = None
        self.gaps = []
        self.backwards = 0
        self.markers = {m: 0 for m in markers}

    def frame(self, seq):
        if self.last is None:
            self.first = seq
        elif seq <= self.last:
            self.backwards += 1
        elif seq != self.last + 1:
            self.gaps.append((self.last + 1, seq))
        if self.last is None or seq > self.last:
            self.last = seq
        self.count += 1

    def poll(self):
        chunk = self.f.read()
        if not chunk:
            return
        data = self.partial + chunk
        lines = data.split(b"\n")
        self.partial = lines.pop()
        for raw in lines:
            line = raw.decode("utf-8", "replace")
            m = DATA_RE.search(line)
            if m:
                d = m.group(3).split()
                self.frame(int(d[0], 16) | int(d[1], 16) << 8 | int(d[2], 16) << 16 |
                           int(d[3], 16) << 24)
                continue
            for marker in self.markers:
                if marker in line:
                    self.markers[marker] += 1

    def wait_marker(self, marker, count, timeout):
        end = time.monotonic() + timeout
        while True:
            self.poll()
            if self.markers[marker] >= count:
                return True
            if time.monotonic() > end:
                return False
            time.sleep(0.01)


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def fd_targets(pid):
    out = []
    for name in sorted(os.listdir("/proc/%d/fd" % pid), key=int):
        try:
            out.append("%s->%s" % (name, os.readlink("/proc/%d/fd/%s" % (pid, name))))
        except OSError:
            pass
    return out


def sim_env(model, index, control):
    return {"KESTRUN_SIM": "%s*%d" % (model, index + 1), "KESTRUN_SIM_CONTROL": control}


def soak_unplug(args):
    cycles = args.cycles
    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory(prefix="kestrun-soak-") as work:
        control = os.path.join(work, "ctl.sock")
        out = os.path.join(work, "owner.txt")
        owner = Tool(args.build, ["-D", "DUNLINFD2", "-i", str(args.index), "-a", "1000000",
                                  "-c", "0", "-r"],
                     sim_env("DUNLINFD2", args.index, control), out)
        follow = Follower(out, [STARTED, UNPLUGGED, REPLUGGED])
        if not follow.wait_marker(STARTED, 1, 30):
            print(owner.text()[-2000:])
            raise SystemExit("owner did not start")
        ctl = Control(control)
        pos = args.index
        print("unplug: DUNLINFD2, channel 0 at 1 Mbit/s under a wire-speed generator that runs "
              "through every pull, %d cycles" % cycles)
        # The generator lives on the virtual bus, not in the adapter: it keeps
        # producing while the adapter is away, and those frames are lost to
        # the unplugged window (the bus had nobody listening).
        reply = ctl.command("dev %d gen start 0 C S 8 wire" % pos)
        if not reply.startswith("ok"):
            raise SystemExit(reply)
        fps = float(reply.split("fps=")[1])
        t0 = time.monotonic()
        windows = []  # per pull: (produced just before it, produced once receiving again)
        samples = {}
        recovery = []
        ok = True
        for k in range(cycles):
            time.sleep(rng.uniform(0.05, 0.4))
            before = parse_counters(ctl.command("dev %d gen count 0" % pos))["produced"]
            ctl.command("unplug %d" % pos)
            if not follow.wait_marker(UNPLUGGED, k + 1, 10):
                print("  cycle %d: owner did not notice the pull" % k)
                ok = False
                break
            time.sleep(rng.uniform(0.0, 0.1))
            ctl.command("plug %d" % pos)
            tp = time.monotonic()
            if not follow.wait_marker(REPLUGGED, k + 1, 15):
                print("  cycle %d: owner did not take the adapter back" % k)
                ok = False
                break
            recovery.append(time.monotonic() - tp)
            after = parse_counters(ctl.command("dev %d gen count 0" % pos))["produced"]
            windows.append((before, after))
            if k + 1 in (10, cycles // 2, cycles):
                samples[k + 1] = (open_fds(owner.proc.pid), owner.rss_kib())
            if (k + 1) % 100 == 0:
                print("  %d cycles, %.0f s" % (k + 1, time.monotonic() - t0), flush=True)
        time.sleep(rng.uniform(0.2, 0.4))
        ctl.command("dev %d gen stop 0" % pos)
        final = parse_counters(ctl.command("dev %d gen count 0" % pos))
        # Let the last frames reach the file.
        time.sleep(1)
        follow.poll()
        alive = owner.proc.poll() is None
        owner.stop()
        follow.poll()
        elapsed = time.monotonic() - t0

        # A gap is allowed only inside an unplugged window, widened by what
        # was still in flight: 100 ms of frames before the pull (read by
        # nobody once the adapter is gone) and 100 ms after the owner says it
        # has the adapter back (the channel's restart).
        slack = int(fps * 0.1)
        outside = []
        for a, b in follow.gaps:
            if not any(before - slack <= a and b <= after + slack for before, after in windows):
                outside.append((a, b))
        missing = sum(b - a for a, b in follow.gaps)
        tail_ok = follow.last == final["produced"] - 1
        print("  %d cycles in %.0f s; generated %d, shown %d, lost in unplugged windows %d; "
              "gaps outside the windows %d; repeated or reordered %d; last frame shown: %s"
              % (len(windows), elapsed, final["produced"], follow.count, missing, len(outside),
                 follow.backwards, "yes" if tail_ok else "NO"))
        for a, b in outside[:5]:
            print("    gap outside a window: %d..%d" % (a, b - 1))
        if recovery:
            recovery.sort()
            print("  plug-back to \"%s\": median %.0f ms, max %.0f ms"
                  % (REPLUGGED, 1e3 * recovery[len(recovery) // 2], 1e3 * recovery[-1]))
        for n in sorted(samples):
            print("  after %d cycles: %d open descriptors, RSS %d KiB" % (n, *samples[n]))
        # Judged from cycle 10 on (start-up allocations settled) and only over
        # a run long enough to show a leak per cycle.
        if cycles >= 100 and len(samples) >= 2:
            first, last = samples[min(samples)], samples[max(samples)]
            flat = last[0] == first[0] and last[1] - first[1] < 1024
            print("  descriptors and memory flat: %s" % ("yes" if flat else "NO"))
            ok = ok and flat
        ok = (ok and alive and not outside and follow.backwards == 0 and tail_ok
              and follow.first == 0 and len(windows) == cycles)
        print("unplug: %s" % ("ok" if ok else "FAIL"))
        return ok


def packet(cmd, dev_type, dev_index, channel, rng, **fields):
    """A channel-sharing packet with the given header and random body bytes."""
    body = bytearray(rng.getrandbits(8) for _ in range(PKG_SIZE))
    struct.pack_into("<B3xIII", body, 0, cmd, dev_type, dev_index, channel)
    for offset, fmt, value in fields.values():
        struct.pack_into(fmt, body, offset, value)
    return bytes(body)


def hostile_client(sock_path, index, rng, stop, tally):
    """One hostile local process: connects, misbehaves in one of several
    ways, vanishes, and does it again until stopped."""
    while not stop.is_set():
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(0.5)
        try:
            s.connect(sock_path)
            tally["connections"] += 1
            kind = rng.randrange(9)
            if kind == 0:    # random bytes of random length
                s.sendall(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 3000))))
            elif kind == 1:  # whole packets with every field random
                for _ in range(rng.randrange(1, 20)):
                    s.sendall(bytes(rng.getrandbits(8) for _ in range(PKG_SIZE)))
            elif kind == 2:  # requests for another adapter
                s.sendall(packet(rng.choice([0, 3]), rng.choice([TYPE_ZARO3018, 41, 0xFFFFFFFF]),
                                 index + 1 + rng.randrange(1000), rng.randrange(8), rng))
            elif kind == 3:  # this adapter, channels that do not exist
                s.sendall(packet(rng.choice([0, 3]), TYPE_ZARO3018, index,
                                 rng.choice([16, 255, 0x7FFFFFFF, 0xFFFFFFFF]), rng))
            elif kind == 4:  # commands only the owner sends, or no command at all
                s.sendall(packet(rng.choice([1, 2, 11, 12, 4, 99, 255]), TYPE_ZARO3018, index,
                                 rng.randrange(2, 8), rng))
            elif kind == 5:  # half a packet, then gone
                s.sendall(packet(3, TYPE_ZARO3018, index, 5, rng)[:rng.randrange(1, PKG_SIZE)])
            elif kind == 6:  # a real init of a spare channel with random rates, then sends
                s.sendall(packet(3, TYPE_ZARO3018, index, rng.randrange(4, 8), rng,
                                 arb=(256, "<I", rng.choice([1000000, 500000, 123, 0])),
                                 data=(260, "<I", rng.choice([5000000, 2000000, 0])),
                                 fd=(264, "<B", rng.randrange(3))))
                for _ in range(rng.randrange(1, 50)):
                    s.sendall(packet(0, TYPE_ZARO3018, index, rng.randrange(4, 8), rng))
            elif kind == 7:  # connects and stalls without reading or writing
                stop.wait(rng.uniform(0.1, 2.0))
            else:            # a flood of garbage until the owner stops taking it
                end = time.monotonic() + rng.uniform(0.05, 0.5)
                junk = bytes(rng.getrandbits(8) for _ in range(4096))
                while time.monotonic() < end:
                    s.sendall(junk)
            tally["completed"] += 1
        except OSError:
            tally["refused_or_reset"] += 1
        finally:
            s.close()
        stop.wait(rng.uniform(0.0, 0.05))


def soak_hostile(args):
    ident = 0x3C3
    with tempfile.TemporaryDirectory(prefix="kestrun-soak-") as work:
        control = os.path.join(work, "ctl.sock")
        env = sim_env("ZARO3018", args.index, control)
        base = ["-D", "ZARO3018", "-i", str(args.index), "-a", "1000000"]
        owner = Tool(args.build, base + ["-c", "0", "-r"], env, os.path.join(work, "owner.txt"))
        if not owner.wait_for(STARTED, 30):
            raise SystemExit("owner did not start")
        honest_out = os.path.join(work, "honest.txt")
        honest = Tool(args.build, base + ["-c", "1", "-r"], env, honest_out)
        if not honest.wait_for(CLIENT_READY, 30):
            raise SystemExit("honest client did not start")
        ctl = Control(control)
        pos = args.index
        print("hostile: ZARO3018, honest client on channel 1 at %s frames/s, %d hostile "
              "clients, %d s" % (args.rate, args.clients, args.seconds))
        reply = ctl.command("dev %d gen start 1 C S 8 %s id=%x" % (pos, args.rate, ident))
        if not reply.startswith("ok"):
            raise SystemExit(reply)
        # After a reply on the control connection: the owner has accepted it.
        fds_before = open_fds(owner.proc.pid)
        fd_list_before = fd_targets(owner.proc.pid)
        sock_path = "/tmp/Kestrun_ZARO3018_%d.sock" % args.index
        stop = threading.Event()
        tallies = []
        threads = []
        for i in range(args.clients):
            tally = {"connections": 0, "completed": 0, "refused_or_reset": 0}
            tallies.append(tally)
            t = threading.Thread(target=hostile_client,
                                 args=(sock_path, args.index, random.Random(args.seed * 1000 + i),
                                       stop, tally), daemon=True)
            threads.append(t)
            t.start()
        time.sleep(args.seconds)
        stop.set()
        for t in threads:
            t.join(10)
        ctl.command("dev %d gen stop 1" % pos)
        counts = parse_counters(ctl.command("dev %d gen count 1" % pos))
        # Let the owner settle and the last frames reach the honest client.
        time.sleep(2)
        fds_after = open_fds(owner.proc.pid)
        if fds_after != fds_before:
            print("  owner descriptors before: %s" % " ".join(fd_list_before))
            print("  owner descriptors after:  %s" % " ".join(fd_targets(owner.proc.pid)))
        owner_alive = owner.proc.poll() is None
        honest_alive = honest.proc.poll() is None
        honest.stop()
        owner.stop()
        follow = Follower(honest_out, [])
        follow.poll()
        in_order = (follow.count == 0 or follow.first == 0) and not follow.gaps and \
            follow.backwards == 0
        connections = sum(t["connections"] for t in tallies)
        resets = sum(t["refused_or_reset"] for t in tallies)
        owner_text = owner.text()
        dropped = owner_text.count("too slow, dropped")
        print("  %d hostile connections (%d refused or reset by the owner), owner dropped %d "
              "slow clients" % (connections, resets, dropped))
        print("  honest client: generated %d, shown %d, %s, lost in adapter %d"
              % (counts["produced"], follow.count, "in order" if in_order else "OUT OF ORDER",
                 counts.get("lost", 0)))
        print("  owner: alive %s, open descriptors %d before, %d after"
              % ("yes" if owner_alive else "NO", fds_before, fds_after))
        ok = (owner_alive and honest_alive and in_order and follow.count == counts["produced"]
              and counts.get("lost", 0) == 0 and fds_after == fds_before)
        print("hostile: %s" % ("ok" if ok else "FAIL"))
        return ok


def soak_killowner(args):
    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory(prefix="kestrun-soak-") as work:
        base = ["-D", "DUNLINFD2", "-i", str(args.index), "-a", "1000000"]
        print("killowner: DUNLINFD2, %d kills with SIGKILL" % args.kills)
        takeovers = []
        served = 0
        ok = True
        owner = None
        for k in range(args.kills + 1):
            out = os.path.join(work, "owner%d.txt" % k)
            owner = Tool(args.build, base + ["-c", "0", "-r"],
                         {"KESTRUN_SIM": "DUNLINFD2*%d" % (args.index + 1)}, out)
            if k > 0:
                # The previous owner was killed just before this one started.
                if not owner.wait_for(STARTED, 10) or "设备锁定失败" in owner.text():
                    print("  kill %d: no new owner: %s" % (k, owner.text()[-500:]))
                    ok = False
                    break
                takeovers.append(time.monotonic() - t_kill)
                client = Tool(args.build, base + ["-c", "1", "-r"],
                              {"KESTRUN_SIM": "DUNLINFD2*%d" % (args.index + 1)},
                              os.path.join(work, "client%d.txt" % k))
                if client.wait_for(CLIENT_READY, 10):
                    served += 1
                else:
                    print("  kill %d: the new owner did not serve a client: %s"
                          % (k, client.text()[-500:]))
                    ok = False
                client.stop()
            if k == args.kills:
                break
            # Some kills land during the start, most while running.
            time.sleep(rng.choice([rng.uniform(0.0, 0.3), rng.uniform(0.3, 1.5)]))
            t_kill = time.monotonic()
            owner.proc.kill()
            owner.proc.wait()
            owner.out.close()
        if owner is not None:
            owner.stop()
        if takeovers:
            srt = sorted(takeovers)
            print("  %d takeovers: median %.0f ms, max %.0f ms (SIGKILL to the new owner's "
                  "\"%s\"); %d served a client" % (len(srt), 1e3 * srt[len(srt) // 2],
                                                   1e3 * srt[-1], STARTED, served))
            ok = (ok and srt[-1] < args.takeover_limit and len(srt) == args.kills
                  and served == args.kills)
        else:
            ok = False
        print("killowner: %s" % ("ok" if ok else "FAIL"))
        return ok


def soak_fullload(args):
    with tempfile.TemporaryDirectory(prefix="kestrun-soak-") as work:
        if args.fd:
            print("fullload: ZARO3018, 8 channels, CAN FD 64-byte frames at 1M/5M, %d s"
                  % args.seconds)
            return run_load(args.build, "ZARO3018", "ZARO3018*%d" % (args.index + 1), 8,
                            ["-a", "1000000", "-d", "5000000"], "F S 64 wire brs", args.seconds,
                            args.index, work)
        print("fullload: ZARO3018, 8 channels, classic 8-byte frames at 1 Mbit/s, %d s"
              % args.seconds)
        return run_load(args.build, "ZARO3018", "ZARO3018*%d" % (args.index + 1), 8,
                        ["-a", "1000000"], "C S 8 wire", args.seconds, args.index, work)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--index", type=int, default=50, help="device index of the virtual adapter")
    p.add_argument("--cycles", type=int, default=1000)
    p.add_argument("--clients", type=int, default=64)
    p.add_argument("--kills", type=int, default=100)
    p.add_argument("--seconds", type=int, default=600)
    p.add_argument("--rate", default="wire", help="honest client's frames/s (hostile)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--takeover-limit", type=float, default=1.0,
                   help="seconds a new owner may take after a kill (killowner)")
    p.add_argument("--fd", action="store_true", help="fullload with CAN FD 64-byte frames")
    p.add_argument("tests", nargs="+", choices=["unplug", "hostile", "killowner", "fullload"])
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    ok = True
    for name in args.tests:
        ok = globals()["soak_" + name](args) and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
