#include "base/result_codes.h"

#include <iterator>

#include "kvarolib.h"

namespace kv {
namespace {

// The name is the macro's own spelling, so a row can never carry another code's name.
// clang-format off
#define KV_RESULT_ROW(code, text) ResultCodeRow{code, #code, text}
// clang-format on

// Some texts carry the controller family's historic spelling ("sychronized", "finnished"); tools that
// scan logs for them depend on it, so they stay as they are.
constexpr ResultCodeRow kRows[] = {
    KV_RESULT_ROW(KVLIB_ERR_SUCCESS, "Success"),
    KV_RESULT_ROW(KVLIB_ERR_NO_MEMORY, "Can't allocate memory block !"),
    KV_RESULT_ROW(KVLIB_ERR_FAILED, "KVLIB error"),
    KV_RESULT_ROW(KVLIB_ERR_LIB_IS_INITIALIZED, "KVLIB is initialized"),
    KV_RESULT_ROW(KVLIB_ERR_LIB_IS_NOT_INITIALIZED, "KVLIB is not initialized"),
    KV_RESULT_ROW(KVLIB_ERR_DEVICE_IS_OPEN, "device is open"),
    KV_RESULT_ROW(KVLIB_ERR_DEVICE_NOT_OPEN, "device is not open"),
    KV_RESULT_ROW(KVLIB_ERR_THREAD_IS_RUNNING, "IF thread is running"),
    KV_RESULT_ROW(KVLIB_ERR_THREAD_NOT_RUNNING, "IF thread is not running"),
    KV_RESULT_ROW(KVLIB_ERR_THREAD_NOT_STARTABLE, "IF Thread is not starting"),
    KV_RESULT_ROW(KVLIB_ERR_TIMEOUT, "Timeout"),
    KV_RESULT_ROW(KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE, "Invalid device handle"),
    KV_RESULT_ROW(KVLIB_ERR_INVALID_PARAM, "Invalid parameter"),
    KV_RESULT_ROW(KVLIB_ERR_INIT_COM_TIMEOUT, "Error by setting the COM time-out parameters"),
    KV_RESULT_ROW(KVLIB_ERR_SOME_DEVICES_ARE_OPEN, "Only one KQ master is supported."),
    KV_RESULT_ROW(KVLIB_ERR_UNKNOWN_DEVICE_HANDLE, "Invalid device handle"),
    KV_RESULT_ROW(KVLIB_ERR_OPEN_COM, "Error by open COM device"),
    KV_RESULT_ROW(KVLIB_ERR_INIT_COM, "Error by setting the COM controls"),
    KV_RESULT_ROW(KVLIB_ERR_ACCESS_DENIED, "COM device: Access is denied !"),
    KV_RESULT_ROW(KVLIB_ERR_THREAD_SYNCHRONIZED, "IF thread is sychronized"),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_FILE_NOT_OPEN, "Upload: Could not open file"),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_FILE_READ_ERR, "Upload: Could not read from file"),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_INVALID_FSIZE, "Upload: Invalid file size"),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_START, "Upload: Started."),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_CANCELED, "Upload: File upload was canceled"),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_FAILED, "Upload: File transfer was incorrect."),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_TIMEOUT, "Upload: Timeout."),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_ACK, "Upload: ACK received."),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_NAK, "Upload: NAK received."),
    KV_RESULT_ROW(KVLIB_ERR_UPLOAD_DONE, "Upload finnished."),
    KV_RESULT_ROW(KVLIB_ERR_TIMEOUT_TA, "Timeout by starting TransferArea"),
    KV_RESULT_ROW(KVLIB_ERR_CREATE_EVENT, "CreateEvent() failed with error."),
    KV_RESULT_ROW(KVLIB_ERR_CREATE_MM_TIMER, "Creating MultiMedia Timer."),
    KV_RESULT_ROW(KVLIB_ERR_WRONG_HOSTNAME_LEN, "Wrong hostname length."),
    KV_RESULT_ROW(KVLIB_ERR_REM_CMD_FAILED, "Send remote command failed."),
    KV_RESULT_ROW(KVLIB_ERR_FWUPD_GET_FILES, "Error by scanning Firmware files."),
    KV_RESULT_ROW(KVLIB_ERR_FWUPD_NO_FILES, "No Firmware files found!"),
    KV_RESULT_ROW(KVLIB_ERR_UNKNOWN, "Unknown error code !"),
};

#undef KV_RESULT_ROW

constexpr std::size_t kRowCount = std::size(kRows);
static_assert(kRows[kRowCount - 1].code == KVLIB_ERR_UNKNOWN, "the unknown-code row closes the table");

}  // namespace

std::span<const ResultCodeRow> ResultCodeTable() {
    return {kRows, kRowCount};
}

const ResultCodeRow& LookupResultCode(std::uint32_t code) {
    for (const ResultCodeRow& row : kRows) {
        if (row.code == code) {
            return row;
        }
    }
    return kRows[kRowCount - 1];
}

}  // namespace kv
