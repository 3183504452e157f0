"""kvarolib: the VORI KQ Controller from Python, over the kvAroLib C library.

    import kvarolib
    with kvarolib.open() as kq, kq.transfer() as ta:
        print(kq.serial_number, ta.master.Input.InputValue[:])
"""

from . import records
from ._controller import (DEVICE_NAMES, FLASH, RAMDISK, SYSTEM, Bluetooth, ChannelStatus, Controller,
                          MemoryLayout, NotFoundError, PortInfo, Transfer, events, find_controller, list_ports, open,
                          subscribe)
from ._errors import RESULT_CODES, KvError, ResultCode, describe
from ._events import (BluetoothEvent, CounterResetEvent, Event, EventStream, ExtensionEvent,
                      MotorReachedEvent, ScanEvent, Subscription, UploadStatusEvent)

__version__ = "1.5.6"

__all__ = [
    "records", "DEVICE_NAMES", "RAMDISK", "FLASH", "SYSTEM", "Bluetooth", "ChannelStatus", "Controller",
    "MemoryLayout", "NotFoundError", "PortInfo", "Transfer", "events", "find_controller", "list_ports", "open",
    "subscribe",
    "RESULT_CODES", "KvError", "ResultCode", "describe", "BluetoothEvent", "CounterResetEvent", "Event",
    "EventStream", "ExtensionEvent", "MotorReachedEvent", "ScanEvent", "Subscription", "UploadStatusEvent",
]
