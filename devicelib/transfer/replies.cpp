#include "transfer/replies.h"

#include <array>
#include <atomic>
#include <cstring>
#include <optional>

#include "base/events.h"
#include "base/log.h"
#include "kvarolib.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "transfer/area_fields.h"
#include "transfer/engine.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_cycle.h"
#include "transfer/transfer_state.h"

namespace kv {
namespace {

// Record sizes on the wire, each with its 4-byte controller index.
constexpr std::size_t kIndexBytes = 4;
constexpr std::size_t kInfoWrRecord = 24;
constexpr std::size_t kIndexOnlyRecord = 4;
constexpr std::size_t kConfigWrRecord = 52;
constexpr std::size_t kMsgWrRecord = 104;
constexpr std::size_t kRemIoRecord = 48;
constexpr std::size_t kInfoRdReplyRecord = 68;
constexpr std::size_t kStateRdReplyRecord = 28;
constexpr std::size_t kRemIoReplyRecord = 52;
constexpr std::size_t kDisplayBytes = 100;

// The largest payload a sender builds: nine display records.
constexpr std::size_t kPayloadBytes = kControllerCount * kMsgWrRecord;

struct CallbackSlots {
    std::atomic<VoriKqCallback> extState{nullptr};
    std::atomic<VoriKqCallback> counterResetted{nullptr};
    std::atomic<VoriKqCallback> motorExReached{nullptr};
    std::atomic<std::uint8_t> configInFlight{0};
    std::atomic<std::uint32_t> configSendTime{0};
};

CallbackSlots& callbacks() {
    static CallbackSlots slots;
    return slots;
}

// A value no 8-bit ConfigId has: no configuration write has carried one.
constexpr std::uint16_t kNoConfigSent = 0x100;

struct SentConfigIds {
    SentConfigIds() {
        for (auto& id : ids) {
            id.store(kNoConfigSent);
        }
    }
    std::array<std::atomic<std::uint16_t>, kControllerCount> ids;
};

SentConfigIds& sentConfigIds() {
    static SentConfigIds sent;
    return sent;
}

// The acknowledgement a reply for controller `shmId` gives: the id its configuration write carried.
void acknowledgeSentConfigId(int shmId) {
    if (const std::optional<std::uint8_t> sent = SentConfigId(shmId)) {
        ackConfigId(shmId).store(*sent);
    }
}

void call(const std::atomic<VoriKqCallback>& slot, int a, int b) {
    if (VoriKqCallback fn = slot.load()) {
        fn(a, b);
    }
}

// Appends one record per selected controller and sends them as one telegram.
template <typename FillRecord>
int sendRecords(RequestSlotCopy& slot, std::uint32_t code, std::size_t recordSize, FillRecord fill) {
    std::array<std::uint8_t, kPayloadBytes> payload{};
    std::uint16_t count = 0;
    std::size_t used = 0;
    for (int shmId = 0; shmId < kControllerCount; ++shmId) {
        KOLV_X1_TRANSFER* rec = record(shmId);
        if (slot.select[static_cast<std::size_t>(shmId)] == 0 || rec == nullptr) {
            continue;
        }
        std::uint8_t* out = payload.data() + used;
        PutU32LE(out, static_cast<std::uint32_t>(shmId));
        requestTable().notePacked(slot, shmId);
        fill(*rec, out + kIndexBytes);
        used += recordSize;
        ++count;
    }
    if (count == 0) {
        return 0;
    }
    slot.code = code;
    TransmitLock tx;
    if (tx.build(code, count, payload.data(), static_cast<std::int16_t>(used), false) == 0) {
        return 2;
    }
    return SendIFData(false, tx.data(), tx.length()) ? 1 : 2;
}

// Calls `apply` for every record of a reply whose index names a controller, as far as the payload
// holds whole records. A record that cannot be applied is skipped with a line in the log.
template <typename Apply>
void forEachRecord(const char* handler, std::uint32_t count, const std::uint8_t* payload, std::int32_t length,
                   std::size_t recordSize, Apply apply) {
    const std::size_t available = length > 0 ? static_cast<std::size_t>(length) : 0;
    const std::uint32_t records = count & 0xFFFFu;
    for (std::uint32_t r = 0; r < records; ++r) {
        const std::size_t at = r * recordSize;
        if (at + recordSize > available) {
            LogMsg(LOG_TIME, "%s, payload too short for record %u of %u, len= %d", handler, r + 1, records,
                   length);
            return;
        }
        const std::uint32_t index = GetU32LE(payload + at);
        if (index >= static_cast<std::uint32_t>(kControllerCount)) {
            LogMsg(LOG_TIME, "%s, invalid shmId= %u, record skipped", handler, index);
            continue;
        }
        apply(static_cast<int>(index), payload + at + kIndexBytes);
    }
}

void packConfig(const KVX1_CONFIG& config, std::uint8_t* out) {
    std::array<std::uint8_t, sizeof(KVX1_CONFIG)> c{};
    loadBytesRelaxed(c.data(), &config, sizeof config);
    std::memcpy(out, c.data() + 4, 4);
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint8_t mode = c[8 + 4 * i];
        const bool digital = c[9 + 4 * i] != 0;
        out[4 + i] = static_cast<std::uint8_t>(digital ? (mode | 0x80u) : mode);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        out[12 + i] = c[40 + 4 * i];
    }
    std::memcpy(out + 16, c.data() + 56, 32);
}

void setFlags(std::uint8_t& mask, std::uint8_t& changed, const std::uint16_t* now,
              const std::uint16_t* before, int n) {
    std::uint8_t bits = 0;
    for (int i = 0; i < n; ++i) {
        if (now[i] != before[i]) {
            bits = static_cast<std::uint8_t>(bits | (1u << i));
        }
    }
    storeRelaxed(mask, bits);
    if (bits != 0) {
        storeRelaxed(changed, std::uint8_t{1});
    }
}

}  // namespace

// ---- Senders ----------------------------------------------------------------------------------

int SendInfoWrRequest(RequestSlotCopy& slot) {
    return sendRecords(slot, INFO_WR_REQUEST, kInfoWrRecord, [](KOLV_X1_TRANSFER& rec, std::uint8_t* out) {
        // The host name with its terminator; the three bytes after it stay zero.
        loadBytesRelaxed(out, rec.ShmIfInfo.Hostname, sizeof rec.ShmIfInfo.Hostname);
    });
}

int SendInfoRdRequest(RequestSlotCopy& slot) {
    return sendRecords(slot, INFO_RD_REQUEST, kIndexOnlyRecord, [](KOLV_X1_TRANSFER&, std::uint8_t*) {});
}

int SendStateRdRequest(RequestSlotCopy& slot) {
    return sendRecords(slot, STATE_RD_REQUEST, kIndexOnlyRecord, [](KOLV_X1_TRANSFER&, std::uint8_t*) {});
}

int SendConfigWrRequest(RequestSlotCopy& slot) {
    // Each record goes out with the id its reply is to acknowledge. The id is read before the
    // configuration is packed: an application changes the configuration and then its id, so what is
    // sent is at least as new as the id remembered for it.
    for (int shmId = 0; shmId < kControllerCount; ++shmId) {
        if (slot.select[static_cast<std::size_t>(shmId)] != 0 && record(shmId) != nullptr) {
            RememberSentConfigId(shmId, RecordConfigId(shmId));
        }
    }
    const int outcome =
        sendRecords(slot, REM_CONFIG_WR_REQUEST, kConfigWrRecord,
                    [](KOLV_X1_TRANSFER& rec, std::uint8_t* out) { packConfig(rec.Config, out); });
    if (outcome != 0) {
        callbacks().configSendTime.store(GetActTimerCount());
        callbacks().configInFlight.store(1);
    }
    return outcome;
}

int SendMsgWrRequest(RequestSlotCopy& slot) {
    return sendRecords(slot, MSG_WR_REQUEST, kMsgWrRecord, [](KOLV_X1_TRANSFER& rec, std::uint8_t* out) {
        loadBytesRelaxed(out, &rec.Display, kDisplayBytes);
    });
}

int SendRemIoRequest(RequestSlotCopy& slot) {
    const int outcome =
        sendRecords(slot, REM_IO_REQUEST, kRemIoRecord, [](KOLV_X1_TRANSFER& rec, std::uint8_t* out) {
            loadBytesRelaxed(out, &rec.Output, sizeof rec.Output);
        });
    if (outcome == 1) {
        for (int shmId = 0; shmId < kControllerCount; ++shmId) {
            if (slot.select[static_cast<std::size_t>(shmId)] != 0) {
                if (KOLV_X1_TRANSFER* rec = record(shmId)) {
                    storeRelaxed(rec->ChangeState.OutputsSent, std::uint16_t{1});
                }
            }
        }
    }
    return outcome;
}

std::optional<std::uint8_t> SentConfigId(int shmId) {
    if (shmId < 0 || shmId >= kControllerCount) {
        return std::nullopt;
    }
    const std::uint16_t id = sentConfigIds().ids[static_cast<std::size_t>(shmId)].load();
    if (id == kNoConfigSent) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(id);
}

void RememberSentConfigId(int shmId, std::uint8_t configId) {
    if (shmId >= 0 && shmId < kControllerCount) {
        sentConfigIds().ids[static_cast<std::size_t>(shmId)].store(configId);
    }
}

void ForgetSentConfigIds() {
    for (auto& id : sentConfigIds().ids) {
        id.store(kNoConfigSent);
    }
}

// ---- Reply handlers ---------------------------------------------------------------------------

// The waiting single exchange is woken by the parser once this handler has run.
void cbKolvX1EchoReply(std::uint32_t, const std::uint8_t*, std::int32_t) {}

void cbKolvX1IgnoreReply(std::uint32_t, const std::uint8_t*, std::int32_t) {}

void cbKolvX1ConfigWrReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    forEachRecord("cbKolvX1ConfigWrReply", count, payload, length, kIndexOnlyRecord,
                  [](int shmId, const std::uint8_t*) {
                      acknowledgeSentConfigId(shmId);
                      requestTable().unselect(SLOT_CONFIG_WR, shmId);
                  });
    requestTable().clearPending(SLOT_CONFIG_WR);
}

void cbKolvX1MsgWrReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    forEachRecord("cbKolvX1MsgWrReply", count, payload, length, kIndexOnlyRecord,
                  [](int shmId, const std::uint8_t*) { requestTable().settle(SLOT_MSG_WR, shmId); });
    requestTable().settlePending(SLOT_MSG_WR);
}

void cbKolvX1InfoWrReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    forEachRecord("cbKolvX1InfoWrReply", count, payload, length, kIndexOnlyRecord,
                  [](int shmId, const std::uint8_t*) { requestTable().settle(SLOT_INFO_WR, shmId); });
    requestTable().settlePending(SLOT_INFO_WR);
}

void cbKolvX1InfoRdReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    // Every extension whose information read was queued is announced, whether or not this reply
    // carries its record. A removal leaves that flag set, so an extension that went away before
    // its information came is skipped: it has had its (k, 0), and a (k, 1) now would tell the
    // application about a controller that is not there.
    for (int k = 1; k < kControllerCount; ++k) {
        if (requestTable().slot(SLOT_INFO_RD).select[static_cast<std::size_t>(k)].load() != 0 &&
            masterSlaveAlive(k).load() != 0) {
            call(callbacks().extState, k, 1);
        }
    }
    forEachRecord("cbKolvX1InfoRdReply", count, payload, length, kInfoRdReplyRecord,
                  [](int shmId, const std::uint8_t* info) {
                      SetKolvX1InfoData(shmId, info);
                      requestTable().unselect(SLOT_INFO_RD, shmId);
                  });
    requestTable().clearPending(SLOT_INFO_RD);
}

void SetKolvX1InfoData(int shmId, const std::uint8_t* info) {
    KOLV_X1_TRANSFER* rec = record(shmId);
    if (rec == nullptr) {
        return;
    }
    storeBytesRelaxed(&rec->ShmIfInfo, info, sizeof(KVX1_SHMIFINFO));
    KVX1_SHMIFINFO copy{};
    std::memcpy(&copy, info, sizeof copy);
    // The controller's texts are only trusted as far as their fields reach.
    copy.Hostname[sizeof copy.Hostname - 1] = '\0';
    copy.BtAddress[sizeof copy.BtAddress - 1] = '\0';
    LogMsg(LOG_TIME, "[SetKolvX1InfoData] shmId= %d", shmId);
    LogMsg(LOG_TIME, "  Hostname          : %s", copy.Hostname);
    LogMsg(LOG_TIME, "  BtAddress         : %s", copy.BtAddress);
    LogMsg(LOG_TIME, "  Hardware Release  : %s", HwReleaseText(copy).c_str());
    LogMsg(LOG_TIME, "  Firmware Version  : V %s", FirmwareText(copy).c_str());
    LogMsg(LOG_TIME, "  DLL Version       : V %s", DllVersionText(copy).c_str());
    LogMsg(LOG_TIME, "  SharedMemoryStart : 0x%08X", copy.SharedMemoryStart);
    LogMsg(LOG_TIME, "  AppAreaStart      : 0x%08X", copy.AppAreaStart);
    LogMsg(LOG_TIME, "  AppAreaSize       : 0x%08X", copy.AppAreaSize);
}

void cbKolvX1StateRdReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    forEachRecord("cbKolvX1StateRdReply", count, payload, length, kStateRdReplyRecord,
                  [](int shmId, const std::uint8_t* state) {
                      UpdateState(shmId, state);
                      requestTable().unselect(SLOT_STATE_RD, shmId);
                  });
    if (!UpdateExtensions()) {
        requestTable().clearPending(SLOT_STATE_RD);
    }
}

void UpdateState(int shmId, const std::uint8_t* state) {
    KOLV_X1_TRANSFER* rec = record(shmId);
    if (rec == nullptr) {
        return;
    }
    KVX1_STATE& st = rec->State;
    for (std::size_t k = 0; k < 8; ++k) {
        storeRelaxed(st.ExtState[k], state[k]);
        const std::uint8_t b = state[8 + k];
        BT_CHANNEL& ch = st.BtChannel[k];
        storeRelaxed(ch.ConnState, static_cast<std::uint16_t>(b & 7u));
        storeRelaxed(ch.ListenOn, static_cast<std::uint16_t>((b >> 3) & 1u));
        storeRelaxed(ch.ReadOn, static_cast<std::uint16_t>((b >> 4) & 1u));
        storeRelaxed(ch.ChannelInfo, static_cast<std::uint16_t>(state[16 + k]));
    }
    // The state record says nothing of the configuration: the reply confirms at most what a
    // configuration write has carried, never an id the application set since.
    acknowledgeSentConfigId(shmId);
    if (shmId == 0 && loadRelaxed(st.OutputInitDone) == 0) {
        InitOutputAndConfig();
        storeRelaxed(st.OutputInitDone, std::uint8_t{1});
    }
}

bool UpdateExtensions() {
    KOLV_X1_TRANSFER* master = record(0);
    if (master == nullptr) {
        return false;
    }
    RequestTable& table = requestTable();
    bool added = false;
    for (int k = 1; k < kControllerCount; ++k) {
        const std::uint8_t ext = loadRelaxed(master->State.ExtState[k - 1]);
        std::atomic<std::uint8_t>& alive = masterSlaveAlive(k);
        if (ext == 1 && alive.load() == 0) {
            LogMsg(LOG_TIME, "Add new VORI-KQ Interface (SLAVE), shmId= %d", k);
            for (int slot : {SLOT_INFO_RD, SLOT_CONFIG_WR, SLOT_STATE_RD, SLOT_REM_IO}) {
                table.slot(slot).select[static_cast<std::size_t>(k)].store(1);
            }
            alive.store(1);
            added = true;
        } else if (ext == 0 && alive.load() == 1) {
            LogMsg(LOG_TIME, "Remove VORI-KQ Interface (SLAVE), shmId= %d", k);
            for (int slot : {SLOT_CONFIG_WR, SLOT_STATE_RD, SLOT_REM_IO}) {
                table.unselect(slot, k);
            }
            alive.store(0);
            call(callbacks().extState, k, 0);
        }
    }
    if (added) {
        for (int slot : {SLOT_INFO_RD, SLOT_CONFIG_WR, SLOT_STATE_RD, SLOT_REM_IO}) {
            table.slot(slot).pending.store(1);
        }
    }
    return added;
}

void cbKolvX1RemIOReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    const std::uint32_t records = count & 0xFFFFu;
    if (length < 0 ||
        static_cast<std::uint64_t>(length) != static_cast<std::uint64_t>(records) * kRemIoReplyRecord) {
        LogMsg(LOG_TIME, "cbKolvX1RemIOReply, wrong length, len= %d, KVX1_REM_IO_REPLY= %d", length,
               static_cast<int>(kRemIoReplyRecord));
        return;
    }
    CallbackSlots& cb = callbacks();
    for (std::uint32_t r = 0; r < records; ++r) {
        const std::uint8_t* at = payload + r * kRemIoReplyRecord;
        const std::uint32_t index = GetU32LE(at);
        if (index >= static_cast<std::uint32_t>(kControllerCount)) {
            LogMsg(LOG_TIME, "cbKolvX1RemIOReply, invalid shmId= %u, record skipped", index);
            continue;
        }
        const int shmId = static_cast<int>(index);
        if (shmId == 0 && cb.configInFlight.load() == 1) {
            // Inputs stand still while a configuration write settles; the reply that ends the
            // wait is itself still dropped.
            if (GetActTimerCount() - cb.configSendTime.load() >= kConfigSettleMs) {
                cb.configInFlight.store(0);
            }
            return;
        }
        if (ackConfigId(shmId).load() == RecordConfigId(shmId)) {
            UpdateInput(shmId, at + kIndexBytes);
        }
    }
    if (CompleteTransferHandshake()) {
        SetMasterComError(0);
        SignalTransferStarted();
    }
}

void UpdateInput(int shmId, const std::uint8_t* input) {
    KOLV_X1_TRANSFER* rec = record(shmId);
    if (rec == nullptr) {
        return;
    }
    KVX1_INPUT& in = rec->Input;
    KVX1_INPUT before{};
    loadBytesRelaxed(&before, &in, sizeof before);

    std::array<std::uint16_t, 8> values{};
    std::array<std::uint16_t, 4> counterInputs{};
    std::array<std::uint16_t, 4> counters{};
    for (std::size_t i = 0; i < 8; ++i) {
        values[i] = GetU16LE(input + 2 * i);
        storeRelaxed(in.InputValue[i], static_cast<std::int16_t>(values[i]));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        counterInputs[i] = input[16 + i];
        storeRelaxed(in.CounterInput[i], counterInputs[i]);
        counters[i] = GetU16LE(input + 20 + 2 * i);
        storeRelaxed(in.Counter[i], static_cast<std::int16_t>(counters[i]));
        storeRelaxed(in.CounterResetCmdId[i], GetU16LE(input + 32 + 2 * i));
        storeRelaxed(in.MotorExCmdId[i], GetU16LE(input + 40 + 2 * i));
    }
    storeRelaxed(in.AuxValue[0], GetU16LE(input + 28));
    storeRelaxed(in.AuxValue[1], GetU16LE(input + 30));

    std::array<std::uint16_t, 8> oldValues{};
    std::array<std::uint16_t, 4> oldCounterInputs{};
    std::array<std::uint16_t, 4> oldCounters{};
    for (std::size_t i = 0; i < 8; ++i) {
        oldValues[i] = static_cast<std::uint16_t>(before.InputValue[i]);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        oldCounterInputs[i] = before.CounterInput[i];
        oldCounters[i] = static_cast<std::uint16_t>(before.Counter[i]);
    }
    CHANGE_STATE& cs = rec->ChangeState;
    setFlags(cs.InputChangeMask, cs.InputChanged, values.data(), oldValues.data(), 8);
    setFlags(cs.CounterInputChangeMask, cs.InputChanged, counterInputs.data(), oldCounterInputs.data(), 4);
    setFlags(cs.CounterChangeMask, cs.InputChanged, counters.data(), oldCounters.data(), 4);

    const bool running = MasterTransferState() == 1;
    KVX1_OUTPUT& out = rec->Output;
    for (int i = 0; i < 4; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (loadRelaxed(out.MotorExCmdId[k]) == loadRelaxed(in.MotorExCmdId[k]) &&
            loadRelaxed(in.MotorExReached[k]) == 0) {
            storeRelaxed(in.MotorExReached[k], std::uint16_t{1});
            if (running) {
                call(callbacks().motorExReached, shmId, i);
            }
        }
    }
    for (int i = 0; i < 4; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (loadRelaxed(out.CounterResetCmdId[k]) == loadRelaxed(in.CounterResetCmdId[k]) &&
            loadRelaxed(in.CounterResetted[k]) == 0) {
            storeRelaxed(in.CounterResetted[k], std::uint16_t{1});
            if (running) {
                call(callbacks().counterResetted, shmId, i);
            }
        }
    }
}

void InstallReplyHandlers() {
    SetReplyHandler(ECHO_REPLY, cbKolvX1EchoReply);
    SetReplyHandler(REM_IO_REPLY, cbKolvX1RemIOReply);
    SetReplyHandler(REM_MONITOR_REPLY, cbKolvX1IgnoreReply);
    SetReplyHandler(REM_CONFIG_RD_REPLY, cbKolvX1IgnoreReply);
    SetReplyHandler(REM_CONFIG_WR_REPLY, cbKolvX1ConfigWrReply);
    SetReplyHandler(INFO_RD_REPLY, cbKolvX1InfoRdReply);
    SetReplyHandler(STATE_RD_REPLY, cbKolvX1StateRdReply);
    SetReplyHandler(MSG_WR_REPLY, cbKolvX1MsgWrReply);
    SetReplyHandler(INFO_WR_REPLY, cbKolvX1InfoWrReply);
}

}  // namespace kv

extern "C" {

KVLIB_API void SetCBVoriExtState(VoriKqCallback callback) {
    kv::callbacks().extState.store(callback);
}
KVLIB_API void SetCBCounterResetted(VoriKqCallback callback) {
    kv::callbacks().counterResetted.store(callback);
}
KVLIB_API void SetCBMotorExReached(VoriKqCallback callback) {
    kv::callbacks().motorExReached.store(callback);
}

}  // extern "C"
