"""Frames between scripts and kestrun processes on one adapter."""
import select
import time

import can

from conftest import BUS, EXPECTED, FRAMES, RATES, by_kind, fields, message, printed, \
    wait_until, write_candump


def test_frames_both_ways_with_kestrun_and_its_stamps(adapter_at, tmp_path):
    a = adapter_at(47)
    owner = a.start(*RATES, "-c", "1", "-r", name="owner")
    a.start(*RATES, "-c", "0", "--status", "--log", "ch0.log", name="log0")
    with can.Bus(channel=0, index=47, **BUS) as bus:
        for row in FRAMES * 3:
            bus.send(message(row))
    # Every frame went out, though the bus was shut down at once.
    assert wait_until(lambda: len(printed(owner)) == 3 * len(FRAMES)), owner.text()
    assert by_kind(printed(owner)) == by_kind(EXPECTED * 3)

    with can.Bus(channel=0, index=47, **BUS) as bus:
        write_candump(tmp_path / "src.log", FRAMES)
        sender = a.start(*RATES, "-c", "1", "--replay", "src.log", "-p", "0", name="send",
                         ready=False)
        assert sender.proc.wait(30) == 0, sender.text()
        got = [bus.recv(10) for _ in FRAMES]
    assert None not in got
    assert by_kind([fields(m) for m in got]) == by_kind(EXPECTED)
    assert {(m.is_rx, m.channel) for m in got} == {(True, 0)}
    # The stamps are those kestrun --log writes for the same frames.
    log = tmp_path / "ch0.log"
    assert wait_until(lambda: len(log.read_text().splitlines()) == len(FRAMES))
    stamps = [int(line[1:line.index(")")].replace(".", "")) for line in log.read_text().splitlines()]
    assert sorted(round(m.timestamp * 1e6) for m in got) == sorted(stamps)


def test_scripts_and_kestrun_share_an_adapter(adapter_at):
    a = adapter_at(48, "ZARO3018")
    owner = a.start("-a", "500000", "-c", "3", "-r", name="owner")
    config = dict(interface="kestrun", model="ZARO3018", index=48, bitrate=500000)
    with can.Bus(channel=2, receive_own_messages=True, **config) as own, \
            can.Bus(channel=2, **config) as other, can.Bus(channel=4, **config) as far:
        sent = [can.Message(arbitration_id=0x200 + i, is_extended_id=False, data=[i]) for i in range(3)]
        for m in sent:
            own.send(m)
        want = [fields(m) for m in sent]
        for bus in (own, other):
            got = [bus.recv(10) for _ in sent]
            assert None not in got
            assert [fields(m) for m in got] == want
            assert {(m.is_rx, m.channel) for m in got} == {(False, 2)}
        assert wait_until(lambda: printed(owner) == want), owner.text()

        # Channel 4 gets its wired partner's frames and nothing of channel 2.
        a.start("-a", "500000", "-c", "5", "-s", "-m", "C#S#D#555#AA", name="s5", ready=False)
        got = far.recv(10)
        assert got is not None and (got.arbitration_id, got.is_rx, got.channel) == (0x555, True, 4)
        cpu = time.process_time()
        assert far.recv(1) is None
        assert time.process_time() - cpu < 0.05  # waited, did not spin

        # fileno() is readable exactly while a frame waits.
        assert select.select([other], [], [], 0)[0] == []
        a.start("-a", "500000", "-c", "3", "-s", "-m", "C#S#D#333#BB", name="s3", ready=False)
        assert select.select([other], [], [], 10)[0] == [other]
        got = other.recv(0)
        assert (got.arbitration_id, got.is_rx) == (0x333, True)
        assert select.select([other], [], [], 0)[0] == []
        assert own.recv(10).arbitration_id == 0x333
