// The controller information queries: the library's own identity, what the transfer area knows about
// the master and its extensions, and the two setters that queue a device name or a display message
// for the transfer cycle.
//
// Every text is formatted into a string of its own for each call, never into a buffer that another
// call (perhaps on another thread) could overwrite while it is copied out. A text reaches the caller
// only whole: when it does not fit the buffer, the buffer stays untouched and the result is 0.
//
// A shmId names one of the nine records. Values outside 0 to 8 are refused with
// KVLIB_ERR_INVALID_PARAM before anything is looked up, so that no index can reach memory beside the
// transfer area. Null output pointers are refused the same way.
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "base/version.h"
#include "core/connection.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/exchange.h"
#include "serial/receive.h"
#include "shell/remote_cmd.h"
#include "shell/service.h"
#include "transfer/request_table.h"
#include "transfer/transfer_area.h"

namespace kv {
namespace {

constexpr const char* kManufacturer = "ARO Vertriebs GmbH";
constexpr const char* kProductName = "VORI KQ Controller";
// What the second serial-number selector reports: the controller has only the one number.
constexpr const char* kNoSerialNumber = "0000000000";

constexpr std::size_t kHostnameField = sizeof(KVX1_SHMIFINFO::Hostname);
constexpr std::size_t kMaxHostnameLength = kHostnameField - 1;
// The message block that MSG_WR_REQUEST sends: byte 0 stays 0, the text starts at byte 1 and the last
// byte is always 0.
constexpr std::size_t kMessageBlock = sizeof(KVX1_DISPLAY::Message);
constexpr std::size_t kMaxMessageLength = kMessageBlock - 2;

bool validShmId(std::int32_t shmId) {
    return shmId >= 0 && shmId < IF08_MAX;
}

// One controller record, held for the length of a query: kvxCloseLib frees the transfer area only
// when no query is reading it, and a query started after the release sees no record.
class RecordView {
  public:
    explicit RecordView(std::int32_t shmId) : record_(record(shmId)) {}
    RecordView(const RecordView&) = delete;
    RecordView& operator=(const RecordView&) = delete;

    explicit operator bool() const { return record_ != nullptr; }
    KOLV_X1_TRANSFER& operator*() const { return *record_; }
    KOLV_X1_TRANSFER* operator->() const { return record_; }

  private:
    TransferAreaReader use_;
    KOLV_X1_TRANSFER* record_;
};

// A text field of a record, read no further than the field: a controller that filled the field
// without a terminator yields its first size-1 characters, never bytes of the next field.
template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
    char copy[N];
    loadBytesRelaxed(copy, field, N);
    copy[N - 1] = '\0';
    return copy;
}

std::uint32_t copyText(const std::string& text, char* buffer, std::uint32_t size) {
    if (buffer == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    return CopyTextIfFits(buffer, text.c_str(), size);
}

// The common frame of the text queries on one record: handle check, index check, then the text that
// `format` makes of the record's information, copied out whole or not at all.
template <class Format>
std::uint32_t recordText(std::uint32_t handle, std::int32_t shmId, char* buffer, std::uint32_t size,
                         Format format) {
    if (const std::uint32_t rc = CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (!validShmId(shmId)) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    std::string text;
    {
        const RecordView rec(shmId);
        if (!rec) {
            // The connection outlived kvxCloseLib: there is no transfer area to read.
            return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
        }
        text = format(rec->ShmIfInfo);
    }
    return copyText(text, buffer, size);
}

}  // namespace
}  // namespace kv

extern "C" {

// ---- The library's identity ------------------------------------------------------------------------

KVLIB_API std::uint32_t kvxGetLibVersion(void) {
    return kv::kLibraryVersion;
}

KVLIB_API std::uint32_t kvxGetLibVersionStr(char* buffer, std::uint32_t size) {
    return kv::copyText(kv::LibraryVersionText(), buffer, size);
}

// The three identity texts need no device; the handle is taken only to keep the family's signature.
KVLIB_API std::uint32_t kvxGetManufacturerStrg(std::uint32_t /*handle*/, char* buffer, std::uint32_t size) {
    return kv::copyText(kv::kManufacturer, buffer, size);
}

KVLIB_API std::uint32_t kvxGetShortNameStrg(std::uint32_t /*handle*/, char* buffer, std::uint32_t size) {
    return kv::copyText(kv::kProductName, buffer, size);
}

KVLIB_API std::uint32_t kvxGetLongNameStrg(std::uint32_t /*handle*/, char* buffer, std::uint32_t size) {
    return kv::copyText(kv::kProductName, buffer, size);
}

// ---- Texts of one controller record ----------------------------------------------------------------

KVLIB_API std::uint32_t kvxGetFirmwareStrg(std::uint32_t handle, char* buffer, std::uint32_t size) {
    return kv::recordText(handle, 0, buffer, size, kv::FirmwareText);
}

KVLIB_API std::uint32_t GetVoriKqDevName(std::uint32_t handle, std::int32_t shmId, char* buffer,
                                         std::uint32_t size) {
    return kv::recordText(handle, shmId, buffer, size,
                          [](const KVX1_SHMIFINFO& info) { return kv::fieldText(info.Hostname); });
}

KVLIB_API std::uint32_t GetVoriKqBtAddr(std::uint32_t handle, std::int32_t shmId, char* buffer,
                                        std::uint32_t size) {
    return kv::recordText(handle, shmId, buffer, size,
                          [](const KVX1_SHMIFINFO& info) { return kv::fieldText(info.BtAddress); });
}

KVLIB_API std::uint32_t GetVoriKqFwStr(std::uint32_t handle, std::int32_t shmId, char* buffer,
                                       std::uint32_t size) {
    return kv::recordText(handle, shmId, buffer, size, kv::FirmwareText);
}

KVLIB_API std::uint32_t GetVoriKqHwStr(std::uint32_t handle, std::int32_t shmId, char* buffer,
                                       std::uint32_t size) {
    return kv::recordText(handle, shmId, buffer, size, kv::HwReleaseText);
}

KVLIB_API std::uint32_t GetVoriKqDllStr(std::uint32_t handle, std::int32_t shmId, char* buffer,
                                        std::uint32_t size) {
    return kv::recordText(handle, shmId, buffer, size, kv::DllVersionText);
}

// ---- Serial number -----------------------------------------------------------------------------------

KVLIB_API std::uint32_t GetVoriKqSerialStr(std::uint32_t handle, std::int32_t selector, char* buffer,
                                           std::uint32_t size) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    const std::string serial = selector == 0 ? kv::SerialNumberText() : std::string(kv::kNoSerialNumber);
    return kv::copyText(serial, buffer, size);
}

KVLIB_API std::uint32_t kvxGetSerialNrStrg(std::uint32_t handle, char* buffer, std::uint32_t size) {
    return GetVoriKqSerialStr(handle, 0, buffer, size);
}

// ---- Values of one controller record -------------------------------------------------------------

KVLIB_API std::uint32_t GetVoriKqFwVal(std::uint32_t handle, std::int32_t shmId, std::uint32_t* value) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (!kv::validShmId(shmId) || value == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const kv::RecordView rec(shmId);
    if (!rec) {
        return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
    }
    *value = kv::loadRelaxed(rec->ShmIfInfo.FwValue);
    return 0;
}

KVLIB_API std::uint32_t GetVoriKqMemLayout(std::uint32_t handle, std::int32_t shmId,
                                           std::uint32_t* sharedMemoryStart, std::uint32_t* appAreaStart,
                                           std::uint32_t* appAreaSize) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (!kv::validShmId(shmId) || sharedMemoryStart == nullptr || appAreaStart == nullptr ||
        appAreaSize == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const kv::RecordView rec(shmId);
    if (!rec) {
        return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
    }
    *sharedMemoryStart = kv::loadRelaxed(rec->ShmIfInfo.SharedMemoryStart);
    *appAreaStart = kv::loadRelaxed(rec->ShmIfInfo.AppAreaStart);
    *appAreaSize = kv::loadRelaxed(rec->ShmIfInfo.AppAreaSize);
    return 0;
}

// ---- The master's view of its extensions and Bluetooth channels ----------------------------------

KVLIB_API std::uint32_t GetVoriKqSlaveAlive(std::uint32_t handle, std::int32_t index, std::uint32_t* alive) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (alive == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    constexpr std::int32_t kExtensions = static_cast<std::int32_t>(sizeof(KVX1_STATE::ExtState));
    if (index < 0 || index >= kExtensions) {
        // No such extension: reported as absent, as callers that scan past the end expect.
        *alive = 0;
        return 0;
    }
    const kv::RecordView master(0);
    if (!master) {
        return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
    }
    *alive = kv::loadRelaxed(master->State.ExtState[index]);
    return 0;
}

KVLIB_API std::uint32_t GetVoriKqSlaveState(std::uint32_t handle, std::uint32_t* state) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (state == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const kv::RecordView master(0);
    if (!master) {
        return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
    }
    // Composed byte by byte, so the words are little-endian whatever the host reads: extensions 1 to
    // 4 in the first word (extension 1 the lowest byte), 5 to 8 in the second.
    std::uint32_t words[2] = {0, 0};
    for (std::size_t e = 0; e < sizeof master->State.ExtState; ++e) {
        const std::uint32_t byte = kv::loadRelaxed(master->State.ExtState[e]);
        words[e / 4] |= byte << (8 * (e % 4));
    }
    state[0] = words[0];
    state[1] = words[1];
    return 0;
}

KVLIB_API std::uint32_t GetVoriKqBtStatus(std::uint32_t handle, BT_CHANNEL* channels) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (channels == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const kv::RecordView master(0);
    if (!master) {
        return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
    }
    for (std::size_t ch = 0; ch < sizeof master->State.BtChannel / sizeof(BT_CHANNEL); ++ch) {
        const BT_CHANNEL& from = master->State.BtChannel[ch];
        channels[ch] = BT_CHANNEL{kv::loadRelaxed(from.ConnState), kv::loadRelaxed(from.ListenOn),
                                  kv::loadRelaxed(from.ReadOn), kv::loadRelaxed(from.ChannelInfo)};
    }
    return 0;
}

// ---- Exchanges with the controller ------------------------------------------------------------------

KVLIB_API std::uint32_t GetVoriKqMasterState(std::uint32_t handle) {
    // Every exchange waits for a reply that the receive thread delivers.
    if (kv::RefusedOnReceiveThread("GetVoriKqMasterState")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    // The exchanges write telegrams at once; while a shell command or an upload has the port they
    // would land in its dialogue.
    const kv::DirectTelegramScope direct;
    if (direct.refused()) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    return kv::ReadMasterSlaveState();
}

KVLIB_API std::uint32_t GetVoriKqInfo(std::uint32_t handle, std::int32_t shmId) {
    if (kv::RefusedOnReceiveThread("GetVoriKqInfo")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (!kv::validShmId(shmId)) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const kv::DirectTelegramScope direct;
    if (direct.refused()) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    return kv::ReadVoriKqInfo(static_cast<std::uint32_t>(shmId));
}

// ---- Setters queued for the transfer cycle ------------------------------------------------------------

KVLIB_API std::uint32_t SetVoriKqDevName(std::uint32_t handle, std::int32_t shmId, const char* name) {
    // Written before any check, so that the log shows every attempt, refused ones too.
    kv::LogMsg(kv::LOG_TIME, "[SetVoriKqDevName]  shmId= %d, hostname: [%s]", shmId,
               kv::LogText(name, kv::kMaxHostnameLength + 1).c_str());
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (!kv::validShmId(shmId)) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const std::size_t length = name != nullptr ? kv::BoundedLength(name, kv::kMaxHostnameLength + 1) : 0;
    if (length == 0 || length > kv::kMaxHostnameLength) {
        return KVLIB_ERR_WRONG_HOSTNAME_LEN;
    }
    // The whole field is written: the name, its terminator, and zeros after it, since the information
    // write sends all 17 bytes and must not carry what a longer earlier name left behind.
    char field[kv::kHostnameField] = {};
    for (std::size_t i = 0; i < length; ++i) {
        field[i] = name[i];
    }
    {
        const kv::RecordView rec(shmId);
        if (!rec) {
            return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
        }
        kv::storeBytesRelaxed(rec->ShmIfInfo.Hostname, field, sizeof field);
    }
    // Queued after the name is in place, so the request thread cannot send the old one.
    kv::requestTable().queue(kv::SLOT_INFO_WR, shmId);
    return 0;
}

KVLIB_API std::uint32_t SetVoriKqMessage(std::uint32_t handle, std::int32_t shmId, const char* text) {
    if (const std::uint32_t rc = kv::CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    if (!kv::validShmId(shmId) || text == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    // Built aside and stored in one pass, so that the request thread never sends a block that is
    // cleared but not yet written.
    char block[kv::kMessageBlock] = {};
    const std::size_t length = kv::BoundedLength(text, kv::kMaxMessageLength);
    for (std::size_t i = 0; i < length; ++i) {
        block[1 + i] = text[i];
    }
    {
        const kv::RecordView rec(shmId);
        if (!rec) {
            return KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
        }
        kv::storeBytesRelaxed(rec->Display.Message, block, sizeof block);
    }
    kv::requestTable().queue(kv::SLOT_MSG_WR, shmId);
    return 0;
}

}  // extern "C"
