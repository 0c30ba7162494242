"""The owner a script starts, leaves and loses; refusals before anything is
sent."""
import os
import signal
import socket
import struct
import subprocess
import time

import can
import pytest

from conftest import BUS, RATES, SIMCTL, printed, wait_until

SOCK = "/tmp/Kestrun_DUNLINFD2_{}.sock"


def simctl(adapter, *words):
    return subprocess.run([SIMCTL, "-s", adapter.control, *words], check=True,
                          capture_output=True, text=True).stdout


def owner_pid(index):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(SOCK.format(index))
        return struct.unpack("3i", s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[0]


def running(pid):
    return os.path.exists(f"/proc/{pid}")


def test_owner_started_ended_and_lost(adapter_at, sim_env, monkeypatch):
    a = adapter_at(51)
    sim_env(a)
    monkeypatch.setenv("KESTRUN_SIM", "DUNLINFD2*51")  # one adapter short
    with pytest.raises(can.CanInitializationError, match="status 1: .*VORM Device Open Fail"):
        can.Bus(channel=0, index=51, **BUS)
    sim_env(a)
    with pytest.raises(can.CanInitializationError, match="kestrun --serve -D DUNLINFD2 -i 51 -c 0"):
        can.Bus(channel=0, index=51, auto_start=False, **BUS)
    with pytest.raises(can.CanInitializationError, match="kestrun_path= '/nowhere/kestrun'"):
        can.Bus(channel=0, index=51, kestrun_path="/nowhere/kestrun", **BUS)

    first = can.Bus(channel=0, index=51, **BUS)
    second = can.Bus(channel=1, index=51, **BUS)
    pid = owner_pid(51)
    assert {(c["model"], c["channel"]) for c in can.detect_available_configs("kestrun")
            if c["index"] == 51} == {("DUNLINFD2", 0), ("DUNLINFD2", 1)}
    # By hand, --serve has nothing to do while an owner runs.
    by_hand = a.start(*RATES, "--serve", name="serve", ready=False)
    assert by_hand.proc.wait(30) == 0 and "无需启动" in by_hand.text()

    first.shutdown()
    first.shutdown()
    time.sleep(4)  # longer than the owner lingers after its last client
    assert running(pid)
    second.shutdown()
    assert wait_until(lambda: not running(pid))
    assert not os.path.exists(SOCK.format(51))

    # An owner killed under a running script: the next calls raise at once.
    bus = can.Bus(channel=0, index=51, **BUS)
    assert bus.state == can.BusState.ACTIVE
    os.kill(owner_pid(51), signal.SIGKILL)
    start = time.monotonic()
    with pytest.raises(can.CanOperationError, match="has gone"):
        bus.recv(60)
    with pytest.raises(can.CanOperationError, match="has gone"):
        bus.send(can.Message(arbitration_id=1, is_extended_id=False))
    assert time.monotonic() - start < 30
    assert bus.state == can.BusState.ERROR
    bus.shutdown()


def test_send_waits_at_most_its_timeout_and_reports_a_failed_frame(adapter_at, sim_env):
    a = adapter_at(54)
    sim_env(a)

    def fault(*words):
        simctl(a, "dev", "54", "fault", *words)

    with can.Bus(channel=0, index=54, receive_own_messages=True, **BUS) as bus, \
            can.Bus(channel=0, index=54, **BUS) as other:
        frame = can.Message(arbitration_id=0x100, is_extended_id=False)
        # Each acknowledgement takes a second: the owner holds the window full.
        fault("ack-latency", "1000000")
        for _ in range(64):
            bus.send(frame, timeout=0)
        start = time.monotonic()
        with pytest.raises(can.CanTimeoutError):
            bus.send(frame, timeout=0.3)
        assert 0.29 <= time.monotonic() - start < 5
        fault("clear")
        assert all(bus.recv(30) is not None for _ in range(64))  # all sent after all

        # A withheld acknowledgement fails the frame after the driver's wait.
        fault("ack", "withhold")
        bus.send(can.Message(arbitration_id=0x101, is_extended_id=False))
        assert wait_until(lambda: " withheld=1 " in simctl(a, "dev", "54", "counters"))
        fault("clear")
        with pytest.raises(can.CanOperationError, match="frame 0x101 was not sent"):
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                bus.send(frame, timeout=10)
                time.sleep(0.05)
        # Nobody sees the failed frame as sent.
        seen = iter(lambda: other.recv(0), None)
        assert {m.arbitration_id for m in seen} == {0x100}


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to serve the socket as another user")
def test_an_owner_of_another_user_is_refused():
    path = SOCK.format(56)  # an index no other test uses
    if os.path.exists(path):
        os.unlink(path)  # left by an owner of an earlier run that was killed
    server = subprocess.Popen(["/usr/bin/python3", "-c", f"""
import socket, sys
s = socket.socket(socket.AF_UNIX); s.bind({path!r}); s.listen(); print(flush=True)
s.accept()[0].recv(1)"""], user=65534, stdout=subprocess.PIPE)
    try:
        server.stdout.readline()
        with pytest.raises(can.CanInitializationError, match="another user .uid 65534"):
            can.Bus(channel=0, index=56, auto_start=False, **BUS)
    finally:
        server.kill()
        server.wait()
        os.unlink(path)


@pytest.mark.parametrize("config, complaint", [
    (dict(model="DUNLINFD9"), "unknown model 'DUNLINFD9'"),
    (dict(channel=2), "channels 0..1, not 2"),
    (dict(bitrate=33333), "no bit rate 33333"),
    (dict(data_bitrate=3000000), "no data bit rate 3000000"),
    (dict(fd=False), "data_bitrate is for CAN FD"),
    (dict(model="ZARO2018"), "ZARO2018 has no CAN FD"),
    (dict(channel="two"), "numbers"),
])
def test_bad_configuration_is_refused_before_any_owner_starts(adapter_at, sim_env, config,
                                                              complaint):
    sim_env(adapter_at(52))
    with pytest.raises(can.CanInitializationError, match=complaint):
        can.Bus(**{**BUS, "channel": 0, "index": 52, **config})
    assert not os.path.exists(SOCK.format(52))


def test_bad_frames_are_refused_before_anything_is_sent(adapter_at):
    a = adapter_at(53)
    owner = a.start("-a", "500000", "-c", "1", "-r", name="owner")
    bad = [
        (can.Message(arbitration_id=0x1, is_fd=True, data=[1]), "opened for classic CAN"),
        (can.Message(arbitration_id=0x1, is_extended_id=False, data=bytes(9)), "at most 8"),
        (can.Message(arbitration_id=0x800, is_extended_id=False), "out of range"),
        (can.Message(arbitration_id=0x1, is_error_frame=True), "error frames"),
    ]
    with can.Bus(interface="kestrun", channel=0, model="DUNLINFD2", index=53) as bus:
        for msg, complaint in bad:
            with pytest.raises(can.CanOperationError, match=complaint):
                bus.send(msg)
        bus.send(can.Message(arbitration_id=0x7FF, is_extended_id=False, data=[7]))
        assert wait_until(lambda: printed(owner)), owner.text()
    assert printed(owner) == [(False, 0x7FF, False, False, False, "07")]


@pytest.mark.parametrize("model, index, option, fixed", [
    ("DUNLIN2", 30, "-a", []),  # the classic adapters have indices 0..31
    ("DUNLINFD2", 55, "-a", ["-d", "2000000"]),
    ("DUNLINFD2", 55, "-d", ["-a", "500000"]),
])
def test_rate_tables_match_the_tool(adapter_at, model, index, option, fixed):
    from kestrun_can import protocol
    a = adapter_at(index, model)
    table = protocol.DATA_RATES if option == "-d" else protocol.ARBITRATION_RATES
    for rate in sorted(set(table) | {10000, 33333, 3000000}):
        run = a.start(option, str(rate), *fixed, "--status", name=f"rate{rate}", ready=False)
        accepted = run.wait_for("启动完成...")
        run.stop()
        assert accepted == (rate in table), (rate, run.text())
