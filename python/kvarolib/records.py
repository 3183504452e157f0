"""The transfer area's records, field for field as the C header lays them out.

Every field sits at a multiple of its own size, so ctypes' natural alignment gives the C compiler's
offsets without packing. Multi-byte fields are little-endian, the byte order of every host the library
runs on. The library's threads update the area while Python reads it: read and write whole fields.
"""

import ctypes

IF08_MAX = 9
RESERVE_SIZE = 368
BT_MESSAGE_SIZE = 16
BT_SCAN_RECORD_SIZE = 30

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


class BtEvent(ctypes.Structure):
    _fields_ = [("Channel", u16), ("Status", u16), ("Length", u16), ("Data", u8 * BT_MESSAGE_SIZE)]


class BtScanEvent(ctypes.Structure):
    _fields_ = [("Data", u8 * BT_SCAN_RECORD_SIZE)]


# Every record type above, for the check against the C header.
RECORD_TYPES = (
    KVX1_SHMIFINFO, BT_CHANNEL, KVX1_STATE, KVX1_INPUT_SETTING, KVX1_COUNTER_SETTING, KVX1_CONFIG,
    KVX1_INPUT, KVX1_OUTPUT, KVX1_DISPLAY, TRANSFER_STATUS, CHANGE_STATE, RP_TIMER, MOTOR, INPUT_SIM,
    HOOK_TABLE, KOLV_X1_TRANSFER, IF08_TRANSFER, BtEvent, BtScanEvent,
)
