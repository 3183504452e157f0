"""Finding and loading the shared library, with every function's signature declared."""

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional

from .records import IF08_TRANSFER, BT_CHANNEL, BtEvent, BtScanEvent, TRANSFER_STATUS

c_u32, c_i32, c_char_p, c_void_p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p
P_u32 = ctypes.POINTER(c_u32)
P_u8 = ctypes.POINTER(ctypes.c_uint8)

VoriKqCallback = ctypes.CFUNCTYPE(None, c_i32, c_i32)
KvRemoteCmdCallback = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_char), c_u32)
UploadStatusCallback = ctypes.CFUNCTYPE(None, c_u32)
BtEventCallback = ctypes.CFUNCTYPE(None, ctypes.POINTER(BtEvent))
BtScanCallback = ctypes.CFUNCTYPE(None, ctypes.POINTER(BtScanEvent))

SYSTEM_NAME = "kvAroLib.dll" if os.name == "nt" else "libkvarolib.so.1"

_SIGNATURES = {
    "kvxInitLib": (c_u32, []),
    "kvxCloseLib": (c_u32, []),
    "kvxIsLibInit": (c_u32, []),
    "kvxOpenComDevice": (c_u32, [c_char_p, c_u32, P_u32]),
    "kvxCloseDevice": (c_u32, [c_u32]),
    "kvxIsHandleValid": (c_u32, [c_u32]),
    "kvxStartTransferArea": (c_u32, [c_u32]),
    "kvxStopTransferArea": (c_u32, []),
    "kvxIsTransferActiv": (c_u32, [c_u32]),
    "GetIF08TransferAddress": (ctypes.POINTER(IF08_TRANSFER), [c_u32]),
    "GetKvX1TransferStatusAddr": (ctypes.POINTER(TRANSFER_STATUS), [c_u32, c_i32]),
    "SetCBVoriExtState": (None, [VoriKqCallback]),
    "SetCBCounterResetted": (None, [VoriKqCallback]),
    "SetCBMotorExReached": (None, [VoriKqCallback]),
    "kvxGetLibVersion": (c_u32, []),
    "kvxGetLibVersionStr": (c_u32, [c_char_p, c_u32]),
    "kvxGetFirmwareStrg": (c_u32, [c_u32, c_char_p, c_u32]),
    "kvxGetSerialNrStrg": (c_u32, [c_u32, c_char_p, c_u32]),
    "GetVoriKqMasterState": (c_u32, [c_u32]),
    "GetVoriKqSlaveAlive": (c_u32, [c_u32, c_i32, P_u32]),
    "GetVoriKqInfo": (c_u32, [c_u32, c_i32]),
    "GetVoriKqDevName": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
    "GetVoriKqBtAddr": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
    "GetVoriKqFwStr": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
    "GetVoriKqHwStr": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
    "GetVoriKqDllStr": (c_u32, [c_u32, c_i32, c_char_p, c_u32]),
    "GetVoriKqFwVal": (c_u32, [c_u32, c_i32, P_u32]),
    "GetVoriKqMemLayout": (c_u32, [c_u32, c_i32, P_u32, P_u32, P_u32]),
    "GetVoriKqSlaveState": (c_u32, [c_u32, P_u32]),
    "GetVoriKqBtStatus": (c_u32, [c_u32, ctypes.POINTER(BT_CHANNEL)]),
    "SetVoriKqDevName": (c_u32, [c_u32, c_i32, c_char_p]),
    "SetVoriKqMessage": (c_u32, [c_u32, c_i32, c_char_p]),
    "GetAvailableComPorts": (c_i32, [c_i32]),
    "EnumComPorts": (c_u32, [c_u32, c_char_p, c_i32]),
    "KvRemoteCmd": (c_u32, [c_u32, c_char_p, KvRemoteCmdCallback]),
    "VKqCleanDisk": (c_u32, [c_u32, c_i32]),
    "KvFileUpload": (c_u32, [c_u32, c_char_p, c_i32, UploadStatusCallback]),
    "KvRamFileUpload": (c_u32, [c_u32, c_i32, c_void_p, c_u32, c_char_p, UploadStatusCallback]),
    "StartScanBtDevice": (c_u32, [c_u32, BtScanCallback]),
    "CancelScanBtDevice": (c_u32, [c_u32]),
    "ConnectBtAddress": (c_u32, [c_u32, c_u32, P_u8, BtEventCallback]),
    "DisconnectBt": (c_u32, [c_u32, c_u32, BtEventCallback]),
    "SendBtMessage": (c_u32, [c_u32, c_u32, c_u32, P_u8, BtEventCallback]),
    "BtListenConOn": (c_u32, [c_u32, c_u32, P_u8, BtEventCallback]),
    "BtListenConOff": (c_u32, [c_u32, c_u32, BtEventCallback]),
    "BtReadMsgOn": (c_u32, [c_u32, c_u32, BtEventCallback]),
    "BtReadMsgOff": (c_u32, [c_u32, c_u32, BtEventCallback]),
    "StatusBtConnection": (P_u32, [c_u32, P_u32]),
}


def candidates() -> List[str]:
    """Where the library is looked for, in order."""
    found = []
    explicit = os.environ.get("KVLIB_LIBRARY")
    if explicit:
        found.append(explicit)
    bundled = Path(__file__).resolve().parent / "_native" / SYSTEM_NAME
    if bundled.exists():
        found.append(str(bundled))
    found.append(SYSTEM_NAME)
    return found


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library (loaded on first use). KVLIB_LIBRARY, when set, must name a loadable file."""
    global _loaded
    with _lock:
        if _loaded is not None:
            return _loaded
        errors = []
        for path in candidates():
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                if path == os.environ.get("KVLIB_LIBRARY"):
                    raise OSError("KVLIB_LIBRARY=%s cannot be loaded: %s" % (path, e)) from e
                errors.append("%s: %s" % (path, e))
                continue
            for name, (restype, argtypes) in _SIGNATURES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _loaded = lib
            return lib
        raise OSError("kvAroLib not found (%s)" % "; ".join(errors))


def path_bytes(path: "os.PathLike[str] | str") -> bytes:
    return os.fsencode(path) if sys.platform != "win32" else os.fspath(path).encode("mbcs")
