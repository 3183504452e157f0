"""Fixtures: the built library (KVLIB_LIBRARY) and the simulated controller kqsim (KQSIM) on a pty.

Both default to the default preset's build tree, so that `pytest python/tests` works after
`cmake --build --preset default`."""

import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, List

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "default"
sys.path.insert(0, str(ROOT / "python"))

os.environ.setdefault("KVLIB_LIBRARY", str(BUILD / "devicelib" / "libkvarolib.so.1"))
KQSIM = os.environ.get("KQSIM", str(BUILD / "tools" / "simulator" / "kqsim"))
DEVICE_NAME = "Kolvex USB VORI KQ Controller"


def wait_until(condition, timeout: float = 30.0, what: str = "the condition") -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("%s did not come within %.0f s" % (what, timeout))
        time.sleep(0.01)


class Sim:
    """One kqsim process; its port is listed under the controller's device name."""

    def __init__(self, workdir: Path, args: List[str]) -> None:
        self.control_path = workdir / "control"
        self.store = workdir / "store"
        self.proc = subprocess.Popen([KQSIM, "--control", str(self.control_path), "--store", str(self.store)]
                                     + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert self.proc.stdout is not None
        self.port = self.proc.stdout.readline().strip()
        assert self.port, "kqsim printed no port"
        os.environ["KVLIB_PORTS"] = "%s=%s" % (self.port, DEVICE_NAME)

    def control(self, command: str) -> None:
        wait_until(self.control_path.exists, what="kqsim's control FIFO")
        with open(self.control_path, "w") as fifo:
            fifo.write(command + "\n")

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=30)
        os.environ.pop("KVLIB_PORTS", None)


@pytest.fixture
def sim_factory(tmp_path: Path) -> Iterator:
    sims: List[Sim] = []
    os.environ["KVLIB_LOG_DIR"] = str(tmp_path / "log")

    def start(*args: str) -> Sim:
        sim = Sim(tmp_path, list(args))
        sims.append(sim)
        return sim

    yield start
    for sim in sims:
        sim.stop()


@pytest.fixture
def sim(sim_factory) -> Sim:
    return sim_factory("--extensions", "2")


@pytest.fixture
def kq(sim):
    import kvarolib

    with kvarolib.open() as controller:
        yield controller


@pytest.fixture(autouse=True)
def close_left_over():
    """A failed test leaves no controller open for the next one."""
    yield
    from kvarolib import _controller

    for controller in list(_controller._open):
        controller.close()
