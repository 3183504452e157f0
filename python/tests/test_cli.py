"""python -m kvarolib against kqsim."""

import os
import subprocess
import sys

from conftest import ROOT


def _cli(*args, timeout=120):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    return subprocess.run([sys.executable, "-m", "kvarolib", *args], env=env, capture_output=True, text=True,
                          timeout=timeout)


def test_ports_send_put_monitor(sim, tmp_path):
    ports = _cli("ports")
    assert ports.returncode == 0 and sim.port in ports.stdout and "USB" in ports.stdout
    send = _cli("send", "get_ser_num")
    assert send.returncode == 0 and "KQ10042317" in send.stdout
    data = tmp_path / "put.bin"
    data.write_bytes(bytes(range(256)) * 20)
    put = _cli("put", str(data), "ramdisk")
    assert put.returncode == 0, put.stderr
    assert "100% (5120 of 5120 bytes)" in put.stdout  # plain lines when not on a terminal
    assert (sim.store / "ramdisk" / "put.bin").read_bytes() == data.read_bytes()
    monitor = _cli("monitor", "--seconds", "2")
    assert monitor.returncode == 0, monitor.stderr
    views = monitor.stdout.strip().split("\n\n")
    assert len(views) >= 3 and "ext 2" in views[-1] and "transfer running" in views[-1]
    assert len({v for v in views}) > 1  # the inputs moved between views


def test_failures_end_with_1(sim_factory, tmp_path):
    os.environ["KVLIB_PORTS"] = "/dev/null=Some USB Modem"
    none = _cli("send", "get_ser_num")
    assert none.returncode == 1 and "no serial port is named" in none.stderr
    missing = _cli("--port", str(tmp_path / "nothing"), "send", "x")
    assert missing.returncode == 1 and "KVLIB_ERR_OPEN_COM" in missing.stderr
