"""Events of the library: taken on its threads, queued, and handed to Python code on a thread of this
package, so that no user code ever runs on (or holds up) the library's receive thread."""

import ctypes
import logging
import queue
import threading
from dataclasses import dataclass
from typing import Callable, Iterator, List, Optional, Union

from . import _lib
from .records import BtEvent, BtScanEvent

log = logging.getLogger("kvarolib")


@dataclass(frozen=True)
class ExtensionEvent:
    """Extension controller `controller` (1 to 8) has become known (present) or gone."""

    controller: int
    present: bool


@dataclass(frozen=True)
class CounterResetEvent:
    """The reset of counter `counter` of controller `controller` is confirmed."""

    controller: int
    counter: int


@dataclass(frozen=True)
class MotorReachedEvent:
    """Extended motor command `motor` of controller `controller` is confirmed."""

    controller: int
    motor: int


@dataclass(frozen=True)
class BluetoothEvent:
    """The controller's answer to a Bluetooth action on a channel. `action` is one of connect,
    disconnect, send, listen_on, listen_off, read_on, read_off; a received message is a read_on event
    with status 10 and its bytes in `data` (empty for every other event)."""

    action: str
    channel: int
    status: int
    data: bytes = b""


@dataclass(frozen=True)
class ScanEvent:
    """One scan reply: `status` is its first two bytes (5: the scan has ended), `data` the whole reply."""

    status: int
    data: bytes

    @property
    def finished(self) -> bool:
        return self.status == 5


@dataclass(frozen=True)
class UploadStatusEvent:
    """A status of a running upload (a result code such as KVLIB_ERR_UPLOAD_ACK)."""

    status: int


Event = Union[ExtensionEvent, CounterResetEvent, MotorReachedEvent, BluetoothEvent, ScanEvent, UploadStatusEvent]
EventFilter = Optional[Callable[[Event], bool]]


class EventStream:
    """Events pulled by the application: iterate over it, or call get(timeout). Ends when closed."""

    def __init__(self, hub: "Hub", accept: EventFilter) -> None:
        self._hub = hub
        self._accept = accept
        self._queue: "queue.SimpleQueue[Optional[Event]]" = queue.SimpleQueue()
        self._closed = threading.Event()

    def _offer(self, event: Event) -> None:
        if self._accept is None or self._accept(event):
            self._queue.put(event)

    def get(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event, or None when none came within timeout or the stream is closed."""
        if self._closed.is_set() and self._queue.empty():
            return None
        try:
            return self._queue.get(timeout=timeout)
        except queue.Empty:
            return None

    def __iter__(self) -> Iterator[Event]:
        while True:
            event = self.get()
            if event is None:
                return
            yield event

    def close(self) -> None:
        if not self._closed.is_set():
            self._closed.set()
            self._hub._remove(self)
            self._queue.put(None)

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Subscription:
    """A callback registered for events; it runs on the package's event thread until closed."""

    def __init__(self, hub: "Hub", callback: Callable[[Event], None], accept: EventFilter) -> None:
        self._hub = hub
        self.callback = callback
        self._accept = accept

    def _offer(self, event: Event) -> None:
        if self._accept is not None and not self._accept(event):
            return
        try:
            self.callback(event)
        except Exception:
            # Reported, and the delivery of later events (and the library) goes on.
            self._hub.callback_errors += 1
            log.exception("kvarolib: the callback %r raised on %r", self.callback, event)

    def close(self) -> None:
        self._hub._remove(self)

    def __enter__(self) -> "Subscription":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


_STOP = object()


class Hub:
    """The one queue between the library's threads and Python, and the thread that empties it."""

    def __init__(self) -> None:
        self._raw: "queue.SimpleQueue[object]" = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._sinks: List[Union[EventStream, Subscription]] = []
        self._thread: Optional[threading.Thread] = None
        self.callback_errors = 0  # written on the event thread only

    # -- called on the library's threads: only a put, never user code
    def post(self, event: object) -> None:
        # An event nobody listens for is dropped here rather than handed to the event thread: every
        # hand-off is a thread to wake and the interpreter's lock to pass, which a loaded machine
        # makes slow and the library's thread waits for (an upload's next block, for one).
        if self._sinks:
            self._raw.put(event)

    # -- sinks
    def subscribe(self, callback: Callable[[Event], None], accept: EventFilter = None) -> Subscription:
        sub = Subscription(self, callback, accept)
        with self._lock:
            self._sinks.append(sub)
        return sub

    def stream(self, accept: EventFilter = None) -> EventStream:
        stream = EventStream(self, accept)
        with self._lock:
            self._sinks.append(stream)
        return stream

    def _remove(self, sink: Union[EventStream, Subscription]) -> None:
        with self._lock:
            if sink in self._sinks:
                self._sinks.remove(sink)

    # -- the event thread
    def start(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="kvarolib-events", daemon=True)
            self._thread.start()

    def stop(self) -> None:
        """Hands out what is queued, then ends the thread and joins it."""
        thread = self._thread
        if thread is None:
            return
        self._raw.put(_STOP)
        if thread is not threading.current_thread():
            thread.join()
        self._thread = None

    def _run(self) -> None:
        while True:
            event = self._raw.get()
            if event is _STOP:
                return
            with self._lock:
                sinks = list(self._sinks)
            for sink in sinks:
                sink._offer(event)  # type: ignore[arg-type]


hub = Hub()


# ---- The C callbacks. Each object lives as long as the module, so every registration outlives it.

def _on_extension(shm_id: int, present: int) -> None:
    hub.post(ExtensionEvent(shm_id, present != 0))


def _on_counter_reset(shm_id: int, counter: int) -> None:
    hub.post(CounterResetEvent(shm_id, counter))


def _on_motor(shm_id: int, motor: int) -> None:
    hub.post(MotorReachedEvent(shm_id, motor))


c_extension = _lib.VoriKqCallback(_on_extension)
c_counter_reset = _lib.VoriKqCallback(_on_counter_reset)
c_motor = _lib.VoriKqCallback(_on_motor)

BT_ACTIONS = ("connect", "disconnect", "send", "listen_on", "listen_off", "read_on", "read_off")


def _bt_callback(action: str) -> "ctypes._CFuncPtr":
    def on_event(pointer: "ctypes._Pointer[BtEvent]") -> None:
        e = pointer.contents
        data = bytes(e.Data[: min(e.Length, len(e.Data))]) if action == "read_on" and e.Status == 10 else b""
        hub.post(BluetoothEvent(action, e.Channel, e.Status, data))

    return _lib.BtEventCallback(on_event)


c_bluetooth = {action: _bt_callback(action) for action in BT_ACTIONS}


def _on_scan(pointer: "ctypes._Pointer[BtScanEvent]") -> None:
    data = bytes(pointer.contents.Data)
    hub.post(ScanEvent(data[0] | data[1] << 8, data))


c_scan = _lib.BtScanCallback(_on_scan)
