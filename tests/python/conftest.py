"""The python-can interface, installed into a fresh virtual environment,
against kestrun processes on virtual adapters.

Each test drives its own adapter index (47 and up; 30 for the classic
adapters, which have indices 0..31). Scripts are either this
process (can.Bus through the installed entry point) or the environment's
python running python-can's tools.
"""
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

HERE = pathlib.Path(__file__).resolve().parent
_found = importlib.util.spec_from_file_location("interop_support", HERE.parent / "interop" / "conftest.py")
interop = importlib.util.module_from_spec(_found)
_found.loader.exec_module(interop)
adapter_at = interop.adapter_at
wait_until = interop.wait_until
LAUNCHER = interop.LAUNCHER
SIMCTL = interop.SIMCTL
VENV = {}


def pytest_configure(config):
    """Installs the package offline, as the README says, before the test
    modules import python-can (which finds interfaces when imported)."""
    work = pathlib.Path(tempfile.mkdtemp(prefix="kestrun-py-"))
    source = work / "src"
    shutil.copytree(HERE.parent.parent / "python", source)
    venv = work / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-index",
                    "--no-build-isolation", str(source)], check=True)
    site = subprocess.run([str(venv / "bin" / "python"), "-c",
                           "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    sys.path.insert(0, site)
    VENV.update(python=str(venv / "bin" / "python"), work=work)


def pytest_unconfigure(config):
    if "work" in VENV:
        shutil.rmtree(VENV["work"], ignore_errors=True)


@pytest.fixture
def sim_env(monkeypatch):
    """Points auto-started owners at the virtual adapter of `adapter`."""
    def use(adapter):
        monkeypatch.setenv("KESTRUN_SIM", f"{adapter.model}*{adapter.index + 1}")
        monkeypatch.setenv("KESTRUN_SIM_CONTROL", adapter.control)
        monkeypatch.setenv("KESTRUN_BIN", LAUNCHER)
    return use


RATES = ["-a", "500000", "-d", "2000000"]
BUS = dict(interface="kestrun", model="DUNLINFD2", bitrate=500000, data_bitrate=2000000, fd=True)
DATA64 = bytes(range(64)).hex().upper()
# (candump text, FD, identifier, extended, remote, BRS, data). The FD
# adapters send remote frames with length 0.
FRAMES = [
    ("123#1122", False, 0x123, False, False, False, "1122"),
    ("12345678#0102030405060708", False, 0x12345678, True, False, False, "0102030405060708"),
    ("7FF#R", False, 0x7FF, False, True, False, ""),
    ("1A0##1" + DATA64, True, 0x1A0, False, False, True, DATA64),
    ("0AB##0112233", True, 0x0AB, False, False, False, "112233"),
    ("1FFFFFFF##1" + DATA64[:24], True, 0x1FFFFFFF, True, False, True, DATA64[:24]),
]
EXPECTED = [f[1:] for f in FRAMES]


def by_kind(frames):
    """Classic frames in their order, then FD frames in theirs: the owner
    reads the two kinds apart, so frames of different kinds that arrive
    together may reach its clients in either order."""
    return [f for f in frames if not f[0]] + [f for f in frames if f[0]]


def message(row):
    import can
    _, fd, ident, ext, rtr, brs, data = row
    return can.Message(arbitration_id=ident, is_extended_id=ext, is_remote_frame=rtr, is_fd=fd,
                       bitrate_switch=brs, data=bytes.fromhex(data))


def fields(m):
    return (m.is_fd, m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.bitrate_switch,
            bytes(m.data).hex().upper())


_PRINTED = re.compile(r"接收->(FD|CAN) ID:0x([0-9A-F]+) EXT:(\d) RTR:(\d)(?: BRS:(\d))? DLC:\d+"
                      r"(?: Data:([0-9A-F ]+))?")


def printed(run):
    """The frames a `kestrun -r` run printed as received, as fields() has them."""
    return [(m[0] == "FD", int(m[1], 16), m[2] == "1", m[3] == "1", m[4] == "1",
             (m[5] or "").replace(" ", "")) for m in _PRINTED.findall(run.text())]


def write_candump(path, rows, step_us=1000):
    path.write_text("".join(f"(1700000000.{i * step_us:06d}) can0 {r[0]}\n"
                            for i, r in enumerate(rows)))
