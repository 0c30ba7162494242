"""Kestrun processes on virtual adapters for the interoperability tests.

Each test drives its own adapter index (41 and up), so that the lock and
socket files in /tmp never meet those of other tests running in parallel.
"""
import os
import signal
import subprocess
import time

import pytest

LAUNCHER = os.environ.get("KESTRUN_SIM_LAUNCHER", "")
SIMCTL = os.environ.get("KESTRUN_SIMCTL", "")


class Run:
    """One kestrun process; standard output and error go to files."""

    def __init__(self, adapter, args, name, stdout=None):
        self.out_path = adapter.tmp / f"{name}.out"
        self.err_path = adapter.tmp / f"{name}.err"
        out = stdout if stdout is not None else open(self.out_path, "wb")
        env = dict(os.environ, KESTRUN_SIM=f"{adapter.model}*{adapter.index + 1}",
                   KESTRUN_SIM_CONTROL=adapter.control)
        self.proc = subprocess.Popen(
            [LAUNCHER, "-D", adapter.model, "-i", str(adapter.index)] + args,
            stdout=out, stderr=open(self.err_path, "wb"), env=env, cwd=adapter.tmp)

    def text(self):
        paths = (self.out_path, self.err_path)
        return "".join(p.read_text(errors="replace") for p in paths if p.exists())

    def wait_for(self, needle, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if needle in self.text():
                return True
            if self.proc.poll() is not None:
                return needle in self.text()
            time.sleep(0.02)
        return False

    def stop(self, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(timeout)


class Adapter:
    def __init__(self, index, tmp, model="DUNLINFD2"):
        self.index, self.tmp, self.model = index, tmp, model
        self.control = f"/tmp/kestrun-interop-ctl-{os.getpid()}-{index}"
        self.runs = []

    def start(self, *args, name="run", ready=True, stdout=None):
        run = Run(self, list(args), name, stdout)
        self.runs.append(run)
        if ready:
            assert run.wait_for("启动完成..."), run.text()
        return run

    def cleanup(self):
        for run in self.runs:
            if run.proc.poll() is None:
                run.proc.kill()
                run.proc.wait()


@pytest.fixture
def adapter_at(tmp_path):
    made = []

    def make(index, model="DUNLINFD2"):
        a = Adapter(index, tmp_path, model)
        made.append(a)
        return a

    yield make
    for a in made:
        a.cleanup()


def wait_until(predicate, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()
