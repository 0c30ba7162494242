"""Logs that Kestrun writes are read by can-utils, python-can and tshark;
logs those tools write replay through Kestrun; the pace survives a round
trip; a pcapng stream on standard output is read live by tshark."""
import subprocess
import time

import can

from conftest import wait_until

RATES = ["-a", "1000000", "-d", "5000000"]
DATA64 = bytes(range(64)).hex().upper()

# (candump text sent, identifier, extended, remote, FD, BRS, data)
FRAMES = [
    ("123#DEADBEEF", 0x123, False, False, False, False, "DEADBEEF"),
    ("12345678#0102", 0x12345678, True, False, False, False, "0102"),
    ("7FF#R", 0x7FF, False, True, False, False, ""),
    ("100#", 0x100, False, False, False, False, ""),
    ("1A0##1" + DATA64, 0x1A0, False, False, True, True, DATA64),
    ("0AB##0", 0x0AB, False, False, True, False, ""),
    ("1FFFFFFF##0" + DATA64, 0x1FFFFFFF, True, False, True, False, DATA64),
]


def write_source(path, frames, interface="can0", step_us=1000):
    lines = [f"(1700000000.{i * step_us:06d}) {interface} {f[0]}\n" for i, f in enumerate(frames)]
    path.write_text("".join(lines))


def frames_of(messages):
    return [(m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_fd, m.bitrate_switch,
             bytes(m.data).hex().upper()) for m in messages]


EXPECTED = [f[1:] for f in FRAMES]


def tshark_fields(path, *fields):
    args = ["tshark", "-r", str(path), "-T", "fields", "-E", "separator=|"]
    for f in fields:
        args += ["-e", f]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines() if line]


def candump_stamps(path):
    return [line.split(")")[0][1:] for line in path.read_text().splitlines()]


def test_logs_read_by_can_utils_python_can_and_tshark(adapter_at, tmp_path):
    a = adapter_at(41)
    owner = a.start(*RATES, "-c", "1", "-r", "--log", "rx.log", name="owner")
    client = a.start(*RATES, "-c", "1", "--status", "--log", "rx.pcapng", name="client")
    write_source(tmp_path / "src.log", FRAMES)
    sender = a.start(*RATES, "-c", "0", "--replay", "src.log", "-p", "0", "--log", "tx.pcapng",
                     name="sender", ready=False)
    assert sender.proc.wait(30) == 0, sender.text()
    rx_log, rx_pcap = tmp_path / "rx.log", tmp_path / "rx.pcapng"
    assert wait_until(lambda: rx_log.exists() and len(rx_log.read_text().splitlines()) == 7)
    assert wait_until(lambda: len(tshark_fields(rx_pcap, "can.id")) == 7)
    assert owner.stop() == 0 and client.stop() == 0

    # python-can reads every field of the candump log.
    assert frames_of(can.LogReader(str(rx_log))) == EXPECTED
    # can-utils read it without complaint, one line a frame.
    long_out = subprocess.run(["log2long"], stdin=rx_log.open(), capture_output=True, text=True,
                              check=True).stdout.splitlines()
    assert len(long_out) == 7 and "12345678" in long_out[1] and "DE AD BE EF" in long_out[0]
    asc = subprocess.run(["log2asc", "-I", str(rx_log), "can1"], capture_output=True, text=True,
                         check=True).stdout
    assert "123" in asc and "1A0" in asc.upper()

    # tshark reads the candump log and both pcapng files with the same frames.
    want_ids = [hex(f[1]) for f in FRAMES]
    for path in (rx_log, rx_pcap, tmp_path / "tx.pcapng"):
        rows = tshark_fields(path, "can.id", "can.len")
        assert [hex(int(r[0], 0)) for r in rows] == want_ids, path
    # FD frames decode as CAN FD with their BRS bit, and the data is intact.
    rows = tshark_fields(rx_pcap, "_ws.col.Protocol", "canfd.flags.brs", "can.flags.xtd",
                         "can.flags.rtr", "data.data")
    assert [r[0] == "CANFD" for r in rows] == [f[4] for f in FRAMES]
    assert [(r[1] == "1", r[2] == "1", r[3] == "1", r[4].upper()) for r in rows] == \
        [(f[5], f[2], f[3], f[6]) for f in FRAMES]
    # Direction: received frames inbound, the sender's own outbound.
    for path, direction in ((rx_pcap, 1), (tmp_path / "tx.pcapng", 2)):
        flags = tshark_fields(path, "frame.packet_flags_direction")
        assert {int(r[0], 0) for r in flags} == {direction}, path
    # The owner's and the client's logs carry the same stamps.
    pcap_stamps = [r[0][:r[0].index(".") + 7] for r in tshark_fields(rx_pcap, "frame.time_epoch")]
    assert pcap_stamps == candump_stamps(rx_log)


def test_logs_of_python_can_and_asc2log_replay_unchanged(adapter_at, tmp_path):
    a = adapter_at(42)
    messages = [can.Message(arbitration_id=f[1], is_extended_id=f[2], is_remote_frame=f[3],
                            is_fd=f[4], bitrate_switch=f[5], data=bytes.fromhex(f[6]),
                            timestamp=1700000000 + i / 1000) for i, f in enumerate(FRAMES)]
    with can.Logger(str(tmp_path / "py.log")) as logger:
        for m in messages:
            logger.on_message_received(m)
    (tmp_path / "in.asc").write_text(
        "date Mon Dec 7 10:00:00.000 am 2026\nbase hex  timestamps absolute\n"
        "internal events logged\nBegin Triggerblock Mon Dec 7 10:00:00.000 am 2026\n"
        "   0.001000 1  123             Rx   d 2 11 22\n"
        "   0.002000 1  1abcdef0x       Rx   d 1 33\n"
        "End TriggerBlock\n")
    with (tmp_path / "asc.log").open("w") as out:
        subprocess.run(["asc2log", "-I", str(tmp_path / "in.asc")], stdout=out, check=True)

    owner = a.start(*RATES, "-c", "1", "--status", "--log", "rx.log", name="owner")
    for source, count in (("py.log", 7), ("asc.log", 9)):
        sender = a.start(*RATES, "-c", "0", "--replay", source, "-p", "0", name=source,
                         ready=False)
        assert sender.proc.wait(30) == 0, sender.text()
        assert wait_until(lambda: len((tmp_path / "rx.log").read_text().splitlines()) == count)
    assert owner.stop() == 0
    got = frames_of(can.LogReader(str(tmp_path / "rx.log")))
    assert got[:7] == EXPECTED
    assert got[7:] == [(0x123, False, False, False, False, "1122"),
                       (0x1ABCDEF0, True, False, False, False, "33")]


def test_record_replay_record_keeps_the_pace(adapter_at, tmp_path):
    a = adapter_at(43)
    gaps_ms = [0, 30, 5, 80, 1, 40, 12, 60]
    lines, t = [], 0
    for i, gap in enumerate(gaps_ms):
        t += gap * 1000
        lines.append(f"(1700000000.{t:06d}) can0 {0x100 + i:03X}#{i:02X}\n")
    (tmp_path / "src.log").write_text("".join(lines))

    def record(source, out):
        owner = a.start(*RATES, "-c", "1", "--status", "--log", out, name=out)
        sender = a.start(*RATES, "-c", "0", "--replay", source, name="play-" + out, ready=False)
        assert sender.proc.wait(30) == 0, sender.text()
        path = tmp_path / out
        assert wait_until(lambda: len(path.read_text().splitlines()) == len(gaps_ms))
        assert owner.stop() == 0
        return list(can.LogReader(str(path)))

    first = record("src.log", "first.log")
    second = record("first.log", "second.log")
    assert frames_of(second) == frames_of(first)
    # Each frame's offset from the first, against the recorded one. Now and
    # then the host wakes the sender late (a few ms on a loaded 2-core
    # machine): that frame is late and its neighbours' intervals are off by as
    # much. So every frame keeps to 1 ms but one a round, which keeps to 10 ms;
    # none leaves early. The median takes out a late first frame.
    want = [sum(gaps_ms[:i + 1]) for i in range(len(gaps_ms))]
    for got in (first, second):
        late = [(f.timestamp - got[0].timestamp) * 1000 - w for f, w in zip(got, want)]
        base = sorted(late)[len(late) // 2]
        off = [x - base for x in late]
        assert all(-1.0 < x < 10.0 for x in off), (gaps_ms, off)
        assert sum(x >= 1.0 for x in off) <= 1, (gaps_ms, off)


def test_pcapng_on_standard_output_is_read_live(adapter_at, tmp_path):
    a = adapter_at(44)
    shark = subprocess.Popen(["tshark", "-l", "-i", "-", "-T", "fields", "-e", "can.id"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
    owner = a.start(*RATES, "-c", "1", "-r", "--log", "-", "--log-format", "pcapng",
                    name="owner", stdout=shark.stdin)
    shark.stdin.close()  # the owner holds the pipe now
    sender = a.start(*RATES, "-c", "0", "-s", "-m", "C#S#D#321#01", "-n", "3", "-p", "0",
                     name="sender", ready=False)
    assert sender.proc.wait(30) == 0
    seen = [shark.stdout.readline().strip() for _ in range(3)]
    assert owner.proc.poll() is None  # still running: the frames came live
    assert [int(x, 0) for x in seen] == [0x321] * 3, seen
    # The console went to standard error, whole lines.
    assert "接收->CAN ID:0x321" in owner.err_path.read_text()
    assert owner.stop() == 0
    shark.wait(20)


def test_replay_plays_what_it_should_and_refuses_what_it_cannot(adapter_at, tmp_path):
    a = adapter_at(45)
    owner = a.start(*RATES, "-c", "1", "--status", "--log", "rx.log", name="owner")
    rx = tmp_path / "rx.log"
    classic = ["-a", "1000000"]  # channel 0 without a data rate: classic CAN only
    cases = [
        # (name, source lines, sender options, status, message, identifiers that arrive)
        ("bad line", ["can0 101#01", "can0 102#02", "can0 10#03", "can0 104#04"], RATES, 1,
         "src.log:3: ", [0x101, 0x102]),
        ("FD on a classic channel", ["can0 201#01", "can0 202##1AA", "can0 203#03"], classic, 1,
         "src.log:2: CAN FD frame", [0x201]),
        ("three passes of one interface", ["can5 301#01", "can6 302#02", "can5 303#03"],
         RATES + ["-n", "3", "--replay-if", "can5"], 0, "", [0x301, 0x303] * 3),
        ("missing file", None, RATES, 1, "nope.log: No such file or directory", []),
    ]
    for name, lines, options, status, message, ids in cases:
        source = "nope.log"
        if lines is not None:
            source = "src.log"
            (tmp_path / source).write_text(
                "".join(f"(1700000000.{i:06d}) {line}\n" for i, line in enumerate(lines)))
        before = len(rx.read_text().splitlines()) if rx.exists() else 0
        sender = a.start("-c", "0", "--replay", source, "-p", "0", *options, name=name,
                         ready=False)
        assert sender.proc.wait(30) == status, (name, sender.text())
        assert message in sender.text(), (name, sender.text())
        assert wait_until(lambda: len(rx.read_text().splitlines()) >= before + len(ids)), name
        time.sleep(0.1)  # nothing more arrives
        got = [int(line.split()[2].split("#")[0], 16) for line in rx.read_text().splitlines()]
        assert got[before:] == ids, name
    assert owner.stop() == 0


def test_log_that_cannot_be_written_ends_the_run_with_status_1(adapter_at, tmp_path):
    a = adapter_at(46)
    cases = [("/nonexistent/rx.log", "Log /nonexistent/rx.log: No such file or directory"),
             ("/dev/full", "Log /dev/full: No space left on device")]
    for path, message in cases:
        owner = a.start(*RATES, "-c", "1", "-r", "--log", path, name=path.replace("/", "_"),
                        ready=path == "/dev/full")
        if path == "/dev/full":
            sender = a.start(*RATES, "-c", "0", "-s", "-m", "C#S#D#321#01", "-p", "0",
                             name="sender", ready=False)
            sender.proc.wait(30)
        assert owner.proc.wait(30) == 1, owner.text()
        assert message in owner.text(), owner.text()
