/* kvAroLib: the device library of the VORI KQ Controller.
 *
 * This is the one header an application includes. Every function is a plain C function exported by
 * name; handles and result codes are 32-bit. Result codes are 0 for success and 0xE000xxxx for
 * failures and statuses.
 */
#ifndef KVAROLIB_H
#define KVAROLIB_H

#include <stddef.h> /* offsetof, for the layout checks */
#include <stdint.h>

#if defined(_WIN32)
#if defined(KVLIB_BUILDING)
#define KVLIB_API __declspec(dllexport)
#else
#define KVLIB_API
#endif
#else
#define KVLIB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ---------------------------------------------------------------------------- */
#define KVLIB_ERR_SUCCESS 0x00000000u
#define KVLIB_ERR_NO_MEMORY 0xE0000100u
#define KVLIB_ERR_FAILED 0xE0001000u
#define KVLIB_ERR_LIB_IS_INITIALIZED 0xE0001286u
#define KVLIB_ERR_LIB_IS_NOT_INITIALIZED 0xE0001287u
#define KVLIB_ERR_DEVICE_IS_OPEN 0xE0001102u
#define KVLIB_ERR_DEVICE_NOT_OPEN 0xE0001103u
#define KVLIB_ERR_THREAD_IS_RUNNING 0xE00012A5u
#define KVLIB_ERR_THREAD_NOT_RUNNING 0xE00012A6u
#define KVLIB_ERR_THREAD_NOT_STARTABLE 0xE00012A0u
#define KVLIB_ERR_TIMEOUT 0xE000100Cu
#define KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE 0xE0001104u
#define KVLIB_ERR_INVALID_PARAM 0xE0001018u
#define KVLIB_ERR_INIT_COM_TIMEOUT 0xE0001909u
#define KVLIB_ERR_SOME_DEVICES_ARE_OPEN 0xE0001101u
#define KVLIB_ERR_UNKNOWN_DEVICE_HANDLE 0xE0001283u
#define KVLIB_ERR_OPEN_COM 0xE0001906u
#define KVLIB_ERR_INIT_COM 0xE0001908u
#define KVLIB_ERR_ACCESS_DENIED 0xE0001905u
#define KVLIB_ERR_THREAD_SYNCHRONIZED 0xE00012AFu
#define KVLIB_ERR_UPLOAD_FILE_NOT_OPEN 0xE0001400u
#define KVLIB_ERR_UPLOAD_FILE_READ_ERR 0xE0001401u
#define KVLIB_ERR_UPLOAD_INVALID_FSIZE 0xE0001402u
#define KVLIB_ERR_UPLOAD_START 0xE0001403u
#define KVLIB_ERR_UPLOAD_CANCELED 0xE0001404u
#define KVLIB_ERR_UPLOAD_FAILED 0xE0001405u
#define KVLIB_ERR_UPLOAD_TIMEOUT 0xE0001406u
#define KVLIB_ERR_UPLOAD_ACK 0xE0001407u
#define KVLIB_ERR_UPLOAD_NAK 0xE0001408u
#define KVLIB_ERR_UPLOAD_DONE 0xE0001409u
#define KVLIB_ERR_TIMEOUT_TA 0xE00012B0u
#define KVLIB_ERR_CREATE_EVENT 0xE00012B1u
#define KVLIB_ERR_CREATE_MM_TIMER 0xE00012B2u
#define KVLIB_ERR_WRONG_HOSTNAME_LEN 0xE0002000u
#define KVLIB_ERR_REM_CMD_FAILED 0xE000140Bu
#define KVLIB_ERR_FWUPD_GET_FILES 0xE000140Du
#define KVLIB_ERR_FWUPD_NO_FILES 0xE000140Eu
#define KVLIB_ERR_UNKNOWN 0xEFFFFFFFu

/* Codes without a row of their own in the code table. */
#define KVLIB_ERR_UPLOAD_CACHE_UPDATE 0xE000140Au  /* flash upload done, the controller updates its cache */
#define KVLIB_ERR_CLEAN_SYSTEM_REFUSED 0xE000140Cu /* the system area cannot be cleaned */
#define KVLIB_ERR_BT_INVALID_CHANNEL 0xE0004000u   /* Bluetooth channel outside 1 to 8 */

/* ---- Transfer area --------------------------------------------------------------------------- */

/* The transfer area is the library's in-memory image of the master controller (record 0) and of its
 * extension controllers (records 1 to 8). While a transfer runs the library keeps it in step with the
 * hardware every 10 ms; applications get its address from the library and read inputs, and write
 * outputs and configuration, in place.
 *
 * The layout is fixed: applications address the records by offset, so every offset and size below is
 * part of the interface. Multi-byte fields are little-endian (the byte order of every host the library
 * runs on). Each field sits at a multiple of its own size, so the records are plain structs without
 * packing, and a field of up to 32 bits can be read or written as a whole without tearing.
 *
 * The area is shared without a lock between the application and the library's threads. Read and write
 * whole fields; to change a controller's configuration, write its KVX1_CONFIG first and then change its
 * ConfigId. */

#define IF08_MAX 9       /* records in the area: the master and up to eight extension controllers */
#define RESERVE_SIZE 368 /* unused bytes at the end of every record */

/* What the controller reports about itself. Written whole by the library from the information reply;
 * an application may change Hostname through the device-name setter. */
typedef struct KVX1_SHMIFINFO {
    char Hostname[17];          /* device name, zero-terminated, 1 to 16 characters */
    char BtAddress[19];         /* Bluetooth address as zero-terminated text */
    uint32_t SharedMemoryStart; /* as reported by the controller */
    uint32_t AppAreaStart;      /* start of the controller's application area */
    uint32_t AppAreaSize;       /* size of the application area */
    uint8_t HwRelease;          /* an upper-case letter; any other value: no release letter */
    uint8_t reserved1[3];
    uint32_t FwValue; /* firmware value, handed out whole; byte 1 is the DLL version, byte 2 the
                         firmware major and byte 3 the minor version (Kvx1DllVersion and the like);
                         byte 0 has no meaning of its own */
    uint8_t reserved2[8];
} KVX1_SHMIFINFO;

/* The named bytes of FwValue (bytes 53, 54 and 55 of the record), each 0 to 255. */
static inline uint32_t Kvx1DllVersion(const KVX1_SHMIFINFO* info) {
    return (info->FwValue >> 8) & 0xFFu;
}
static inline uint32_t Kvx1FwMajor(const KVX1_SHMIFINFO* info) {
    return (info->FwValue >> 16) & 0xFFu;
}
static inline uint32_t Kvx1FwMinor(const KVX1_SHMIFINFO* info) {
    return (info->FwValue >> 24) & 0xFFu;
}

/* One Bluetooth channel of the master: filled by the library from the state reply and updated from
 * the Bluetooth replies. */
typedef struct BT_CHANNEL {
    uint16_t ConnState;   /* connection state, 0 to 7 */
    uint16_t ListenOn;    /* 0 or 1 */
    uint16_t ReadOn;      /* 0 or 1 */
    uint16_t ChannelInfo; /* a further status byte of the channel, 0 to 255 */
} BT_CHANNEL;

/* Controller state. Written by the library from the state reply, except ConfigId, which belongs to
 * the application. ExtState and BtChannel together form nine 8-byte slots: slot 0 is ExtState, slot k
 * is Bluetooth channel k. */
typedef struct KVX1_STATE {
    uint8_t reserved1[8];
    uint8_t OutputInitDone; /* master only: 1 once outputs and configuration were reset after a stop */
    uint8_t reserved2[2];
    uint8_t ConfigId;        /* application: change it after writing KVX1_CONFIG to have that sent */
    uint8_t ExtState[8];     /* master only: extension 1..8 present (1) or absent (0) */
    BT_CHANNEL BtChannel[8]; /* master only: Bluetooth channels 1 to 8 */
    uint8_t reserved3[16];
} KVX1_STATE;

typedef struct KVX1_INPUT_SETTING {
    uint8_t Mode;    /* input mode */
    uint8_t Digital; /* non-zero: digital input */
    uint8_t reserved[2];
} KVX1_INPUT_SETTING;

typedef struct KVX1_COUNTER_SETTING {
    uint8_t Mode; /* counter mode */
    uint8_t reserved[3];
} KVX1_COUNTER_SETTING;

/* Controller configuration. Written by the application; the library presets the input and counter
 * modes when a controller is connected and clears the whole part after a transfer stop. */
typedef struct KVX1_CONFIG {
    uint32_t reserved1;                     /* neither sent nor interpreted */
    uint32_t HeadValue;                     /* sent at the head of the configuration */
    KVX1_INPUT_SETTING InputSetting[8];     /* reserved bytes not sent */
    KVX1_COUNTER_SETTING CounterSetting[4]; /* reserved bytes not sent */
    uint8_t FurtherSettings[32];            /* sent unchanged */
} KVX1_CONFIG;

/* Inputs. Written by the library from every I/O reply; the application clears the two flag arrays
 * when it has seen them. */
typedef struct KVX1_INPUT {
    int16_t InputValue[8];
    uint16_t CounterInput[4]; /* counter input states */
    int16_t Counter[4];
    uint16_t AuxValue[2];
    uint16_t CounterResetted[4];   /* 1 once the reset of counter i is confirmed */
    uint16_t MotorExReached[4];    /* 1 once extended motor command i is confirmed */
    uint16_t CounterResetCmdId[4]; /* counter-reset ids the controller has carried out */
    uint16_t MotorExCmdId[4];      /* extended motor command ids the controller has carried out */
} KVX1_INPUT;

/* Outputs. Written by the application, sent whole with every I/O request; the library clears the
 * part after a transfer stop. */
typedef struct KVX1_OUTPUT {
    uint16_t CounterResetCmdId[4]; /* a new id asks for the reset of counter i */
    uint8_t OutputData[28];        /* output values, passed through */
    uint16_t MotorExCmdId[4];      /* a new id goes with each extended motor command i */
} KVX1_OUTPUT;

/* Display message. Written by the application through the message setter: byte 0 stays 0, the text
 * starts at byte 1 and byte 99 is always 0. Bytes 100 to 107 are not sent. */
typedef struct KVX1_DISPLAY {
    char Message[100];
    uint8_t reserved[8];
} KVX1_DISPLAY;

/* Transfer state. Written by the library; only the master's is used. */
typedef struct TRANSFER_STATUS {
    uint8_t TransferState; /* 0 stopped, 1 running, 2 starting */
    uint8_t reserved;
    uint16_t ComError; /* low 16 bits of the last serial-port error; 0 after a start completes */
} TRANSFER_STATUS;

/* Change report of the latest I/O exchange. Written by the library; the application clears
 * InputChanged. */
typedef struct CHANGE_STATE {
    uint16_t OutputsSent;           /* 1 each time an I/O request carried this record's outputs */
    uint8_t InputChanged;           /* 1 when any bit of the masks below was set */
    uint8_t InputChangeMask;        /* bit i: InputValue[i] changed with the latest I/O reply */
    uint8_t CounterInputChangeMask; /* bits 0 to 3: the same for CounterInput */
    uint8_t CounterChangeMask;      /* bits 0 to 3: the same for Counter */
    uint8_t reserved[2];
} CHANGE_STATE;

/* Run-time counters of the master, written by the library: cleared at every transfer start and
 * advanced every millisecond. Each counter wraps at 65536. */
typedef struct RP_TIMER {
    uint16_t Milliseconds;
    uint16_t Centiseconds; /* tens of milliseconds */
    uint16_t Deciseconds;  /* tenths of a second */
    uint16_t Seconds;
    uint16_t TenSeconds;
    uint16_t Minutes;
} RP_TIMER;

/* The next three parts belong to the layout only; the library neither reads nor writes them. */
typedef struct MOTOR {
    uint8_t Data[24];
} MOTOR;

typedef struct INPUT_SIM {
    uint8_t Data[4];
} INPUT_SIM;

typedef struct HOOK_TABLE {
    uint8_t Data[132];
} HOOK_TABLE;

/* One controller's record. */
typedef struct KOLV_X1_TRANSFER {
    KVX1_SHMIFINFO ShmIfInfo;
    KVX1_STATE State;
    KVX1_CONFIG Config;
    KVX1_INPUT Input;
    KVX1_OUTPUT Output;
    KVX1_DISPLAY Display;
    TRANSFER_STATUS TransferStatus;
    CHANGE_STATE ChangeState;
    RP_TIMER RpTimer;
    MOTOR Motor;
    INPUT_SIM InputSim;
    HOOK_TABLE HookTable;
    uint8_t reserved[RESERVE_SIZE];
} KOLV_X1_TRANSFER;

/* The whole area: record k belongs to controller k (0 the master). */
typedef struct IF08_TRANSFER {
    KOLV_X1_TRANSFER Record[IF08_MAX];
} IF08_TRANSFER;

/* The layout checked by the compiler: by every C++ compiler, and by C compilers from C11 on. */
#if defined(__cplusplus)
#define KVX1_LAYOUT_ASSERT(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KVX1_LAYOUT_ASSERT(cond, what) _Static_assert(cond, what)
#endif
#ifdef KVX1_LAYOUT_ASSERT
#define KVX1_AT(type, field, offset) KVX1_LAYOUT_ASSERT(offsetof(type, field) == (offset), #type "." #field)
#define KVX1_SIZE(type, size) KVX1_LAYOUT_ASSERT(sizeof(type) == (size), "sizeof " #type)

KVX1_AT(KVX1_SHMIFINFO, Hostname, 0);
KVX1_AT(KVX1_SHMIFINFO, BtAddress, 17);
KVX1_AT(KVX1_SHMIFINFO, SharedMemoryStart, 36);
KVX1_AT(KVX1_SHMIFINFO, AppAreaStart, 40);
KVX1_AT(KVX1_SHMIFINFO, AppAreaSize, 44);
KVX1_AT(KVX1_SHMIFINFO, HwRelease, 48);
KVX1_AT(KVX1_SHMIFINFO, reserved1, 49);
KVX1_AT(KVX1_SHMIFINFO, FwValue, 52);
KVX1_AT(KVX1_SHMIFINFO, reserved2, 56);
KVX1_SIZE(KVX1_SHMIFINFO, 64);

KVX1_AT(BT_CHANNEL, ConnState, 0);
KVX1_AT(BT_CHANNEL, ListenOn, 2);
KVX1_AT(BT_CHANNEL, ReadOn, 4);
KVX1_AT(BT_CHANNEL, ChannelInfo, 6);
KVX1_SIZE(BT_CHANNEL, 8);

KVX1_AT(KVX1_STATE, reserved1, 0);
KVX1_AT(KVX1_STATE, OutputInitDone, 8);
KVX1_AT(KVX1_STATE, reserved2, 9);
KVX1_AT(KVX1_STATE, ConfigId, 11);
KVX1_AT(KVX1_STATE, ExtState, 12);
KVX1_AT(KVX1_STATE, BtChannel, 20);
KVX1_AT(KVX1_STATE, reserved3, 84);
KVX1_SIZE(KVX1_STATE, 100);

KVX1_SIZE(KVX1_INPUT_SETTING, 4);
KVX1_SIZE(KVX1_COUNTER_SETTING, 4);
KVX1_AT(KVX1_CONFIG, reserved1, 0);
KVX1_AT(KVX1_CONFIG, HeadValue, 4);
KVX1_AT(KVX1_CONFIG, InputSetting, 8);
KVX1_AT(KVX1_CONFIG, CounterSetting, 40);
KVX1_AT(KVX1_CONFIG, FurtherSettings, 56);
KVX1_SIZE(KVX1_CONFIG, 88);

KVX1_AT(KVX1_INPUT, InputValue, 0);
KVX1_AT(KVX1_INPUT, CounterInput, 16);
KVX1_AT(KVX1_INPUT, Counter, 24);
KVX1_AT(KVX1_INPUT, AuxValue, 32);
KVX1_AT(KVX1_INPUT, CounterResetted, 36);
KVX1_AT(KVX1_INPUT, MotorExReached, 44);
KVX1_AT(KVX1_INPUT, CounterResetCmdId, 52);
KVX1_AT(KVX1_INPUT, MotorExCmdId, 60);
KVX1_SIZE(KVX1_INPUT, 68);

KVX1_AT(KVX1_OUTPUT, CounterResetCmdId, 0);
KVX1_AT(KVX1_OUTPUT, OutputData, 8);
KVX1_AT(KVX1_OUTPUT, MotorExCmdId, 36);
KVX1_SIZE(KVX1_OUTPUT, 44);

KVX1_AT(KVX1_DISPLAY, Message, 0);
KVX1_AT(KVX1_DISPLAY, reserved, 100);
KVX1_SIZE(KVX1_DISPLAY, 108);

KVX1_AT(TRANSFER_STATUS, TransferState, 0);
KVX1_AT(TRANSFER_STATUS, reserved, 1);
KVX1_AT(TRANSFER_STATUS, ComError, 2);
KVX1_SIZE(TRANSFER_STATUS, 4);

KVX1_AT(CHANGE_STATE, OutputsSent, 0);
KVX1_AT(CHANGE_STATE, InputChanged, 2);
KVX1_AT(CHANGE_STATE, InputChangeMask, 3);
KVX1_AT(CHANGE_STATE, CounterInputChangeMask, 4);
KVX1_AT(CHANGE_STATE, CounterChangeMask, 5);
KVX1_AT(CHANGE_STATE, reserved, 6);
KVX1_SIZE(CHANGE_STATE, 8);

KVX1_AT(RP_TIMER, Milliseconds, 0);
KVX1_AT(RP_TIMER, Centiseconds, 2);
KVX1_AT(RP_TIMER, Deciseconds, 4);
KVX1_AT(RP_TIMER, Seconds, 6);
KVX1_AT(RP_TIMER, TenSeconds, 8);
KVX1_AT(RP_TIMER, Minutes, 10);
KVX1_SIZE(RP_TIMER, 12);
KVX1_SIZE(MOTOR, 24);
KVX1_SIZE(INPUT_SIM, 4);
KVX1_SIZE(HOOK_TABLE, 132);

KVX1_AT(KOLV_X1_TRANSFER, ShmIfInfo, 0);
KVX1_AT(KOLV_X1_TRANSFER, State, 64);
KVX1_AT(KOLV_X1_TRANSFER, Config, 164);
KVX1_AT(KOLV_X1_TRANSFER, Input, 252);
KVX1_AT(KOLV_X1_TRANSFER, Output, 320);
KVX1_AT(KOLV_X1_TRANSFER, Display, 364);
KVX1_AT(KOLV_X1_TRANSFER, TransferStatus, 472);
KVX1_AT(KOLV_X1_TRANSFER, ChangeState, 476);
KVX1_AT(KOLV_X1_TRANSFER, RpTimer, 484);
KVX1_AT(KOLV_X1_TRANSFER, Motor, 496);
KVX1_AT(KOLV_X1_TRANSFER, InputSim, 520);
KVX1_AT(KOLV_X1_TRANSFER, HookTable, 524);
KVX1_AT(KOLV_X1_TRANSFER, reserved, 656);
KVX1_SIZE(KOLV_X1_TRANSFER, 1024);
KVX1_SIZE(IF08_TRANSFER, 9216);

#undef KVX1_AT
#undef KVX1_SIZE
#undef KVX1_LAYOUT_ASSERT
#endif

/* ---- Library lifecycle and device connection ------------------------------------------------- */

/* Callbacks. The transfer callbacks and the Bluetooth callbacks run on the library's receive thread,
 * the one thread that reads the controller's replies; no reply is handled while a callback runs, so
 * a callback must return quickly. A call that waits for a reply would wait for its own thread, and
 * is therefore refused at once with KVLIB_ERR_THREAD_IS_RUNNING when made in such a callback: these
 * are kvxInitLib, kvxCloseLib, kvxOpenComDevice (and kvxOpenComDeviceNr), kvxStartTransferArea,
 * GetVoriKqMasterState, GetVoriKqInfo, KvRemoteCmd (its callback is then called once without text),
 * VKqCleanDisk, KvFileUpload and KvRamFileUpload. Everything else works in a callback, among it:
 * kvxStopTransferArea, which has stopped the transfer when it returns; kvxCloseDevice, which has
 * closed the port when it returns (no further reply of that connection reaches a callback, and the
 * receive thread ends as soon as the callback returns; a kvxOpenComDevice made meanwhile on another
 * thread waits for that); the queries of the transfer area and the setters queued for the transfer
 * cycle; and the Bluetooth operations.
 *
 * A program that ends without kvxCloseLib (it returns from main, calls exit, or its interpreter
 * stops on an error) ends normally with its own exit status: at its end the library stops a running
 * transfer, closes the device and closes itself as kvxCloseDevice and kvxCloseLib would. */

/* Starts the library: log, transfer area, events, worker threads and the 1 ms timer. Call it first;
 * KVLIB_ERR_LIB_IS_INITIALIZED when it already runs. */
KVLIB_API uint32_t kvxInitLib(void);
/* Stops what kvxInitLib started; close the device first. 0, or KVLIB_ERR_THREAD_IS_RUNNING in a
 * callback (see above), where nothing is stopped. */
KVLIB_API uint32_t kvxCloseLib(void);
/* KVLIB_ERR_LIB_IS_INITIALIZED or KVLIB_ERR_LIB_IS_NOT_INITIALIZED, never 0. */
KVLIB_API uint32_t kvxIsLibInit(void);
/* Opens the controller on the port `name` (such as COM3, or a device path on Linux), probes it and
 * reads the master, its extensions and its serial number. The port always runs at 38400 baud. Returns
 * the device handle; the result code goes to *result when result is not NULL (KVLIB_ERR_THREAD_IS_RUNNING
 * and handle 0 in a callback). The serial number is read through the shell and does not decide the
 * result: a controller that does not answer it, or whose output never reaches a prompt (given up after
 * 45 s), leaves it "0000000000". */
KVLIB_API uint32_t kvxOpenComDevice(const char* name, uint32_t baudRate, uint32_t* result);
/* Closes the connection. Always 0; a wrong handle closes nothing. A shell command or information
 * query still waiting for its answer on the connection ends at once with KVLIB_ERR_DEVICE_NOT_OPEN.
 * A running upload is waited for (see KvFileUpload), except in a callback, where the port is taken
 * from the upload instead (the upload then fails). */
KVLIB_API uint32_t kvxCloseDevice(uint32_t deviceHandle);
/* kvxOpenComDevice for the port named "COM<portNumber>" (on Linux COMn is /dev/ttyS<n-1>). A number
 * whose name would not fit 11 characters is refused with KVLIB_ERR_INVALID_PARAM. */
KVLIB_API uint32_t kvxOpenComDeviceNr(int32_t portNumber, uint32_t baudRate, uint32_t* result);
/* Closes the connection if there is one. Always 0. */
KVLIB_API uint32_t kvxCloseAllDevices(void);
/* 0 when deviceHandle is the open connection's; KVLIB_ERR_DEVICE_NOT_OPEN when there is no connection
 * or the handle is 0; KVLIB_ERR_UNKNOWN_DEVICE_HANDLE for any other value. */
KVLIB_API uint32_t kvxIsHandleValid(uint32_t deviceHandle);
/* The same as kvxIsHandleValid, under its older name. */
KVLIB_API uint32_t GetComStatus(uint32_t deviceHandle);

/* ---- Transfer area ---------------------------------------------------------------------------- */

/* Starts the cyclic exchange of the transfer area with the controllers (10 ms beat) and waits up to
 * 5 s for its first answered I/O exchange: 0 or KVLIB_ERR_TIMEOUT_TA; KVLIB_ERR_THREAD_NOT_RUNNING,
 * with the state stopped, when a stop or a failed port write ended the exchange right after its first
 * answer. A start while a transfer runs restarts it (counters reset, a new handshake); the master's
 * state is read once a second while it runs. KVLIB_ERR_THREAD_IS_RUNNING in a callback. */
KVLIB_API uint32_t kvxStartTransferArea(uint32_t deviceHandle);
/* Stops the exchange; also in a callback. Always 0. A stop while a shell command or an upload holds
 * the port stops the exchange for good: it does not resume when the port is handed back. */
KVLIB_API uint32_t kvxStopTransferArea(void);
/* KVLIB_ERR_THREAD_IS_RUNNING, KVLIB_ERR_THREAD_SYNCHRONIZED (starting) or KVLIB_ERR_THREAD_NOT_RUNNING,
 * or the handle check's code. */
KVLIB_API uint32_t kvxIsTransferActiv(uint32_t deviceHandle);
/* The transfer area (nine records), or NULL for a wrong handle. */
KVLIB_API IF08_TRANSFER* GetIF08TransferAddress(uint32_t deviceHandle);
/* The TRANSFER_STATUS of record `index` (0 to 8), or NULL for a wrong handle or index. */
KVLIB_API TRANSFER_STATUS* GetKvX1TransferStatusAddr(uint32_t deviceHandle, int32_t index);

/* ---- Transfer callbacks ------------------------------------------------------------------------- */

/* Called on the library's receive thread with two numbers; it must return quickly. What it may call
 * is said at the head of the lifecycle functions. */
typedef void (*VoriKqCallback)(int32_t a, int32_t b);
/* (shmId 1..8, 1 = extension controller known / 0 = gone). NULL removes the callback. */
KVLIB_API void SetCBVoriExtState(VoriKqCallback callback);
/* (shmId 0..8, counter 0..3) once the reset of that counter is confirmed while the transfer runs. */
KVLIB_API void SetCBCounterResetted(VoriKqCallback callback);
/* (shmId 0..8, motor 0..3) once that extended motor command is confirmed while the transfer runs. */
KVLIB_API void SetCBMotorExReached(VoriKqCallback callback);

/* ---- Controller information ------------------------------------------------------------------- */

/* Text queries copy their text with its terminator into `buffer` only when the whole text fits, that
 * is when its length is smaller than `size`, and return the length; otherwise the buffer stays
 * untouched and the result is 0. Each text is made afresh for every call, so calls on several threads
 * never see each other's text.
 *
 * Queries that take a device handle check it first and return the check's code
 * (KVLIB_ERR_DEVICE_NOT_OPEN, KVLIB_ERR_UNKNOWN_DEVICE_HANDLE) without touching their outputs; all
 * failure codes are 0xE000xxxx, far above any text length. shmId names a controller record: 0 the
 * master, 1 to 8 its extensions; any other value, or a NULL output pointer (the buffer of every text
 * query, those that need no device too), gives KVLIB_ERR_INVALID_PARAM. Texts and values come from the
 * transfer area, which holds what the controllers last reported. */

/* The library's version: 0x00010506 (major in byte 2, minor in byte 1, build in byte 0). */
KVLIB_API uint32_t kvxGetLibVersion(void);
/* "01.05.06  (2010/09/22)", 22 characters. */
KVLIB_API uint32_t kvxGetLibVersionStr(char* buffer, uint32_t size);
/* "ARO Vertriebs GmbH". Needs no device; the handle is not examined. */
KVLIB_API uint32_t kvxGetManufacturerStrg(uint32_t deviceHandle, char* buffer, uint32_t size);
/* "VORI KQ Controller". Needs no device; the handle is not examined. */
KVLIB_API uint32_t kvxGetShortNameStrg(uint32_t deviceHandle, char* buffer, uint32_t size);
/* "VORI KQ Controller". Needs no device; the handle is not examined. */
KVLIB_API uint32_t kvxGetLongNameStrg(uint32_t deviceHandle, char* buffer, uint32_t size);
/* The master's firmware version, such as "1.05". */
KVLIB_API uint32_t kvxGetFirmwareStrg(uint32_t deviceHandle, char* buffer, uint32_t size);
/* The controller's ten-character serial number, "0000000000" when it could not be read. */
KVLIB_API uint32_t kvxGetSerialNrStrg(uint32_t deviceHandle, char* buffer, uint32_t size);

/* Reads the information and state of the master and the information of every extension it reports,
 * as an open does: 0 or KVLIB_ERR_TIMEOUT; KVLIB_ERR_THREAD_IS_RUNNING, with nothing sent, while a
 * shell command or a file upload holds the port, and in a callback. */
KVLIB_API uint32_t GetVoriKqMasterState(uint32_t deviceHandle);
/* *alive = 1 when extension index + 1 (index 0 to 7) is present, else 0; 0 for any other index. */
KVLIB_API uint32_t GetVoriKqSlaveAlive(uint32_t deviceHandle, int32_t index, uint32_t* alive);
/* Reads controller shmId's information record afresh (up to 3 s): 0 once the controller's answer to
 * this very request is stored, or KVLIB_ERR_TIMEOUT; KVLIB_ERR_DEVICE_NOT_OPEN at once when the port
 * fails or is closed meanwhile; KVLIB_ERR_THREAD_IS_RUNNING, with nothing sent, while a shell service
 * holds the port, and in a callback. */
KVLIB_API uint32_t GetVoriKqInfo(uint32_t deviceHandle, int32_t shmId);
/* The device name (1 to 16 characters). */
KVLIB_API uint32_t GetVoriKqDevName(uint32_t deviceHandle, int32_t shmId, char* buffer, uint32_t size);
/* The Bluetooth address as the controller reports it. */
KVLIB_API uint32_t GetVoriKqBtAddr(uint32_t deviceHandle, int32_t shmId, char* buffer, uint32_t size);
/* The firmware version, "major.minor" with two minor digits, such as "1.05". */
KVLIB_API uint32_t GetVoriKqFwStr(uint32_t deviceHandle, int32_t shmId, char* buffer, uint32_t size);
/* The hardware release letter, or "-" when none has been reported. */
KVLIB_API uint32_t GetVoriKqHwStr(uint32_t deviceHandle, int32_t shmId, char* buffer, uint32_t size);
/* The DLL version number in decimal. */
KVLIB_API uint32_t GetVoriKqDllStr(uint32_t deviceHandle, int32_t shmId, char* buffer, uint32_t size);
/* *value = the whole FwValue of the record. */
KVLIB_API uint32_t GetVoriKqFwVal(uint32_t deviceHandle, int32_t shmId, uint32_t* value);
/* The record's SharedMemoryStart, AppAreaStart and AppAreaSize. */
KVLIB_API uint32_t GetVoriKqMemLayout(uint32_t deviceHandle, int32_t shmId, uint32_t* sharedMemoryStart,
                                      uint32_t* appAreaStart, uint32_t* appAreaSize);
/* The master's eight extension bytes (1 present) as two little-endian words: state[0] holds
 * extensions 1 to 4 (extension 1 in the lowest byte), state[1] extensions 5 to 8. */
KVLIB_API uint32_t GetVoriKqSlaveState(uint32_t deviceHandle, uint32_t* state);
/* selector 0: the serial number as kvxGetSerialNrStrg gives it; any other selector: "0000000000". */
KVLIB_API uint32_t GetVoriKqSerialStr(uint32_t deviceHandle, int32_t selector, char* buffer, uint32_t size);
/* Copies the master's eight Bluetooth channel entries (64 bytes) to channels[0..7]. */
KVLIB_API uint32_t GetVoriKqBtStatus(uint32_t deviceHandle, BT_CHANNEL* channels);

/* Sets the device name of controller shmId (1 to 16 characters, else KVLIB_ERR_WRONG_HOSTNAME_LEN and
 * nothing changes; a NULL name gives KVLIB_ERR_WRONG_HOSTNAME_LEN too, and a name is read no further
 * than its 17th character) in the transfer area and queues its write to the controller, which a running
 * transfer sends in its next cycle; without a running transfer it waits for the next start. */
KVLIB_API uint32_t SetVoriKqDevName(uint32_t deviceHandle, int32_t shmId, const char* name);
/* Sets the display message of controller shmId (its first 98 characters; byte 0 of the message block
 * stays 0, the text starts at byte 1) and queues its write like SetVoriKqDevName. */
KVLIB_API uint32_t SetVoriKqMessage(uint32_t deviceHandle, int32_t shmId, const char* text);

/* ---- Port discovery ------------------------------------------------------------------------- */

/* Lists the computer's serial ports in the library's port list (at most 32 entries) and returns their
 * number. Each entry is a display name: the port (COMn on Windows, the device path such as
 * /dev/ttyACM0 on Linux), then a blank and what the device is in parentheses, for example
 * "COM3 (Kolvex USB VORI KQ Controller)" or "/dev/rfcomm0 (Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13)";
 * cutting an entry at its first blank gives the port to open. Entries are in port order (numeric:
 * ttyACM2 before ttyACM10). Selection 0 lists every port, 1 the USB controllers ("Kolvex USB VORI"),
 * 2 the Bluetooth ports (only those of a VORI KQ service when there is one); any other gives none.
 * No port is opened. On Linux the environment variable KVLIB_PORTS adds ports as if present:
 * "path=description" pairs separated by ';', each path absolute or a COMn name (an entry that is not
 * is skipped with a line in the library log). */
KVLIB_API int32_t GetAvailableComPorts(int32_t selection);
/* Copies entry `index` of the port list with its terminator into buffer (size bytes) and returns the
 * index. KVLIB_ERR_INVALID_PARAM, with the buffer untouched, when the index is not below the count of
 * the last GetAvailableComPorts or the entry does not fit with its terminator. Entries are at most 255
 * characters; device paths are longer than COM names, so give it 256 bytes. */
KVLIB_API uint32_t EnumComPorts(uint32_t index, char* buffer, int32_t size);

/* ---- Remote shell --------------------------------------------------------------------------- */

/* Receives the controller's answer to a shell command: the text (NULL when there is none) and its
 * length. The text is valid only during the call. */
typedef void (*KvRemoteCmdCallback)(const char* reply, uint32_t length);

/* Sends one command line (at most 77 characters; a longer or NULL command gives
 * KVLIB_ERR_INVALID_PARAM, and the command is read no further than its 78th character) to the
 * controller's shell and collects the answer until the prompt follows the echo of the command. The
 * callback, which may be NULL, is called exactly once on the caller's thread before the function
 * returns. KVLIB_ERR_THREAD_IS_RUNNING, with nothing sent, while an upload or another command holds
 * the port, and in a transfer or Bluetooth callback. When the port fails (the controller is
 * unplugged) or the device is closed while the answer is awaited, the call ends at once with
 * KVLIB_ERR_DEVICE_NOT_OPEN and the callback gets no text.
 * KVLIB_ERR_TIMEOUT, with no text either, when the controller falls silent before the prompt for
 * 10 s (45 s for a command that names "flash" or "system"), and when its answer has not reached the
 * prompt 45 s after the command went out, however steadily it keeps coming. A telegram reply that
 * arrives while the command holds the port (a late answer to the transfer, a Bluetooth message) is
 * handled as at any other time and is not part of the answer; the answer is every other byte
 * received, a zero byte included. */
KVLIB_API uint32_t KvRemoteCmd(uint32_t deviceHandle, const char* command, KvRemoteCmdCallback callback);

/* Erases a storage area of the controller: 0 the RAM disk, 2 the system flash (refused), any other
 * value the flash disk. Refused, and bounded in time, like KvRemoteCmd. */
KVLIB_API uint32_t VKqCleanDisk(uint32_t deviceHandle, int32_t area);

/* ---- Upload ---------------------------------------------------------------------------------- */

/* Storage areas of the controller an upload can go to; any other value means the RAM disk. */
#define UPLOAD_RAMDISK 0
#define UPLOAD_FLASH 1
#define UPLOAD_SYSTEM 2

/* Receives the statuses of an upload, one at a time, on the library's upload thread:
 * KVLIB_ERR_UPLOAD_START; KVLIB_ERR_UPLOAD_ACK for every acknowledged block but the last;
 * KVLIB_ERR_UPLOAD_NAK for every repeated block; KVLIB_ERR_UPLOAD_CANCELED when the controller
 * cancels after a block (KVLIB_ERR_UPLOAD_FAILED follows); KVLIB_ERR_UPLOAD_CACHE_UPDATE after the
 * last block to the flash disk or the system flash; then one final status: KVLIB_ERR_UPLOAD_DONE,
 * KVLIB_ERR_UPLOAD_FAILED, KVLIB_ERR_UPLOAD_TIMEOUT, KVLIB_ERR_UPLOAD_CANCELED (cancelled before
 * the first block) or KVLIB_ERR_UPLOAD_FILE_READ_ERR. KVLIB_ERR_UPLOAD_FAILED comes at once, too,
 * when the port fails or is closed under the upload. The final status comes after the library has
 * handed the port back: from then on shell commands and the transfer area work again, and the
 * callback may start the next upload. */
typedef void (*UploadStatusCallback)(uint32_t status);

/* Uploads a file to storage area `target` (UPLOAD_RAMDISK, UPLOAD_FLASH, UPLOAD_SYSTEM) under its own
 * name: what follows the path's last separator ('\\' on Windows, '/' elsewhere). Returns 0 once the
 * upload thread runs (the outcome arrives through the callback, which may be NULL), or
 * KVLIB_ERR_UPLOAD_FILE_NOT_OPEN (also, without waiting, for anything that is not a regular file: a
 * directory, a FIFO, a device), KVLIB_ERR_UPLOAD_INVALID_FSIZE (also for a file of 4 GiB or more),
 * KVLIB_ERR_INVALID_PARAM (a NULL path, or a name that is empty, longer than 83 characters, holds a
 * '"', a '/' or a control character, or is "." or ".."), KVLIB_ERR_THREAD_IS_RUNNING while an upload
 * or a shell command runs (also from a status callback before the final one) and in a transfer or
 * Bluetooth callback,
 * KVLIB_ERR_THREAD_NOT_STARTABLE, or the device-handle check's code. While an upload runs, calls that
 * would write to the port directly are refused with KVLIB_ERR_THREAD_IS_RUNNING; kvxCloseDevice and
 * kvxCloseLib wait until it has ended (every wait of the upload has a time-out). */
KVLIB_API uint32_t KvFileUpload(uint32_t deviceHandle, const char* fileName, int32_t target,
                                UploadStatusCallback callback);

/* Uploads `size` bytes from memory under `name`, as KvFileUpload does. The memory is not copied: it
 * must stay valid until the final status has arrived. `data` may be NULL only when size is 0. The name
 * is a plain file name: one with a '/' in it, or "." or "..", is refused up front with
 * KVLIB_ERR_INVALID_PARAM (the controller would refuse it and leave the upload to time out). */
KVLIB_API uint32_t KvRamFileUpload(uint32_t deviceHandle, int32_t target, const void* data, uint32_t size,
                                   const char* name, UploadStatusCallback callback);

/* ---- Bluetooth relay ------------------------------------------------------------------------ */

/* The controller's own radio, used through the serial link: it scans, connects on up to eight relay
 * channels (1 to 8), listens for incoming connections and carries short messages. Every operation
 * returns at once: without a running transfer the request goes out on the caller's thread, while a
 * transfer runs the transfer cycle sends it within its next cycles. The controller's answers arrive
 * later, on the library's receive thread: each updates the channel's BT_CHANNEL entry in the
 * transfer area (see StatusBtConnection) and then calls the callback stored for that action and
 * channel. Callbacks must return quickly; no other reply is handled while one runs. What they may call
 * is said at the head of the lifecycle functions.
 *
 * The channel operations return the device-handle check's code, KVLIB_ERR_BT_INVALID_CHANNEL for a
 * channel outside 1 to 8 (nothing stored or sent in either case), KVLIB_ERR_THREAD_IS_RUNNING, with
 * nothing stored or sent, while a shell command or a file upload holds the port and no transfer
 * runs, or 0. A callback given (NULL included) replaces the one stored for that action and channel. */

#define BT_MESSAGE_SIZE 16     /* the longest message one request or read reply carries */
#define BT_SCAN_RECORD_SIZE 30 /* the bytes of one scan reply */

/* What a channel callback receives; valid only during the call. Length and Data are filled only for
 * a received message (BtReadMsgOn's callback); the other events leave them as the last message left
 * them. Status is the controller's answer: 0 for success, other values as the controller reports. */
typedef struct BtEvent {
    uint16_t Channel;
    uint16_t Status;
    uint16_t Length;                /* 0 to BT_MESSAGE_SIZE */
    uint8_t Data[BT_MESSAGE_SIZE];
} BtEvent;

/* What the scan callback receives, one per scan reply; valid only during the call. The first two
 * bytes (little-endian) are the scan status, 5 meaning the scan has ended; the controller defines
 * the rest. */
typedef struct BtScanEvent {
    uint8_t Data[BT_SCAN_RECORD_SIZE];
} BtScanEvent;

typedef void (*BtEventCallback)(BtEvent* event);
typedef void (*BtScanCallback)(BtScanEvent* event);

/* Starts a scan; each reply goes to `callback` until one carries status 5. */
KVLIB_API uint32_t StartScanBtDevice(uint32_t deviceHandle, BtScanCallback callback);
/* Cancels a running scan. Returns 0 at once, before any other check, when no scan runs. */
KVLIB_API uint32_t CancelScanBtDevice(uint32_t deviceHandle);
/* Connects relay channel `channel` to the device with the 6-byte address. */
KVLIB_API uint32_t ConnectBtAddress(uint32_t deviceHandle, uint32_t channel, const uint8_t* address,
                                   BtEventCallback callback);
KVLIB_API uint32_t DisconnectBt(uint32_t deviceHandle, uint32_t channel, BtEventCallback callback);
/* Sends `length` bytes (0 to BT_MESSAGE_SIZE; a longer message, or a NULL one with a length, is
 * refused with KVLIB_ERR_INVALID_PARAM) over a connected channel. With a running transfer the
 * messages of a channel wait for the next cycle, also while a shell service has paused it, and go out
 * in the order given, each answered by one call of the write callback; a channel holds at most 1024
 * messages not yet written, and a message beyond that is refused with KVLIB_ERR_THREAD_IS_RUNNING. */
KVLIB_API uint32_t SendBtMessage(uint32_t deviceHandle, uint32_t channel, uint32_t length, const uint8_t* message,
                                 BtEventCallback callback);
/* Lets the device with the 6-byte address connect to this channel; the callback hears of the listen
 * being switched on and, later, of the incoming connection. */
KVLIB_API uint32_t BtListenConOn(uint32_t deviceHandle, uint32_t channel, const uint8_t* address,
                                 BtEventCallback callback);
KVLIB_API uint32_t BtListenConOff(uint32_t deviceHandle, uint32_t channel, BtEventCallback callback);
/* Switches receiving on: every message that arrives on the channel comes to the callback. */
KVLIB_API uint32_t BtReadMsgOn(uint32_t deviceHandle, uint32_t channel, BtEventCallback callback);
KVLIB_API uint32_t BtReadMsgOff(uint32_t deviceHandle, uint32_t channel, BtEventCallback callback);
/* Copies channel `channel`'s BT_CHANNEL entry (ConnState and ListenOn in status[0], ReadOn and
 * ChannelInfo in status[1], each pair low half first) into `status` and returns `status`. Channel 0
 * gives the master's eight extension bytes instead. No handle is checked. A channel above 8, or a
 * library without a transfer area, gives two zero words; a NULL `status` gives NULL. */
KVLIB_API uint32_t* StatusBtConnection(uint32_t channel, uint32_t* status);

#ifdef __cplusplus
}
#endif

#endif /* KVAROLIB_H */
