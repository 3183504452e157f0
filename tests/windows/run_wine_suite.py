#!/usr/bin/env python3
"""Runs the Windows build's port tests under Wine against the simulated controller.

The simulator (kqsim) is a Linux program on a pseudo terminal; Wine reaches it as COM5 through the
link $WINEPREFIX/dosdevices/com5, which kqsim itself makes (--link) and removes at exit. For each
scenario this script starts a fresh simulator, runs part of kv_wine_tests.exe (the library as a
Windows program) or one of the two Windows programs, and checks what it printed and its exit code.

usage: run_wine_suite.py MINGW_BUILD_DIR KQSIM

Wine must be set up by the caller: WINEPREFIX names a prefix that wineboot has made, and a wineserver
of that prefix should run (scripts/windows-check.sh does both).
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PORT = "COM5"
SERIAL = "KQ10042317"


class Failure(Exception):
    pass


def windows_path(path):
    """A Linux path as a Windows program under Wine names it: drive Z: is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


class Simulator:
    """kqsim with its store and record in `directory`, linked as COM5 into the Wine prefix."""

    def __init__(self, kqsim, directory, options=()):
        self.directory = Path(directory)
        link = Path(os.environ["WINEPREFIX"]) / "dosdevices" / PORT.lower()
        command = [kqsim, "--link", str(link), "--store", str(self.directory / "store"),
                   "--record", str(self.directory / "record"), *options]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        # The first line is the pty's path, printed once the link is in place.
        self.pty = self.process.stdout.readline().strip()
        if not self.pty or not link.is_symlink():
            self.stop()
            raise Failure(f"kqsim did not start: {command}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def run_wine(program, args, cwd, env_extra=None, timeout=300, binary=False):
    env = dict(os.environ)
    env.update(env_extra or {})
    started = time.monotonic()
    result = subprocess.run(["wine", str(program), *args], cwd=cwd, env=env, capture_output=True,
                            text=not binary, timeout=timeout)
    return result, time.monotonic() - started


def gtest_scenario(build, kqsim, work, name, test_filter, sim_options=(), env_extra=None):
    """Runs the tests of `test_filter` against a fresh simulator."""
    scenario = work / name
    scenario.mkdir()
    with Simulator(kqsim, scenario, sim_options):
        env = {"KVTEST_COM_PORT": PORT, "KVTEST_SIM_DIR": windows_path(scenario)}
        env.update(env_extra or {})
        result, seconds = run_wine(build / "tests" / "windows" / "kv_wine_tests.exe",
                                   [f"--gtest_filter={test_filter}"], scenario, env)
    print(result.stdout, end="")
    if result.returncode != 0 or "[  PASSED  ]" not in result.stdout:
        print(result.stderr, end="", file=sys.stderr)
        raise Failure(f"{name}: kv_wine_tests exit code {result.returncode}")
    print(f"--- {name}: passed in {seconds:.1f} s")


def expect_program(name, result, out, code):
    """Checks a program run with binary=True. `out` is what the Linux build prints; a Windows console
    program writes its standard output in text mode, where every "\n" goes out as "\r\n" (also
    after the "\r" of the controller's own line ends)."""
    problems = []
    expected = out.replace("\n", "\r\n").encode()
    if result.returncode != code:
        problems.append(f"exit code {result.returncode}, expected {code}")
    if result.stdout != expected:
        problems.append(f"standard output\n{result.stdout!r}\nexpected\n{expected!r}")
    if problems:
        raise Failure(f"{name}: " + "\n".join(problems))
    print(f"--- {name}: passed")


def program_scenarios(build, kqsim, work):
    programs = build / "programs"
    logs = {"KVLIB_LOG_DIR": windows_path(work / "program-logs")}

    # ostsend with the port on its command line: the answer and exit code 0.
    scenario = work / "ostsend"
    scenario.mkdir()
    with Simulator(kqsim, scenario):
        result, _ = run_wine(programs / "ostsend.exe", ["get_ser_num", PORT], scenario, logs, binary=True)
    expect_program("ostsend get_ser_num COM5", result,
                   f"Connecting to target on port {PORT}...OK.\nSending command \"get_ser_num\"..."
                   f"\r\nUSB>get_ser_num\r\n{SERIAL}\r\nUSB>\n", 0)

    # ostput with the port on its command line: the file arrives whole in the controller's RAM disk.
    scenario = work / "ostput"
    scenario.mkdir()
    payload = bytes((i * 13 + 5) % 256 for i in range(3000))
    (scenario / "prog.bin").write_bytes(payload)
    with Simulator(kqsim, scenario):
        result, _ = run_wine(programs / "ostput.exe", ["prog.bin", "ramdisk", PORT], scenario, logs)
    if result.returncode != 0 or (scenario / "store" / "ramdisk" / "prog.bin").read_bytes() != payload:
        raise Failure(f"ostput prog.bin ramdisk COM5: exit code {result.returncode}\n"
                      f"{result.stdout}\n{result.stderr}")
    if f"Connecting to target on port {PORT}...OK." not in result.stdout:
        raise Failure(f"ostput: unexpected output\n{result.stdout}")
    print("--- ostput prog.bin ramdisk COM5: passed")

    # The file as Windows finds it: typed in another case, it is still found, and the controller gets
    # the name the file really has.
    with Simulator(kqsim, scenario):
        result, _ = run_wine(programs / "ostput.exe", ["PROG.BIN", "flash", PORT], scenario, logs)
    stored = scenario / "store" / "flash" / "prog.bin"
    if result.returncode != 0 or not stored.is_file() or stored.read_bytes() != payload or \
            f'Read file "prog.bin" (3000 bytes).' not in result.stdout:
        raise Failure(f"ostput PROG.BIN flash COM5: exit code {result.returncode}\n"
                      f"{result.stdout}\n{result.stderr}")
    print("--- ostput PROG.BIN flash COM5 (the file is prog.bin): passed")

    # "/?" asks for the usage, as on any Windows command line; it is no port.
    for program, usage_line in (("ostsend.exe", "Usage: ostsend <command> [COMxx]\n"),
                                ("ostput.exe",
                                 "Usage: ostput <file_name> [ramdisk(default) | flash | system] [COMxx]\n")):
        result, seconds = run_wine(programs / program, ["/?"], scenario, logs, binary=True)
        usage = usage_line + (
            "       [COMxx]: xx - COM port number (default is the number of the port with\n"
            "                the name \"Kolvex USB VORI Interface 2008\" or with\n"
            "                the name \"Kolvex USB VORI KQ Controller\")\n")
        expect_program(f"{program} /? (in {seconds:.1f} s)", result, usage, 0)

    # Without a port on the command line the programs search the discovered ports for the controller's
    # device name. Wine lists no devices of the class "Ports", so none is found, and the programs say
    # so and end without touching any port.
    for program, args in (("ostsend.exe", ["get_ser_num"]), ("ostput.exe", ["prog.bin"])):
        result, _ = run_wine(programs / program, args, scenario, logs)
        if result.returncode == 0 or "Connecting" in result.stdout or \
                "ERROR: cannot find COM port with the name" not in result.stderr:
            raise Failure(f"{program} without a port: exit code {result.returncode}\n"
                          f"{result.stdout}\n{result.stderr}")
        print(f"--- {program} {' '.join(args)} without a port: exit code {result.returncode}, "
              f"{(result.stdout + result.stderr).strip().splitlines()[-1]!r}")


def exit_scenarios(build, kqsim, work):
    """A program that ends without closing the library, with the DLL and with the static library:
    it returns from main with the transfer running, or calls exit from a callback on the library's
    receive thread. Either way its own exit code and all of its buffered output."""
    lines = "".join(f"line {i} of the output\n" for i in range(200))
    env = {"WINEPATH": windows_path(build / "devicelib")}
    for variant, mode, code, last in (("shared", "transfer", 5, "leaving with the transfer running\n"),
                                      ("static", "transfer", 6, "leaving with the transfer running\n"),
                                      ("shared", "callback", 3, "counter 0 of controller 0 reset, leaving\n"),
                                      ("static", "callback", 4, "counter 0 of controller 0 reset, leaving\n")):
        name = f"unclosed library, {variant}, {mode}"
        scenario = work / f"exit-{variant}-{mode}"
        scenario.mkdir()
        env["KVLIB_LOG_DIR"] = windows_path(scenario)
        with Simulator(kqsim, scenario):
            result, _ = run_wine(build / "tests" / "windows" / f"kv_unclosed_library_{variant}.exe",
                                 [PORT, mode, str(code)], scenario, env, timeout=120, binary=True)
        expect_program(name, result, lines + last, code)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build = Path(sys.argv[1]).resolve()
    kqsim = str(Path(sys.argv[2]).resolve())
    if "WINEPREFIX" not in os.environ:
        print("WINEPREFIX is not set", file=sys.stderr)
        return 2
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kvwine-") as tmp:
        work = Path(tmp)
        try:
            # The library on the port: open, hold, close, transfer, shell during transfer, discovery,
            # and an upload in the receiver's CRC mode (it asks with 'C').
            gtest_scenario(build, kqsim, work, "port-crc", "WinePort.*", env_extra={"KVTEST_XRECV_MODE": "crc"})
            # An upload in the checksum-sum mode (the receiver asks with NAK).
            gtest_scenario(build, kqsim, work, "upload-sum", "WinePort.Uploads*", ("--xrecv-start", "nak"),
                           {"KVTEST_XRECV_MODE": "sum"})
            # The Bluetooth relay, with channels 2 and 5 as the simulated radio's loopback pair.
            gtest_scenario(build, kqsim, work, "bluetooth", "WineBluetooth.*", ("--bt-loopback", "2:5"))
            program_scenarios(build, kqsim, work)
            exit_scenarios(build, kqsim, work)
        except (Failure, subprocess.TimeoutExpired) as failure:
            print(f"FAILED: {failure}", file=sys.stderr)
            return 1
    print(f"=== Wine suite passed in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
