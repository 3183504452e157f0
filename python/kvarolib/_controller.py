"""Ports, the controller connection, its information, shell, uploads, transfer area and Bluetooth."""

import atexit
import ctypes
import os
import queue
import threading
import time
from typing import Callable, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _errors as err
from . import _events, _lib
from ._errors import KvError, check
from .records import (BT_CHANNEL, IF08_MAX, IF08_TRANSFER, KOLV_X1_TRANSFER,
                      KVX1_CONFIG)

# The names a controller's USB port carries; open() without a port takes the first listed.
DEVICE_NAMES = ("Kolvex USB VORI Interface 2008", "Kolvex USB VORI KQ Controller")

RAMDISK, FLASH, SYSTEM = 0, 1, 2
_AREAS = {"ramdisk": RAMDISK, "ram": RAMDISK, "flash": FLASH, "system": SYSTEM}


class PortInfo(NamedTuple):
    device: str       # what open() takes: /dev/ttyACM0, COM3
    description: str  # the text in parentheses of the library's port list
    kind: str         # "USB" (a controller's USB port), "Bluetooth" or "other"


class MemoryLayout(NamedTuple):
    shared_memory_start: int
    app_area_start: int
    app_area_size: int


class NotFoundError(LookupError):
    """No port carries a controller's device name."""


def list_ports() -> List[PortInfo]:
    """The computer's serial ports, as the library lists them (KVLIB_PORTS adds some on Linux)."""
    lib = _lib.library()

    def entries(selection: int) -> List[str]:
        found = []
        for i in range(max(lib.GetAvailableComPorts(selection), 0)):
            buffer = ctypes.create_string_buffer(256)
            if lib.EnumComPorts(i, buffer, len(buffer)) == i:
                found.append(buffer.value.decode("utf-8", "replace"))
        return found

    usb, bluetooth = set(entries(1)), set(entries(2))
    ports = []
    for entry in entries(0):
        device, _, rest = entry.partition(" ")
        rest = rest.strip()
        if rest.startswith("(") and rest.endswith(")"):
            rest = rest[1:-1]
        kind = "USB" if entry in usb else "Bluetooth" if entry in bluetooth else "other"
        ports.append(PortInfo(device, rest, kind))
    return ports


def find_controller() -> str:
    """The port of the first USB controller listed under one of its device names."""
    for port in list_ports():
        if port.kind == "USB" and any(name in port.description for name in DEVICE_NAMES):
            return port.device
    raise NotFoundError('no serial port is named "%s" or "%s"' % DEVICE_NAMES)


# ---- The library's lifetime: started with the first open, closed with the last close ---------------

_life_lock = threading.RLock()
_open: List["Controller"] = []


def _start_library() -> None:
    lib = _lib.library()
    check(lib.kvxInitLib(), "kvxInitLib")
    lib.SetCBVoriExtState(_events.c_extension)
    lib.SetCBCounterResetted(_events.c_counter_reset)
    lib.SetCBMotorExReached(_events.c_motor)
    _events.hub.start()


def _stop_library() -> None:
    lib = _lib.library()
    lib.SetCBVoriExtState(_lib.VoriKqCallback())
    lib.SetCBCounterResetted(_lib.VoriKqCallback())
    lib.SetCBMotorExReached(_lib.VoriKqCallback())
    lib.kvxCloseLib()
    # The event thread stays: it hands out what is still queued, and a callback on it may close or
    # open a controller without waiting for itself. It ends at interpreter exit.


@atexit.register
def _close_at_exit() -> None:
    # The library would close itself at process end, but by then the interpreter is gone and a late
    # callback would call into a dead interpreter: close while Python still runs.
    with _life_lock:
        for controller in list(_open):
            controller.close()
    _events.hub.stop()


def open(port: Optional[str] = None) -> "Controller":  # noqa: A001 - the name users expect
    """Opens the controller on `port`, or on the first port that carries a controller's name."""
    return Controller(port)


def events(accept: _events.EventFilter = None) -> _events.EventStream:
    """An iterator over the events from now on, also before the open (which reports the extensions
    present at its end); close it, or use it as a context manager."""
    return _events.hub.stream(accept)


def subscribe(callback: Callable[[_events.Event], None], accept: _events.EventFilter = None) -> _events.Subscription:
    """Calls callback(event) on the package's event thread for every event (that accept takes)."""
    return _events.hub.subscribe(callback, accept)


def _text(function: Callable[..., int], *args: object, size: int = 256) -> str:
    buffer = ctypes.create_string_buffer(size)
    code = function(*args, buffer, size)
    if code >= 0xE0000000:
        raise KvError(code, function.__name__)
    return buffer.value.decode("latin-1")


class Controller:
    """One open controller (the library serves one at a time). Use it as a context manager."""

    def __init__(self, port: Optional[str] = None) -> None:
        self._lib = _lib.library()
        self.handle = 0
        with _life_lock:
            first = not _open
            if first:
                _start_library()
            try:
                self.port = port if port is not None else find_controller()
                result = ctypes.c_uint32(0)
                handle = self._lib.kvxOpenComDevice(self.port.encode(), 38400, ctypes.byref(result))
                check(result.value, "open %s" % self.port)
            except BaseException:
                if first:
                    _stop_library()
                raise
            self.handle = handle
            _open.append(self)
        self.bluetooth = Bluetooth(self)

    # -- lifetime
    @property
    def is_open(self) -> bool:
        return self.handle != 0

    def close(self) -> None:
        """Stops a running transfer, closes the port, and the library with the last controller."""
        with _life_lock:
            if self.handle == 0:
                return
            if self._lib.kvxIsTransferActiv(self.handle) != err.KVLIB_ERR_THREAD_NOT_RUNNING:  # type: ignore[attr-defined]
                self._lib.kvxStopTransferArea()
            self._lib.kvxCloseDevice(self.handle)
            self.handle = 0
            _open.remove(self)
            if not _open:
                _stop_library()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<kvarolib.Controller %s%s>" % (self.port, "" if self.handle else " closed")

    # -- information (from what the controllers last reported; refresh() asks afresh)
    def refresh(self, controller: Optional[int] = None) -> None:
        """Reads the master's state and information (and its extensions'), or one record afresh."""
        if controller is None:
            check(self._lib.GetVoriKqMasterState(self.handle), "GetVoriKqMasterState")
        else:
            check(self._lib.GetVoriKqInfo(self.handle, controller), "GetVoriKqInfo")

    @property
    def serial_number(self) -> str:
        return _text(self._lib.kvxGetSerialNrStrg, self.handle)

    def firmware_of(self, controller: int = 0) -> str:
        return _text(self._lib.GetVoriKqFwStr, self.handle, controller)

    @property
    def firmware(self) -> str:
        return self.firmware_of(0)

    def hardware_release_of(self, controller: int = 0) -> str:
        return _text(self._lib.GetVoriKqHwStr, self.handle, controller)

    @property
    def hardware_release(self) -> str:
        return self.hardware_release_of(0)

    def device_name_of(self, controller: int = 0) -> str:
        return _text(self._lib.GetVoriKqDevName, self.handle, controller)

    @property
    def device_name(self) -> str:
        return self.device_name_of(0)

    @device_name.setter
    def device_name(self, name: str) -> None:
        check(self._lib.SetVoriKqDevName(self.handle, 0, name.encode("latin-1")), "SetVoriKqDevName")

    def bt_address_of(self, controller: int = 0) -> str:
        return _text(self._lib.GetVoriKqBtAddr, self.handle, controller)

    def memory_layout_of(self, controller: int = 0) -> MemoryLayout:
        values = [ctypes.c_uint32() for _ in range(3)]
        check(self._lib.GetVoriKqMemLayout(self.handle, controller, *map(ctypes.byref, values)),
              "GetVoriKqMemLayout")
        return MemoryLayout(*(v.value for v in values))

    @property
    def memory_layout(self) -> MemoryLayout:
        return self.memory_layout_of(0)

    @property
    def extensions(self) -> Tuple[bool, ...]:
        """Extensions 1 to 8 present (index 0 is extension 1)."""
        words = (ctypes.c_uint32 * 2)()
        check(self._lib.GetVoriKqSlaveState(self.handle, words), "GetVoriKqSlaveState")
        return tuple(bool((words[k // 4] >> (8 * (k % 4))) & 0xFF) for k in range(8))

    def set_message(self, text: str, controller: int = 0) -> None:
        check(self._lib.SetVoriKqMessage(self.handle, controller, text.encode("latin-1")), "SetVoriKqMessage")

    # -- shell
    def shell(self, command: str) -> str:
        """Sends one command line (at most 77 characters) and returns the controller's answer."""
        answer: List[bytes] = []

        def on_reply(text: "ctypes._Pointer[ctypes.c_char]", length: int) -> None:
            if text:
                answer.append(ctypes.string_at(text, length))

        callback = _lib.KvRemoteCmdCallback(on_reply)  # called on this thread, before the return
        check(self._lib.KvRemoteCmd(self.handle, command.encode("latin-1"), callback), "shell %r" % command)
        return b"".join(answer).decode("latin-1")

    def clean_disk(self, area: Union[int, str] = RAMDISK) -> None:
        """Empties a storage area: RAMDISK or FLASH (the system area is refused)."""
        check(self._lib.VKqCleanDisk(self.handle, _area(area)), "clean_disk")

    # -- upload
    def upload(self, source: Union[str, "os.PathLike[str]", bytes, bytearray, memoryview],
               area: Union[int, str] = RAMDISK, progress: Optional[Callable[[int, int], None]] = None,
               name: Optional[str] = None) -> None:
        """Uploads a file (a path) or bytes (stored under `name`) to a storage area and blocks until
        it is over. `progress(done, total)` is called on this thread with the bytes acknowledged.
        Raises KvError with the final status unless the upload is done."""
        # One upload at a time from this package, so that statuses always reach the job they belong to.
        if not _upload_running.acquire(blocking=False):
            raise KvError(err.KVLIB_ERR_THREAD_IS_RUNNING, "upload")  # type: ignore[attr-defined]
        try:
            _Upload(self, source, _area(area), name, progress is not None).wait(progress)
        finally:
            _upload_running.release()

    # -- transfer area
    def transfer(self) -> "Transfer":
        """Starts the transfer area; a context manager that stops it again."""
        return Transfer(self)

    @property
    def area(self) -> IF08_TRANSFER:
        pointer = self._lib.GetIF08TransferAddress(self.handle)
        if not pointer:
            raise KvError(err.KVLIB_ERR_DEVICE_NOT_OPEN, "GetIF08TransferAddress")  # type: ignore[attr-defined]
        return pointer.contents

    # -- events
    def subscribe(self, callback: Callable[[_events.Event], None],
                  accept: _events.EventFilter = None) -> _events.Subscription:
        """Calls callback(event) on the package's event thread for every event (that accept takes)."""
        return _events.hub.subscribe(callback, accept)

    def events(self, accept: _events.EventFilter = None) -> _events.EventStream:
        """An iterator over the events from now on; close it (or use it as a context manager)."""
        return _events.hub.stream(accept)


def _area(area: Union[int, str]) -> int:
    if isinstance(area, str):
        try:
            return _AREAS[area.lower()]
        except KeyError:
            raise ValueError("unknown area %r (ramdisk, flash, system)" % area) from None
    return area


# ---- Uploads ----------------------------------------------------------------------------------------



def _next_block(remaining: int) -> int:
    # The library sends 1024-byte blocks while more than 1024 bytes remain, then 128-byte blocks.
    return 1024 if remaining > 1024 else 128

_FINAL = {err.KVLIB_ERR_UPLOAD_DONE, err.KVLIB_ERR_UPLOAD_FAILED,  # type: ignore[attr-defined]
          err.KVLIB_ERR_UPLOAD_TIMEOUT, err.KVLIB_ERR_UPLOAD_FILE_READ_ERR}  # type: ignore[attr-defined]
# After a CAN in answer to a block the library sends EOT and waits up to 5 s for its answer before
# the final FAILED; a CANCELED with nothing after it in that time was the final status.
_AFTER_CANCEL_WAIT = 7.0


# The library runs one upload at a time. The job last started stays referenced here (with its data)
# until the next one replaces it, which the library allows only once the last has ended: so neither
# the memory nor the status queue can go while the library's upload thread may still use them.
_upload_lock = threading.Lock()
_upload_running = threading.Lock()
_last_upload: Optional["_Upload"] = None


def _on_upload_status(status: int) -> None:
    with _upload_lock:
        job = _last_upload
    # The waiting thread is woken only for what it acts on: the progress it reports, a cancel and
    # the end. Each wake-up holds up the library's upload thread until the interpreter's lock is back.
    if job is not None and (job.wants_progress or status != err.KVLIB_ERR_UPLOAD_ACK):  # type: ignore[attr-defined]
        job.statuses.put(status)
    _events.hub.post(_events.UploadStatusEvent(status))


_c_upload_status = _lib.UploadStatusCallback(_on_upload_status)


class _Upload:
    def __init__(self, controller: Controller, source: object, area: int, name: Optional[str],
                 wants_progress: bool) -> None:
        global _last_upload
        self.statuses: "queue.SimpleQueue[int]" = queue.SimpleQueue()
        # Known before the library starts the upload, so that it holds for every status.
        self.wants_progress = wants_progress
        lib = controller._lib
        self.callback = _c_upload_status
        from_memory = isinstance(source, (bytes, bytearray, memoryview))
        if from_memory:
            if not name:
                raise ValueError("an upload of bytes needs a name")
            self.data = ctypes.create_string_buffer(bytes(source), len(source) or 1)  # type: ignore[arg-type]
            self.total = len(source)  # type: ignore[arg-type]
        else:
            path = os.fspath(source)  # type: ignore[call-overload]
            self.total = os.path.getsize(path) if os.path.isfile(path) else 0
        with _upload_lock:
            previous, _last_upload = _last_upload, self
        if from_memory:
            code = lib.KvRamFileUpload(controller.handle, area, self.data, self.total,
                                       name.encode("latin-1"), self.callback)  # type: ignore[union-attr]
        else:
            code = lib.KvFileUpload(controller.handle, _lib.path_bytes(path), area, self.callback)
        if code != 0:
            with _upload_lock:
                if _last_upload is self:  # refused: the one before may still be running
                    _last_upload = previous
            raise KvError(code, "upload")

    def wait(self, progress: Optional[Callable[[int, int], None]]) -> None:
        done = 0
        cancelled = False
        while True:
            try:
                status = self.statuses.get(timeout=_AFTER_CANCEL_WAIT if cancelled else None)
            except queue.Empty:
                status = err.KVLIB_ERR_UPLOAD_CANCELED  # type: ignore[attr-defined]
                break
            if status in _FINAL:
                break
            cancelled = status == err.KVLIB_ERR_UPLOAD_CANCELED  # type: ignore[attr-defined]
            if status == err.KVLIB_ERR_UPLOAD_ACK and progress is not None:  # type: ignore[attr-defined]
                done = min(done + _next_block(self.total - done), self.total)
                progress(done, self.total)
        if status != err.KVLIB_ERR_UPLOAD_DONE:  # type: ignore[attr-defined]
            raise KvError(status, "upload")
        if progress is not None:
            progress(self.total, self.total)


# ---- The transfer area --------------------------------------------------------------------------------

class Transfer:
    """The running transfer area. Records: `master` (record 0) and `records[k]` for extension k."""

    def __init__(self, controller: Controller) -> None:
        self.controller = controller
        self._lib = controller._lib
        self._area = controller.area
        check(self._lib.kvxStartTransferArea(controller.handle), "kvxStartTransferArea")

    def stop(self) -> None:
        self._lib.kvxStopTransferArea()

    def __enter__(self) -> "Transfer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def records(self) -> Sequence[KOLV_X1_TRANSFER]:
        return self._area.Record

    @property
    def master(self) -> KOLV_X1_TRANSFER:
        return self._area.Record[0]

    def record(self, controller: int) -> KOLV_X1_TRANSFER:
        if not 0 <= controller < IF08_MAX:
            raise ValueError("controller %d outside 0 to 8" % controller)
        return self._area.Record[controller]

    @property
    def running(self) -> bool:
        return self._lib.kvxIsTransferActiv(self.controller.handle) == err.KVLIB_ERR_THREAD_IS_RUNNING  # type: ignore[attr-defined]

    def present(self) -> List[int]:
        """The controllers present now: 0 and every extension whose byte in the master's state is 1."""
        ext = self.master.State.ExtState
        return [0] + [k for k in range(1, IF08_MAX) if ext[k - 1] == 1]

    def _wait(self, condition: Callable[[], bool], timeout: float, what: str) -> None:
        deadline = time.monotonic() + timeout
        while not condition():
            if not self.running:
                raise KvError(err.KVLIB_ERR_THREAD_NOT_RUNNING, what)  # type: ignore[attr-defined]
            if time.monotonic() >= deadline:
                raise KvError(err.KVLIB_ERR_TIMEOUT, what)  # type: ignore[attr-defined]
            time.sleep(0.002)

    def reset_counter(self, controller: int, counter: int, timeout: float = 5.0) -> None:
        """Resets counter 0..3 and waits for the controller's confirmation."""
        if not 0 <= counter < 4:
            raise ValueError("counter %d outside 0 to 3" % counter)
        rec = self.record(controller)
        # A new id first, then the flag cleared: the confirmation of an older id cannot pass for this one.
        new_id = (rec.Output.CounterResetCmdId[counter] + 1) & 0xFFFF
        rec.Output.CounterResetCmdId[counter] = new_id
        rec.Input.CounterResetted[counter] = 0
        self._wait(lambda: rec.Input.CounterResetted[counter] == 1, timeout, "reset_counter")

    def motor_command(self, controller: int, motor: int, output_data: Optional[bytes] = None,
                      timeout: float = 5.0) -> None:
        """Sends extended motor command 0..3 (with `output_data` written to the output values first)
        and waits for the controller's confirmation."""
        if not 0 <= motor < 4:
            raise ValueError("motor %d outside 0 to 3" % motor)
        rec = self.record(controller)
        if output_data is not None:
            if len(output_data) > len(rec.Output.OutputData):
                raise ValueError("at most %d output bytes" % len(rec.Output.OutputData))
            for i, b in enumerate(output_data):
                rec.Output.OutputData[i] = b
        new_id = (rec.Output.MotorExCmdId[motor] + 1) & 0xFFFF
        rec.Output.MotorExCmdId[motor] = new_id
        rec.Input.MotorExReached[motor] = 0
        self._wait(lambda: rec.Input.MotorExReached[motor] == 1, timeout, "motor_command")

    def configure(self, controller: int, config: Optional[KVX1_CONFIG] = None,
                  edit: Optional[Callable[[KVX1_CONFIG], None]] = None, timeout: float = 5.0) -> None:
        """Writes a configuration (a whole KVX1_CONFIG, and/or edit(config) applied in place), has it
        sent, and waits until the controller has acknowledged it."""
        rec = self.record(controller)
        if config is not None:
            ctypes.memmove(ctypes.addressof(rec.Config), ctypes.addressof(config), ctypes.sizeof(KVX1_CONFIG))
        if edit is not None:
            edit(rec.Config)
        rec.State.ConfigId = (rec.State.ConfigId + 1) & 0xFF
        # While the new id is unacknowledged the library applies no I/O reply to this record; the
        # first one it applies rewrites the record's change masks whole. Bits 4 to 7 of the counter
        # input mask are never set by the library, so marking them after the id change and seeing
        # them cleared tells that the acknowledged configuration is in force.
        marker = 0xF0
        rec.ChangeState.CounterInputChangeMask = marker
        self._wait(lambda: rec.ChangeState.CounterInputChangeMask & marker == 0, timeout, "configure")

    def wait_for_change(self, timeout: Optional[float] = None) -> List[int]:
        """Waits until the inputs of a present controller change; returns those controllers (their
        InputChanged flags cleared), or [] when timeout passed first."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if not self.running:
                raise KvError(err.KVLIB_ERR_THREAD_NOT_RUNNING, "wait_for_change")  # type: ignore[attr-defined]
            changed = [k for k in self.present() if self._area.Record[k].ChangeState.InputChanged]
            if changed:
                for k in changed:
                    self._area.Record[k].ChangeState.InputChanged = 0
                return changed
            if deadline is not None and time.monotonic() >= deadline:
                return []
            time.sleep(0.002)


# ---- Bluetooth relay ------------------------------------------------------------------------------

class ChannelStatus(NamedTuple):
    channel: int
    conn_state: int
    listen_on: bool
    read_on: bool
    channel_info: int


def _address(address: Union[str, bytes, Sequence[int]]) -> "ctypes.Array[ctypes.c_uint8]":
    if isinstance(address, str):
        raw = bytes(int(part, 16) for part in address.split(":"))
    else:
        raw = bytes(address)
    if len(raw) != 6:
        raise ValueError("a Bluetooth address has 6 bytes")
    return (ctypes.c_uint8 * 6)(*raw)


class Bluetooth:
    """The controller's Bluetooth relay. Every call returns at once; the controller's answers arrive
    as BluetoothEvent and ScanEvent objects (Controller.events() / subscribe())."""

    def __init__(self, controller: Controller) -> None:
        self._c = controller
        self._lib = controller._lib

    def _cb(self, action: str) -> "ctypes._CFuncPtr":
        return _events.c_bluetooth[action]

    def scan(self) -> None:
        check(self._lib.StartScanBtDevice(self._c.handle, _events.c_scan), "StartScanBtDevice")

    def cancel_scan(self) -> None:
        check(self._lib.CancelScanBtDevice(self._c.handle), "CancelScanBtDevice")

    def connect(self, channel: int, address: Union[str, bytes, Sequence[int]]) -> None:
        check(self._lib.ConnectBtAddress(self._c.handle, channel, _address(address), self._cb("connect")),
              "ConnectBtAddress")

    def disconnect(self, channel: int) -> None:
        check(self._lib.DisconnectBt(self._c.handle, channel, self._cb("disconnect")), "DisconnectBt")

    def send(self, channel: int, message: bytes) -> None:
        # A message longer than BT_MESSAGE_SIZE is the library's to refuse.
        data = (ctypes.c_uint8 * max(len(message), 1))(*message)
        check(self._lib.SendBtMessage(self._c.handle, channel, len(message), data, self._cb("send")),
              "SendBtMessage")

    def listen(self, channel: int, address: Union[str, bytes, Sequence[int]]) -> None:
        check(self._lib.BtListenConOn(self._c.handle, channel, _address(address), self._cb("listen_on")),
              "BtListenConOn")

    def stop_listening(self, channel: int) -> None:
        check(self._lib.BtListenConOff(self._c.handle, channel, self._cb("listen_off")), "BtListenConOff")

    def read_on(self, channel: int) -> None:
        """Switches receiving on: every message arrives as a read_on BluetoothEvent with status 10."""
        check(self._lib.BtReadMsgOn(self._c.handle, channel, self._cb("read_on")), "BtReadMsgOn")

    def read_off(self, channel: int) -> None:
        check(self._lib.BtReadMsgOff(self._c.handle, channel, self._cb("read_off")), "BtReadMsgOff")

    def status(self, channel: int) -> ChannelStatus:
        if not 1 <= channel <= 8:
            raise KvError(err.KVLIB_ERR_BT_INVALID_CHANNEL, "status")  # type: ignore[attr-defined]
        entries = (BT_CHANNEL * 8)()
        check(self._lib.GetVoriKqBtStatus(self._c.handle, entries), "GetVoriKqBtStatus")
        e = entries[channel - 1]
        return ChannelStatus(channel, e.ConnState, bool(e.ListenOn), bool(e.ReadOn), e.ChannelInfo)
