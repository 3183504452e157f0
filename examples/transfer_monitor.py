#!/usr/bin/env python3
"""transfer_monitor.py: the transfer area from Python, through ctypes and libkvarolib.so.

Finds the VORI KQ Controller by its device name, opens it, starts the transfer area and prints the
inputs of the master and of every extension controller every 100 ms for a few seconds. Meanwhile it
sets an output, asks for the reset of counter 0 of the master and reports what the library's callbacks
tell: extension controllers that come and go, and confirmed counter resets.

    python3 transfer_monitor.py [--seconds N] [--library PATH]

The library is looked up as libkvarolib.so.1 (kvAroLib.dll on Windows) unless --library or the
environment variable KVAROLIB_LIBRARY names the file. Exit code 0 when the controller was found and
opened, the transfer ran, the master's inputs moved, the output went out and the counter reset was
confirmed; 1 when any of that failed; 2 for a wrong argument. SIGINT or SIGTERM ends the watch early.

Importing this file only defines the record layouts; nothing is loaded until main() runs.
"""

import argparse
import ctypes
import os
import signal
import sys
import threading
import time

# ---- The transfer area: the records of kvarolib.h, field for field ------------------------------
# Every field sits at a multiple of its own size, so ctypes' natural alignment gives the same offsets
# as the C compiler (no _pack_). Multi-byte fields are little-endian, the byte order of the host.

IF08_MAX = 9
RESERVE_SIZE = 368

u8, u16, u32, i16 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int16


class KVX1_SHMIFINFO(ctypes.Structure):
    _fields_ = [
        ("Hostname", ctypes.c_char * 17),
        ("BtAddress", ctypes.c_char * 19),
        ("SharedMemoryStart", u32),
        ("AppAreaStart", u32),
        ("AppAreaSize", u32),
        ("HwRelease", u8),
        ("reserved1", u8 * 3),
        ("FwValue", u32),
        ("reserved2", u8 * 8),
    ]


class BT_CHANNEL(ctypes.Structure):
    _fields_ = [("ConnState", u16), ("ListenOn", u16), ("ReadOn", u16), ("ChannelInfo", u16)]


class KVX1_STATE(ctypes.Structure):
    _fields_ = [
        ("reserved1", u8 * 8),
        ("OutputInitDone", u8),
        ("reserved2", u8 * 2),
        ("ConfigId", u8),
        ("ExtState", u8 * 8),
        ("BtChannel", BT_CHANNEL * 8),
        ("reserved3", u8 * 16),
    ]


class KVX1_INPUT_SETTING(ctypes.Structure):
    _fields_ = [("Mode", u8), ("Digital", u8), ("reserved", u8 * 2)]


class KVX1_COUNTER_SETTING(ctypes.Structure):
    _fields_ = [("Mode", u8), ("reserved", u8 * 3)]


class KVX1_CONFIG(ctypes.Structure):
    _fields_ = [
        ("reserved1", u32),
        ("HeadValue", u32),
        ("InputSetting", KVX1_INPUT_SETTING * 8),
        ("CounterSetting", KVX1_COUNTER_SETTING * 4),
        ("FurtherSettings", u8 * 32),
    ]


class KVX1_INPUT(ctypes.Structure):
    _fields_ = [
        ("InputValue", i16 * 8),
        ("CounterInput", u16 * 4),
        ("Counter", i16 * 4),
        ("AuxValue", u16 * 2),
        ("CounterResetted", u16 * 4),
        ("MotorExReached", u16 * 4),
        ("CounterResetCmdId", u16 * 4),
        ("MotorExCmdId", u16 * 4),
    ]


class KVX1_OUTPUT(ctypes.Structure):
    _fields_ = [("CounterResetCmdId", u16 * 4), ("OutputData", u8 * 28), ("MotorExCmdId", u16 * 4)]


class KVX1_DISPLAY(ctypes.Structure):
    _fields_ = [("Message", ctypes.c_char * 100), ("reserved", u8 * 8)]


class TRANSFER_STATUS(ctypes.Structure):
    _fields_ = [("TransferState", u8), ("reserved", u8), ("ComError", u16)]


class CHANGE_STATE(ctypes.Structure):
    _fields_ = [
        ("OutputsSent", u16),
        ("InputChanged", u8),
        ("InputChangeMask", u8),
        ("CounterInputChangeMask", u8),
        ("CounterChangeMask", u8),
        ("reserved", u8 * 2),
    ]


class RP_TIMER(ctypes.Structure):
    _fields_ = [
        ("Milliseconds", u16),
        ("Centiseconds", u16),
        ("Deciseconds", u16),
        ("Seconds", u16),
        ("TenSeconds", u16),
        ("Minutes", u16),
    ]


class MOTOR(ctypes.Structure):
    _fields_ = [("Data", u8 * 24)]


class INPUT_SIM(ctypes.Structure):
    _fields_ = [("Data", u8 * 4)]


class HOOK_TABLE(ctypes.Structure):
    _fields_ = [("Data", u8 * 132)]


class KOLV_X1_TRANSFER(ctypes.Structure):
    _fields_ = [
        ("ShmIfInfo", KVX1_SHMIFINFO),
        ("State", KVX1_STATE),
        ("Config", KVX1_CONFIG),
        ("Input", KVX1_INPUT),
        ("Output", KVX1_OUTPUT),
        ("Display", KVX1_DISPLAY),
        ("TransferStatus", TRANSFER_STATUS),
        ("ChangeState", CHANGE_STATE),
        ("RpTimer", RP_TIMER),
        ("Motor", MOTOR),
        ("InputSim", INPUT_SIM),
        ("HookTable", HOOK_TABLE),
        ("reserved", u8 * RESERVE_SIZE),
    ]


class IF08_TRANSFER(ctypes.Structure):
    _fields_ = [("Record", KOLV_X1_TRANSFER * IF08_MAX)]


# Every record type above, for the check against the C header.
RECORD_TYPES = [
    KVX1_SHMIFINFO, BT_CHANNEL, KVX1_STATE, KVX1_INPUT_SETTING, KVX1_COUNTER_SETTING, KVX1_CONFIG,
    KVX1_INPUT, KVX1_OUTPUT, KVX1_DISPLAY, TRANSFER_STATUS, CHANGE_STATE, RP_TIMER, MOTOR, INPUT_SIM,
    HOOK_TABLE, KOLV_X1_TRANSFER, IF08_TRANSFER,
]

# ---- The functions this example calls ---------------------------------------------------------

KVLIB_ERR_SUCCESS = 0x00000000
KVLIB_ERR_THREAD_IS_RUNNING = 0xE00012A5
DEVICE_NAMES = ("Kolvex USB VORI KQ Controller", "Kolvex USB VORI Interface 2008")

# void (*)(int32_t, int32_t), called on the library's receive thread.
VoriKqCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32)


def load_library(path=None):
    """Loads libkvarolib and declares the signatures used here (ctypes would assume int otherwise)."""
    if path is None:
        path = os.environ.get("KVAROLIB_LIBRARY") or ("kvAroLib.dll" if os.name == "nt" else "libkvarolib.so.1")
    lib = ctypes.CDLL(path)
    c_u32, c_i32, c_char_p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_char_p
    signatures = {
        "kvxInitLib": (c_u32, []),
        "kvxCloseLib": (c_u32, []),
        "GetAvailableComPorts": (c_i32, [c_i32]),
        "EnumComPorts": (c_u32, [c_u32, c_char_p, c_i32]),
        "kvxOpenComDevice": (c_u32, [c_char_p, c_u32, ctypes.POINTER(c_u32)]),
        "kvxCloseDevice": (c_u32, [c_u32]),
        "kvxStartTransferArea": (c_u32, [c_u32]),
        "kvxStopTransferArea": (c_u32, []),
        "kvxIsTransferActiv": (c_u32, [c_u32]),
        "GetIF08TransferAddress": (ctypes.POINTER(IF08_TRANSFER), [c_u32]),
        "GetVoriKqDevName": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
        "GetVoriKqFwStr": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
        "kvxGetSerialNrStrg": (c_u32, [c_u32, c_char_p, c_u32]),
        "SetCBVoriExtState": (None, [VoriKqCallback]),
        "SetCBCounterResetted": (None, [VoriKqCallback]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def find_controller(lib):
    """The port of the first USB controller listed under one of its device names, or None."""
    count = lib.GetAvailableComPorts(1)
    for i in range(max(count, 0)):
        entry = ctypes.create_string_buffer(256)
        if lib.EnumComPorts(i, entry, len(entry)) != i:
            continue
        text = entry.value.decode("utf-8", "replace")
        if any(name in text for name in DEVICE_NAMES):
            return text.split(" ", 1)[0]
    return None


def text_query(function, *args):
    buffer = ctypes.create_string_buffer(64)
    function(*args, buffer, len(buffer))
    return buffer.value.decode("ascii", "replace")


class Events:
    """What the callbacks report, taken from the library's thread to the main loop."""

    def __init__(self):
        self.lock = threading.Lock()
        self.extensions = {}  # shmId -> 1 present, 0 gone
        self.counters_reset = set()  # (shmId, counter)

    def on_extension_state(self, shm_id, present):
        with self.lock:
            self.extensions[shm_id] = 1 if present else 0

    def on_counter_reset(self, shm_id, counter):
        with self.lock:
            self.counters_reset.add((shm_id, counter))


def inputs_text(record, label):
    values = " ".join("%5d" % v for v in record.Input.InputValue)
    counters = " ".join("%5d" % v for v in record.Input.Counter)
    return " %s in: %s cnt: %s" % (label, values, counters)


def watch(lib, handle, area, seconds, events, stop):
    """Watches the running transfer; returns the number of failed checks."""
    master = area.Record[0]

    # An output: byte 0 of the output values goes out with the next I/O exchange; OutputsSent says
    # when it has.
    master.Output.OutputData[0] = 0x01
    master.ChangeState.OutputsSent = 0
    # A counter reset: a new command id first, then clear the flag, so that the confirmation of the
    # new id cannot be mistaken for that of an old one.
    reset_id = (master.Output.CounterResetCmdId[0] + 1) & 0xFFFF
    master.Output.CounterResetCmdId[0] = reset_id
    master.Input.CounterResetted[0] = 0

    def fingerprint():
        return tuple(master.Input.InputValue) + tuple(master.Input.Counter)

    first = fingerprint()
    failures = 0
    inputs_moved = output_sent = reset_seen = False
    heard = {}
    start = time.monotonic()
    while not stop.is_set() and time.monotonic() - start < seconds:
        stop.wait(0.1)
        if master.TransferStatus.TransferState != 1 or lib.kvxIsTransferActiv(handle) != KVLIB_ERR_THREAD_IS_RUNNING:
            print("The transfer stopped (port error %d)." % master.TransferStatus.ComError)
            failures += 1
            break
        line = "%5.1f s" % (time.monotonic() - start) + inputs_text(master, "M")
        for k in range(1, IF08_MAX):
            if master.State.ExtState[k - 1] == 1:
                line += " |" + inputs_text(area.Record[k], "E%d" % k)
        print(line)

        inputs_moved = inputs_moved or fingerprint() != first
        if not output_sent and master.ChangeState.OutputsSent:
            output_sent = True
            print("Output byte 0 of the master sent.")
        with events.lock:
            reset_now = (0, 0) in events.counters_reset
            extensions = dict(events.extensions)
        if not reset_seen and reset_now:
            reset_seen = True
            print("Counter 0 of the master reset (id %d), now %d." % (reset_id, master.Input.Counter[0]))
        for k in sorted(extensions):
            if heard.get(k) != extensions[k]:
                heard[k] = extensions[k]
                print("Extension %d: %s." % (k, "present" if extensions[k] else "gone"))
        sys.stdout.flush()

    if failures == 0 and not inputs_moved:
        print("No inputs arrived: the master's inputs never changed.")
        failures += 1
    if not output_sent:
        print("The output was never sent.")
        failures += 1
    if not reset_seen:
        print("The reset of counter 0 was not confirmed.")
        failures += 1
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description="Watch the transfer area of a VORI KQ Controller.")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to watch (default 5)")
    parser.add_argument("--library", help="path of libkvarolib.so (default: found by the loader)")
    args = parser.parse_args(argv)
    if not args.seconds > 0:
        parser.error("--seconds needs a positive number")

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())

    lib = load_library(args.library)
    rc = lib.kvxInitLib()
    if rc != KVLIB_ERR_SUCCESS:
        print("kvxInitLib failed: 0x%08X" % rc, file=sys.stderr)
        return 1
    try:
        port = find_controller(lib)
        if port is None:
            print('No controller found: no serial port is named "%s" or "%s".' % DEVICE_NAMES, file=sys.stderr)
            return 1
        print("Controller on %s" % port)

        events = Events()
        # The library keeps only the function pointers: these objects must live as long as the
        # callbacks are registered, or the library would call freed memory.
        on_extension = VoriKqCallback(events.on_extension_state)
        on_reset = VoriKqCallback(events.on_counter_reset)
        lib.SetCBVoriExtState(on_extension)
        lib.SetCBCounterResetted(on_reset)

        result = ctypes.c_uint32(0)
        handle = lib.kvxOpenComDevice(port.encode(), 38400, ctypes.byref(result))
        if result.value != KVLIB_ERR_SUCCESS:
            print("Cannot open %s: 0x%08X" % (port, result.value), file=sys.stderr)
            return 1
        try:
            print("Master %s, firmware %s, serial number %s" % (
                text_query(lib.GetVoriKqDevName, handle, 0), text_query(lib.GetVoriKqFwStr, handle, 0),
                text_query(lib.kvxGetSerialNrStrg, handle)))
            area = lib.GetIF08TransferAddress(handle)
            rc = lib.kvxStartTransferArea(handle)
            if not area or rc != KVLIB_ERR_SUCCESS:
                print("The transfer did not start: 0x%08X" % rc, file=sys.stderr)
                failures = 1
            else:
                print("Transfer running.")
                sys.stdout.flush()
                try:
                    failures = watch(lib, handle, area.contents, args.seconds, events, stop)
                finally:
                    lib.kvxStopTransferArea()
        finally:
            lib.SetCBVoriExtState(VoriKqCallback())
            lib.SetCBCounterResetted(VoriKqCallback())
            lib.kvxCloseDevice(handle)
    finally:
        lib.kvxCloseLib()
    print("OK." if failures == 0 else "FAILED.")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
