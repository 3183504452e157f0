"""Result codes of the library: one table of code, name and text, and the exception that carries them."""

from typing import Dict, NamedTuple


class ResultCode(NamedTuple):
    code: int
    name: str
    text: str


# The library's own table, in its order, then the three codes it uses without a row of their own.
_TABLE = (
    ResultCode(0x00000000, "KVLIB_ERR_SUCCESS", "Success"),
    ResultCode(0xE0000100, "KVLIB_ERR_NO_MEMORY", "Can't allocate memory block !"),
    ResultCode(0xE0001000, "KVLIB_ERR_FAILED", "KVLIB error"),
    ResultCode(0xE0001286, "KVLIB_ERR_LIB_IS_INITIALIZED", "KVLIB is initialized"),
    ResultCode(0xE0001287, "KVLIB_ERR_LIB_IS_NOT_INITIALIZED", "KVLIB is not initialized"),
    ResultCode(0xE0001102, "KVLIB_ERR_DEVICE_IS_OPEN", "device is open"),
    ResultCode(0xE0001103, "KVLIB_ERR_DEVICE_NOT_OPEN", "device is not open"),
    ResultCode(0xE00012A5, "KVLIB_ERR_THREAD_IS_RUNNING", "IF thread is running"),
    ResultCode(0xE00012A6, "KVLIB_ERR_THREAD_NOT_RUNNING", "IF thread is not running"),
    ResultCode(0xE00012A0, "KVLIB_ERR_THREAD_NOT_STARTABLE", "IF Thread is not starting"),
    ResultCode(0xE000100C, "KVLIB_ERR_TIMEOUT", "Timeout"),
    ResultCode(0xE0001104, "KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE", "Invalid device handle"),
    ResultCode(0xE0001018, "KVLIB_ERR_INVALID_PARAM", "Invalid parameter"),
    ResultCode(0xE0001909, "KVLIB_ERR_INIT_COM_TIMEOUT", "Error by setting the COM time-out parameters"),
    ResultCode(0xE0001101, "KVLIB_ERR_SOME_DEVICES_ARE_OPEN", "Only one KQ master is supported."),
    ResultCode(0xE0001283, "KVLIB_ERR_UNKNOWN_DEVICE_HANDLE", "Invalid device handle"),
    ResultCode(0xE0001906, "KVLIB_ERR_OPEN_COM", "Error by open COM device"),
    ResultCode(0xE0001908, "KVLIB_ERR_INIT_COM", "Error by setting the COM controls"),
    ResultCode(0xE0001905, "KVLIB_ERR_ACCESS_DENIED", "COM device: Access is denied !"),
    ResultCode(0xE00012AF, "KVLIB_ERR_THREAD_SYNCHRONIZED", "IF thread is sychronized"),
    ResultCode(0xE0001400, "KVLIB_ERR_UPLOAD_FILE_NOT_OPEN", "Upload: Could not open file"),
    ResultCode(0xE0001401, "KVLIB_ERR_UPLOAD_FILE_READ_ERR", "Upload: Could not read from file"),
    ResultCode(0xE0001402, "KVLIB_ERR_UPLOAD_INVALID_FSIZE", "Upload: Invalid file size"),
    ResultCode(0xE0001403, "KVLIB_ERR_UPLOAD_START", "Upload: Started."),
    ResultCode(0xE0001404, "KVLIB_ERR_UPLOAD_CANCELED", "Upload: File upload was canceled"),
    ResultCode(0xE0001405, "KVLIB_ERR_UPLOAD_FAILED", "Upload: File transfer was incorrect."),
    ResultCode(0xE0001406, "KVLIB_ERR_UPLOAD_TIMEOUT", "Upload: Timeout."),
    ResultCode(0xE0001407, "KVLIB_ERR_UPLOAD_ACK", "Upload: ACK received."),
    ResultCode(0xE0001408, "KVLIB_ERR_UPLOAD_NAK", "Upload: NAK received."),
    ResultCode(0xE0001409, "KVLIB_ERR_UPLOAD_DONE", "Upload finnished."),
    ResultCode(0xE00012B0, "KVLIB_ERR_TIMEOUT_TA", "Timeout by starting TransferArea"),
    ResultCode(0xE00012B1, "KVLIB_ERR_CREATE_EVENT", "CreateEvent() failed with error."),
    ResultCode(0xE00012B2, "KVLIB_ERR_CREATE_MM_TIMER", "Creating MultiMedia Timer."),
    ResultCode(0xE0002000, "KVLIB_ERR_WRONG_HOSTNAME_LEN", "Wrong hostname length."),
    ResultCode(0xE000140B, "KVLIB_ERR_REM_CMD_FAILED", "Send remote command failed."),
    ResultCode(0xE000140D, "KVLIB_ERR_FWUPD_GET_FILES", "Error by scanning Firmware files."),
    ResultCode(0xE000140E, "KVLIB_ERR_FWUPD_NO_FILES", "No Firmware files found!"),
    ResultCode(0xEFFFFFFF, "KVLIB_ERR_UNKNOWN", "Unknown error code !"),
    ResultCode(0xE000140A, "KVLIB_ERR_UPLOAD_CACHE_UPDATE", "Upload: the controller updates its cache."),
    ResultCode(0xE000140C, "KVLIB_ERR_CLEAN_SYSTEM_REFUSED", "The system area cannot be cleaned."),
    ResultCode(0xE0004000, "KVLIB_ERR_BT_INVALID_CHANNEL", "Bluetooth channel outside 1 to 8."),
)

RESULT_CODES: Dict[int, ResultCode] = {row.code: row for row in _TABLE}

# The codes by name, for comparisons in applications: errors.KVLIB_ERR_TIMEOUT and so on.
globals().update({row.name: row.code for row in _TABLE})


def describe(code: int) -> ResultCode:
    """The row of a code; a code without one gets the name and text of KVLIB_ERR_UNKNOWN."""
    code &= 0xFFFFFFFF
    row = RESULT_CODES.get(code)
    if row is None:
        unknown = RESULT_CODES[0xEFFFFFFF]
        return ResultCode(code, unknown.name, unknown.text)
    return row


class KvError(Exception):
    """A non-zero result code of the library."""

    def __init__(self, code: int, operation: str = "") -> None:
        row = describe(code)
        self.code: int = row.code
        self.name: str = row.name
        self.text: str = row.text
        self.operation: str = operation
        where = "%s: " % operation if operation else ""
        super().__init__("%s%s (0x%08X): %s" % (where, self.name, self.code, self.text))


def check(code: int, operation: str = "") -> None:
    """Raises KvError for every non-zero result code."""
    if code != 0:
        raise KvError(code, operation)
