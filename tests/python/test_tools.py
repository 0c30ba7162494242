"""python-can's own tools and helpers through the interface."""
import asyncio
import subprocess

import can

from conftest import BUS, EXPECTED, FRAMES, RATES, VENV, by_kind, fields, printed, \
    wait_until, write_candump

TOOL_ARGS = ["-i", "kestrun", "-b", "500000", "--fd", "--data_bitrate", "2000000",
             "--model=DUNLINFD2"]


def test_logger_and_player(adapter_at, tmp_path):
    a = adapter_at(49)
    owner = a.start(*RATES, "-c", "0", "-r", name="owner")
    loggers = []
    for suffix in ("blf", "asc"):
        out = open(tmp_path / f"logger-{suffix}.out", "w+")
        proc = subprocess.Popen([VENV["python"], "-m", "can.logger", *TOOL_ARGS, "--index=49",
                                 "-c", "0", "-f", str(tmp_path / f"rx.{suffix}")],
                                stdout=out, stderr=subprocess.STDOUT, cwd=tmp_path)
        loggers.append((suffix, proc, out))
    for _, proc, out in loggers:
        assert wait_until(lambda: "Connected to KestrunBus" in open(out.name).read()), \
            open(out.name).read()

    write_candump(tmp_path / "src.log", FRAMES)
    sender = a.start(*RATES, "-c", "1", "--replay", "src.log", "-p", "0", name="send", ready=False)
    assert sender.proc.wait(30) == 0, sender.text()
    # python-can's player replays the same log through the interface.
    player = subprocess.run([VENV["python"], "-m", "can.player", *TOOL_ARGS, "--index=49",
                             "-c", "1", str(tmp_path / "src.log")],
                            capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert player.returncode == 0, player.stdout + player.stderr
    assert wait_until(lambda: len(printed(owner)) == 2 * len(FRAMES)), owner.text()
    assert by_kind(printed(owner)[:6]) == by_kind(printed(owner)[6:]) == by_kind(EXPECTED)

    # The owner's end ends the loggers once they have written what they got.
    assert owner.stop() == 0
    for suffix, proc, out in loggers:
        proc.wait(30)
        assert "has gone" in open(out.name).read()
        got = list(can.LogReader(str(tmp_path / f"rx.{suffix}")))
        assert by_kind([fields(m) for m in got][:6]) == by_kind(EXPECTED), suffix
        assert by_kind([fields(m) for m in got][6:]) == by_kind(EXPECTED), suffix


def test_periodic_send_to_an_asyncio_notifier(adapter_at, sim_env):
    sim_env(adapter_at(50))
    period, count = 0.010, 150

    async def collect(bus):
        reader = can.AsyncBufferedReader()
        notifier = can.Notifier(bus, [reader], loop=asyncio.get_running_loop())
        got = [await asyncio.wait_for(reader.get_message(), 10) for _ in range(count)]
        notifier.stop()
        return got

    with can.Bus(channel=1, index=50, **BUS) as rx, can.Bus(channel=0, index=50, **BUS) as tx:
        task = tx.send_periodic(can.Message(arbitration_id=0x10, is_extended_id=False, data=[1]),
                                period)
        got = asyncio.run(collect(rx))
        task.stop()
    assert {m.arbitration_id for m in got} == {0x10}
    mean = (got[-1].timestamp - got[0].timestamp) / (count - 1)
    assert abs(mean - period) < 0.001, mean
