#!/usr/bin/env python3
"""The Python package's cost over the C interface, on one simulated controller in one run.

    python3 bench/python_overhead.py [KQSIM] [LIBRARY]

Each line puts an operation through the package beside the same C functions called directly (a bare
ctypes call into the same library, no package code): an information query, a shell command, a 256 KiB
upload, and events with a transfer running (counter resets confirmed on all four counters of the
master; every confirmation must come through the package's event queue, none lost). Prints figures;
never passes or fails on time.
"""

import ctypes
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "default"
KQSIM = sys.argv[1] if len(sys.argv) > 1 else str(BUILD / "tools" / "simulator" / "kqsim")
os.environ.setdefault("KVLIB_LIBRARY", sys.argv[2] if len(sys.argv) > 2 else
                      str(BUILD / "devicelib" / "libkvarolib.so.1"))
sys.path.insert(0, str(ROOT / "python"))

import kvarolib  # noqa: E402
from kvarolib import _lib  # noqa: E402


def timed(function, repeats):
    start = time.perf_counter()
    for _ in range(repeats):
        function()
    return (time.perf_counter() - start) / repeats


def line(what, package, direct, unit="ms", scale=1e3):
    print("%-34s package %9.3f %s   direct %9.3f %s   %+6.1f %%" % (
        what, package * scale, unit, direct * scale, unit, (package / direct - 1) * 100))


def main():
    work = Path(tempfile.mkdtemp())
    sim = subprocess.Popen([KQSIM, "--store", str(work / "store"), "--flash-delay", "0"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = sim.stdout.readline().strip()
        os.environ["KVLIB_PORTS"] = "%s=Kolvex USB VORI KQ Controller" % port
        os.environ.setdefault("KVLIB_LOG_DIR", str(work / "log"))
        lib = _lib.library()
        with kvarolib.open() as kq:
            h = kq.handle
            buffer = ctypes.create_string_buffer(64)
            line("info query (firmware), x2000", timed(lambda: kq.firmware, 2000),
                 timed(lambda: lib.GetVoriKqFwStr(h, 0, buffer, 64), 2000), "us", 1e6)

            nothing = _lib.KvRemoteCmdCallback(lambda text, length: None)
            line("shell get_ser_num, x20", timed(lambda: kq.shell("get_ser_num"), 20),
                 timed(lambda: lib.KvRemoteCmd(h, b"get_ser_num", nothing), 20))

            data = os.urandom(256 * 1024)
            done = threading.Event()
            direct_status = []

            def on_status(status):
                if status in (0xE0001409, 0xE0001405, 0xE0001406):
                    direct_status.append(status)
                    done.set()

            c_status = _lib.UploadStatusCallback(on_status)
            raw = ctypes.create_string_buffer(data, len(data))

            def direct_upload():
                done.clear()
                lib.KvRamFileUpload(h, 0, raw, len(data), b"d.bin", c_status)
                done.wait()

            line("upload 256 KiB, x3", timed(lambda: kq.upload(data, name="p.bin"), 3), timed(direct_upload, 3))

            with kq.events(lambda e: isinstance(e, kvarolib.CounterResetEvent)) as events, kq.transfer() as ta:
                resets = 50
                start = time.perf_counter()
                for _ in range(resets):
                    for i in range(4):
                        ta.reset_counter(0, i, timeout=10)
                elapsed = time.perf_counter() - start
                got = 0
                while events.get(5) is not None:
                    got += 1
                    if got == resets * 4:
                        break
                print("counter resets confirmed: %d in %.2f s (%.0f/s); events through the package: %d%s" % (
                    resets * 4, elapsed, resets * 4 / elapsed, got, "" if got == resets * 4 else " (LOST)"))
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
