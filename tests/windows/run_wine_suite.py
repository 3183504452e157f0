#!/usr/bin/env python3
"""Runs the Windows build's port tests under Wine against the simulated controller.

The simulator (kqsim) is a Linux program on a pseudo terminal; Wine reaches it as COM5 through the
link $WINEPREFIX/dosdevices/com5, which kqsim itself makes (--link) and removes at exit. For each
scenario this script starts a fresh simulator, runs part of kv_wine_tests.exe (the library as a
Windows program) or one of the two Windows programs, and checks what it printed and its exit code.
The discovery group runs a port listing and ostsend beside a stand-in setup library instead (see
discovery_scenarios).

usage: run_wine_suite.py MINGW_BUILD_DIR KQSIM [GROUP...]

GROUP is one of library, programs, exit, discovery; without any, all of them run.

Wine must be set up by the caller: WINEPREFIX names a prefix that wineboot has made, and a wineserver
of that prefix should run (scripts/windows-check.sh does both).
"""

import os
import shutil
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


# ---- Port discovery through a stand-in setup library -------------------------------------------------
#
# Wine's own SETUPAPI.DLL knows no devices of the class "Ports", so these scenarios put a stand-in
# beside the program (tests/windows/discovery/stand_in_setupapi.c) and make Wine load it in place of
# its own. The stand-in hands out the devices of a description file; their hardware keys, and the
# local Bluetooth services that name a Bluetooth port, are real registry keys made here with
# `reg add`, read by the library itself.

ENUM = r"HKLM\SYSTEM\CurrentControlSet\Enum\KVTEST"
LOCAL_SERVICES = r"HKLM\SYSTEM\CurrentControlSet\Services\BTHPORT\Parameters\LocalServices"
SERIAL_SERVICE = "{00001101-0000-1000-8000-00805f9b34fb}"
# A second service key, whose first entry is a link to a key that does not exist: listed, but it
# cannot be opened.
LINKED_SERVICE = "{1dd3b4a1-7c2e-4f0a-9b55-0d7a3c61e8f2}"

# Hardware key of each fake device: its values as (type, data). A key without values still exists.
HARDWARE_KEYS = {
    "com1": {"PortName": ("REG_SZ", "COM1")},
    "usb3": {"PortName": ("REG_SZ", "COM3")},
    "usb5": {"PortName": ("REG_SZ", "COM5")},
    "zero4": {"PortName": ("REG_SZ", "COM04")},
    "six-a": {"PortName": ("REG_SZ", "COM6")},
    "six-b": {"PortName": ("REG_SZ", "COM6")},
    "lower9": {"PortName": ("REG_SZ", "com9")},
    "usb10": {"PortName": ("REG_SZ", "COM10")},
    "nodesc12": {"PortName": ("REG_SZ", "COM12")},
    "bindesc14": {"PortName": ("REG_SZ", "COM14")},
    "absent2": {"PortName": ("REG_SZ", "COM2")},
    "fits24": {"PortName": ("REG_SZ", "COM24")},
    "long25": {"PortName": ("REG_SZ", "COM25")},
    "lpt1": {"PortName": ("REG_SZ", "LPT1")},
    "com4a": {"PortName": ("REG_SZ", "COM4A")},
    "dword": {"PortName": ("REG_DWORD", "7")},
    "bare": {},
    # Bluetooth ports: the unique identifier is the service key, '#', the remote address and what the
    # stack appends.
    "bt7": {"PortName": ("REG_SZ", "COM7"),
            "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#001a7dda7113_C00000000")},
    "bt8": {"PortName": ("REG_SZ", "COM8"),
            "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#001A7DDA7200_C00000000")},
    "bt11": {"PortName": ("REG_SZ", "COM11"),
             "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#000000000000_C00000000")},
    "bt15": {"PortName": ("REG_SZ", "COM15"),
             "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#001A7DDA7115_C00000000")},
    "bt16": {"PortName": ("REG_SZ", "COM16"),
             "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#001A7DDA7113_C00000000")},
    "bt17": {"PortName": ("REG_SZ", "COM17"), "Bluetooth_UniqueID": ("REG_SZ", "001A7DDA7113")},
    "bt19": {"PortName": ("REG_SZ", "COM19"),
             "Bluetooth_UniqueID": ("REG_SZ", "{unregistered}#001A7DDA7113_C00000000")},
    "bt20": {"PortName": ("REG_SZ", "COM20"),
             "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#001A7DDA7120_C00000000")},
    "bt22": {"PortName": ("REG_SZ", "COM22"),
             "Bluetooth_UniqueID": ("REG_SZ", SERIAL_SERVICE + "#001A7DDA7122_C00000000")},
    "btport21": {"PortName": ("REG_SZ", "COM21")},
    "bt23": {"PortName": ("REG_SZ", "COM23"),
             "Bluetooth_UniqueID": ("REG_SZ", LINKED_SERVICE + "#001A7DDA7123_C00000000")},
}

# The local services of the serial-port service key, in their index order: service name and the
# remote address as Windows stores it (the six pairs reversed, then two zero bytes).
BLUETOOTH_SERVICES = {
    "0": ("Phone", "0072DA7D1A000000"),         # COM8's device: not the controller
    "1": ("Vori-KQ 4711", "1371DA7D1A000000"),  # COM7's and COM16's device
    "2": ("VORI KQ not reversed", "001A7DDA71150000"),
    "3": ("VORI KQ later", "1371DA7D1A000000"),  # the same device again: the first service counts
    "4": ("VORI KQ trailing", "2071DA7D1A000001"),  # COM20's address, but not its stored form
    "5": ("Vori KQ spare", "2271DA7D1A000000"),  # COM22's device
}

# Behind the service entry that cannot be opened, the one that names COM23's device.
LINKED_SERVICES = {"1": ("VORI KQ behind", "2371DA7D1A000000")}

LONG_FITS = "Long description " + "x" * 238  # 255 characters: fits the 256-byte buffer
LONG_TOO_MUCH = LONG_FITS + "y"             # 256 characters and the terminator: does not

# The fake devices by case, in the order the system lists them: "device KEY | DESCRIPTION".
OTHER_PORTS = [
    ("usb10", "USB Serial Port"), ("usb3", "Kolvex USB VORI KQ Controller"), ("six-a", "First of two"),
    ("com1", "Communications Port"), ("lower9", "Kolvex USB VORI Interface 2008"), ("zero4", "Modem"),
    ("six-b", "Second of two"), ("lpt1", "Printer Port"), ("com4a", "Port"), ("bare", "Port"),
    ("dword", "Port"), ("-", "Port without a key"), ("missing", "Port whose key is gone"),
    ("nodesc12", "-"), ("bindesc14", "binary:Binary description"), ("fits24", LONG_FITS),
    ("long25", LONG_TOO_MUCH),
]
BLUETOOTH_PORTS = [
    ("bt22", "Standard Serial over Bluetooth link"), ("bt8", "Standard Serial over Bluetooth link"),
    ("bt7", "Standard Serial over Bluetooth link"), ("usb3", "Kolvex USB VORI KQ Controller"),
    ("bt11", "Standard Serial over Bluetooth link"), ("bt15", "Standard Serial over Bluetooth link"),
    ("bt16", "-"), ("bt17", "Standard Serial over Bluetooth link"),
    ("bt19", "Standard Serial over Bluetooth link"), ("bt20", "Standard Serial over Bluetooth link"),
    ("btport21", "Standard BT Port"),
]
# The same without the ports named after the controller's service.
PLAIN_BLUETOOTH_PORTS = [p for p in BLUETOOTH_PORTS if p[0] not in ("bt7", "bt22")]


def make_device_keys(build, work):
    """Makes the hardware keys and the Bluetooth services with `reg add`, all in one batch file (one
    Wine start instead of one each)."""
    commands = []

    def reg_add(key, value=None, kind=None, data=None):
        command = f'reg add "{key}" /f'
        if value is not None:
            command += f' /v "{value}" /t {kind} /d "{data}"'
        commands.extend([command, "if errorlevel 1 exit /b 1"])

    for name, values in HARDWARE_KEYS.items():
        key = ENUM + "\\" + name + r"\Device Parameters"
        reg_add(key)
        for value, (kind, data) in values.items():
            reg_add(key, value, kind, data)
    for service, entries in ((SERIAL_SERVICE, BLUETOOTH_SERVICES), (LINKED_SERVICE, LINKED_SERVICES)):
        for subkey, (service_name, stored) in entries.items():
            key = LOCAL_SERVICES + "\\" + service + "\\" + subkey
            reg_add(key, "ServiceName", "REG_SZ", service_name)
            reg_add(key, "AssocBdAddr", "REG_BINARY", stored)
    batch = work / "device-keys.bat"
    batch.write_text("@echo off\r\n" + "\r\n".join(commands) + "\r\n")
    # Output to a file, not a pipe: the first Wine program of a session starts Wine's services, which
    # inherit its output and would keep a pipe open.
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(["wine", "cmd", "/c", windows_path(batch)], stdout=out, stderr=subprocess.STDOUT,
                                timeout=120)
        if result.returncode != 0:
            out.seek(0)
            raise Failure(f"{batch.name} ended with {result.returncode}: {out.read().decode(errors='replace')}")
        link = (LOCAL_SERVICES + "\\" + LINKED_SERVICE + "\\0")[len("HKLM\\"):]
        result = subprocess.run(["wine", build / "tests" / "windows" / "kv_make_registry_link.exe", link,
                                 r"SYSTEM\KVTEST\no such key"], stdout=out, stderr=subprocess.STDOUT, timeout=120)
        if result.returncode != 0:
            out.seek(0)
            raise Failure(f"kv_make_registry_link ended with {result.returncode}: "
                          f"{out.read().decode(errors='replace')}")


def device_lines(ports, absent=()):
    lines = []
    for kind, entries in (("device", ports), ("absent", absent)):
        for name, description in entries:
            key = "-" if name == "-" else (ENUM + "\\" + name + r"\Device Parameters")[len("HKLM\\"):]
            lines.append(f"{kind} {key} | {description}")
    return lines


def stand_in_case(build, work, name, variant, description, program=None, args=(), binary=False):
    """Runs a copy of `program` (kv_list_ports.exe by default) beside the stand-in setup library of
    `variant` with the device description `description` (lines). With no variant, the program runs
    with no setup library at all (Wine's own is switched off). Returns the result, the stand-in's
    record and the library log."""
    case = work / f"discovery-{name}"
    case.mkdir()
    program = program or build / "tests" / "windows" / "kv_list_ports.exe"
    shutil.copy(program, case)
    if variant is not None:
        shutil.copy(build / "tests" / "windows" / "stand-in-setupapi" / variant / "setupapi.dll", case)
    (case / "devices.txt").write_text("".join(line + "\n" for line in description))
    overrides = os.environ.get("WINEDLLOVERRIDES", "")
    env = {"WINEDLLOVERRIDES": (overrides + ";" if overrides else "") + ("setupapi=n" if variant else "setupapi="),
           "KVTEST_SETUPAPI_DEVICES": windows_path(case / "devices.txt"),
           "KVTEST_SETUPAPI_RECORD": windows_path(case / "record"),
           "KVLIB_LOG_DIR": windows_path(case), "WINEDEBUG": "-all"}
    result, _ = run_wine(case / program.name, list(args), case, env, timeout=120, binary=binary)
    record = (case / "record").read_text().split("\n")[:-1] if (case / "record").exists() else []
    log = (case / "kvlib.log").read_text(errors="replace") if (case / "kvlib.log").exists() else ""
    return result, record, log


def expect_listing(name, result, record, expected, discoveries, stderr=""):
    """`expected`: (selection, entries) pairs in the order the program asked. Each discovery loads
    the setup library, hands back the one device set it asked for (present devices only) and frees
    the library again."""
    problems = []
    lines = []
    for selection, entries in expected:
        lines.append(f"selection {selection}: {len(entries)}")
        lines.extend(entries)
    got = result.stdout.splitlines()
    if result.returncode != 0 or got != lines:
        problems.append(f"exit code {result.returncode}, listed\n  " + "\n  ".join(got) +
                        "\nexpected\n  " + "\n  ".join(lines))
    if result.stderr != stderr:
        problems.append(f"error output {result.stderr!r}, expected {stderr!r}")
    if record != discoveries:
        problems.append(f"the setup library saw {record}, expected {discoveries}")
    if problems:
        raise Failure(f"discovery, {name}: " + "\n".join(problems))
    print(f"--- discovery, {name}: passed")


def discovery_scenarios(build, kqsim, work):
    started = time.monotonic()
    make_device_keys(build, work)
    print(f"--- discovery: registry keys made in {time.monotonic() - started:.1f} s")
    one_scan = ["load", "set present", "destroy", "release"]

    # USB and other ports: numeric order of the port numbers, the first found first on equal numbers;
    # names that are no COM port, devices without a readable key or port name, and absent devices are
    # left out; without a readable string description a port is named by itself; a name is cut to 255
    # characters.
    result, record, _ = stand_in_case(build, work, "usb", "full",
                                      device_lines(OTHER_PORTS, [("absent2", "Absent port")]),
                                      args=["0", "1", "7"])
    expect_listing("USB and other ports", result, record, [
        (0, ["COM1 (Communications Port)", "COM3 (Kolvex USB VORI KQ Controller)", "COM4 (Modem)",
             "COM6 (First of two)", "COM6 (Second of two)", "COM9 (Kolvex USB VORI Interface 2008)",
             "COM10 (USB Serial Port)", "COM12", "COM14", ("COM24 (" + LONG_FITS)[:255], "COM25"]),
        (1, ["COM3 (Kolvex USB VORI KQ Controller)", "COM9 (Kolvex USB VORI Interface 2008)"]),
        (7, []),
    ], one_scan * 3)

    # Bluetooth ports: the controller's service (its name holds "vori") with the address as the
    # unique identifier writes it, other remote devices by address, a port without a usable address
    # by its description; selection 2 lists only the controller's ports when there are any.
    result, record, log = stand_in_case(build, work, "bluetooth", "full", device_lines(BLUETOOTH_PORTS),
                                        args=["0", "2", "1"])
    expect_listing("Bluetooth ports", result, record, [
        (0, ["COM3 (Kolvex USB VORI KQ Controller)",
             "COM7 (Bluetooth VORI KQ [Vori-KQ 4711] MAC 00:1a:7d:da:71:13)",
             "COM8 (Seriell-Bluetooth, MAC 00:1A:7D:DA:72:00)",
             "COM11 (Standard Serial over Bluetooth link)",
             "COM15 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:15)",
             "COM16",
             "COM17 (Standard Serial over Bluetooth link)",
             "COM19 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13)",
             "COM20 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:20)",
             "COM21 (Standard BT Port)",
             "COM22 (Bluetooth VORI KQ [Vori KQ spare] MAC 00:1A:7D:DA:71:22)"]),
        (2, ["COM7 (Bluetooth VORI KQ [Vori-KQ 4711] MAC 00:1a:7d:da:71:13)",
             "COM22 (Bluetooth VORI KQ [Vori KQ spare] MAC 00:1A:7D:DA:71:22)"]),
        (1, ["COM3 (Kolvex USB VORI KQ Controller)"]),
    ], one_scan * 3)
    if "Error by RegOpenKeyEx()" in log:
        raise Failure("discovery, Bluetooth ports: a readable service key was reported unreadable")

    # A service entry that cannot be opened is logged with its path, and the search goes on with the
    # next entry.
    result, record, log = stand_in_case(build, work, "bluetooth-unreadable", "full",
                                        device_lines([("bt23", "Standard Serial over Bluetooth link")]),
                                        args=["0"])
    expect_listing("a Bluetooth service entry that cannot be opened", result, record,
                   [(0, ["COM23 (Bluetooth VORI KQ [VORI KQ behind] MAC 00:1A:7D:DA:71:23)"])], one_scan)
    unreadable = ("Error by RegOpenKeyEx(), SubKey: " + LOCAL_SERVICES[len("HKLM\\"):] + "\\" +
                  LINKED_SERVICE + "\\0")
    if [line for line in log.splitlines() if "Error by RegOpenKeyEx()" in line and
            not line.endswith(unreadable)] or unreadable not in log:
        raise Failure(f"discovery, a Bluetooth service entry that cannot be opened: the log says\n{log}")

    # Without the controller's services, selection 2 lists every Bluetooth port.
    result, record, _ = stand_in_case(build, work, "bluetooth-plain", "full", device_lines(PLAIN_BLUETOOTH_PORTS),
                                      args=["2"])
    expect_listing("Bluetooth ports without the controller", result, record, [
        (2, ["COM8 (Seriell-Bluetooth, MAC 00:1A:7D:DA:72:00)",
             "COM11 (Standard Serial over Bluetooth link)",
             "COM15 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:15)",
             "COM17 (Standard Serial over Bluetooth link)",
             "COM19 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13)",
             "COM20 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:20)",
             "COM21 (Standard BT Port)"]),
    ], one_scan)

    # No devices, no class "Ports", no device set: an empty list, and the setup library freed.
    result, record, _ = stand_in_case(build, work, "none", "full", [], args=["0"])
    expect_listing("no devices", result, record, [(0, [])], one_scan)
    result, record, _ = stand_in_case(build, work, "no-class", "full",
                                      ["classes 0"] + device_lines(OTHER_PORTS), args=["0"])
    expect_listing("no class Ports", result, record, [(0, [])], ["load", "release"])
    result, record, _ = stand_in_case(build, work, "no-set", "full",
                                      ["set fails"] + device_lines(OTHER_PORTS), args=["0"])
    expect_listing("no device set", result, record, [(0, [])], ["load", "release"])
    # The ports class among others: its identifier comes first, and only that one is asked for.
    result, record, _ = stand_in_case(build, work, "two-classes", "full",
                                      ["classes 2"] + device_lines(OTHER_PORTS[:2]), args=["0"])
    expect_listing("two class identifiers", result, record,
                   [(0, ["COM3 (Kolvex USB VORI KQ Controller)", "COM10 (USB Serial Port)"])], one_scan)

    # No setup library at all: an empty list, and nothing said.
    result, record, log = stand_in_case(build, work, "no-setup-library", None, device_lines(OTHER_PORTS),
                                        args=["0"])
    expect_listing("no setup library", result, record, [(0, [])], [])
    if "Function is not supported" in log:
        raise Failure("discovery, no setup library: reported as a missing function")

    # A setup library that lacks one of the six functions: nothing is listed, the user is told, the
    # log has the line, and the library is freed again.
    for variant in ("without-open-dev-reg-key", "without-enum-device-info"):
        result, record, log = stand_in_case(build, work, variant, variant, device_lines(OTHER_PORTS),
                                            args=["0", "1"])
        unsupported = "Function is not supported on this system.\n"
        expect_listing(f"setup library {variant}", result, record, [(0, []), (1, [])],
                       ["load", "release"] * 2, stderr=unsupported * 2)
        if log.count("Function is not supported on this system.") != 2:
            raise Failure(f"discovery, {variant}: the log lacks the message\n{log}")

    # The programs find the controller through discovery: ostsend without a port picks the port of
    # the device named as the controller and talks to it there.
    scenario = work / "discovery-ostsend-sim"
    scenario.mkdir()
    with Simulator(kqsim, scenario):
        result, record, _ = stand_in_case(
            build, work, "ostsend", "full",
            device_lines([("com1", "Communications Port"), ("bt8", "Standard Serial over Bluetooth link"),
                          ("usb5", "Kolvex USB VORI KQ Controller")]),
            program=build / "programs" / "ostsend.exe", args=["get_ser_num"], binary=True)
    if record != one_scan:
        raise Failure(f"discovery, ostsend get_ser_num: the setup library saw {record}")
    expect_program("discovery, ostsend get_ser_num finds COM5 by its device name", result,
                   f"Connecting to target on port {PORT}...OK.\nSending command \"get_ser_num\"..."
                   f"\r\nUSB>get_ser_num\r\n{SERIAL}\r\nUSB>\n", 0)
    print(f"--- discovery: all cases in {time.monotonic() - started:.1f} s")


def library_scenarios(build, kqsim, work):
    # The library on the port: open, hold, close, transfer, shell during transfer, discovery, and an
    # upload in the receiver's CRC mode (it asks with 'C').
    gtest_scenario(build, kqsim, work, "port-crc", "WinePort.*", env_extra={"KVTEST_XRECV_MODE": "crc"})
    # An upload in the checksum-sum mode (the receiver asks with NAK).
    gtest_scenario(build, kqsim, work, "upload-sum", "WinePort.Uploads*", ("--xrecv-start", "nak"),
                   {"KVTEST_XRECV_MODE": "sum"})
    # The Bluetooth relay, with channels 2 and 5 as the simulated radio's loopback pair.
    gtest_scenario(build, kqsim, work, "bluetooth", "WineBluetooth.*", ("--bt-loopback", "2:5"))


# The groups of scenarios, run in this order.
GROUPS = {"library": library_scenarios, "programs": program_scenarios, "exit": exit_scenarios,
          "discovery": discovery_scenarios}


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    build = Path(sys.argv[1]).resolve()
    kqsim = str(Path(sys.argv[2]).resolve())
    groups = set(sys.argv[3:]) or set(GROUPS)
    if "WINEPREFIX" not in os.environ or not groups <= set(GROUPS):
        print(__doc__, file=sys.stderr)
        return 2
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kvwine-") as tmp:
        work = Path(tmp)
        try:
            for group in GROUPS:
                if group in groups:
                    GROUPS[group](build, kqsim, work)
        except (Failure, subprocess.TimeoutExpired) as failure:
            print(f"FAILED: {failure}", file=sys.stderr)
            return 1
    print(f"=== Wine suite passed in {time.monotonic() - started:.1f} s")
    return 0

if __name__ == "__main__":
    sys.exit(main())
