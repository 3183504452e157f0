#include "transfer/transfer_area.h"

#include <bit>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <new>

#include "base/log.h"

namespace kv {
namespace {

// Applications read the multi-byte fields in place, so the host's byte order must be the layout's.
static_assert(std::endian::native == std::endian::little, "the transfer area is laid out little-endian");
static_assert(std::is_standard_layout_v<IF08_TRANSFER> && std::is_trivially_copyable_v<IF08_TRANSFER>,
              "the transfer area must stay a plain C record");
// The widest shared fields are 32-bit; a 4-aligned record keeps each of them naturally aligned in every
// record of the block.
static_assert(alignof(KOLV_X1_TRANSFER) == 4, "records are 4-aligned");
static_assert(kControllerCount == IF08_MAX, "one record per controller");

constexpr int kBtChannels = static_cast<int>(sizeof(KVX1_STATE::BtChannel) / sizeof(BT_CHANNEL));

// The block and its companions. The mutex serialises only allocation and release; everything else is
// read and written through the atomics.
struct AreaState {
    std::mutex lifecycle;
    std::atomic<IF08_TRANSFER*> block{nullptr};
    std::array<std::atomic<KOLV_X1_TRANSFER*>, IF08_MAX> records{};
    std::array<std::atomic<std::uint8_t>, IF08_MAX> ackConfigId{};
    std::array<std::atomic<std::uint8_t>, IF08_MAX> alive{};
    std::atomic<std::uint8_t> scratch{0};
};

AreaState& areaState() {
    static AreaState state;
    return state;
}

bool validShmId(int shmId) {
    return shmId >= 0 && shmId < IF08_MAX;
}

std::atomic<std::uint8_t>& companion(std::array<std::atomic<std::uint8_t>, IF08_MAX>& table, int shmId) {
    if (!validShmId(shmId)) {
        std::atomic<std::uint8_t>& scratch = areaState().scratch;
        scratch.store(0);
        return scratch;
    }
    return table[static_cast<std::size_t>(shmId)];
}

int sizeOf(std::size_t size) {
    return static_cast<int>(size);
}

void writeSizeReport() {
    LogMsg(LOG_LINE, "%s", "");
    LogMsg(LOG_INFO, "  size KVX1_SHMIFINFO   = %d", sizeOf(sizeof(KVX1_SHMIFINFO)));
    LogMsg(LOG_INFO, "  size KVX1_STATE       = %d", sizeOf(sizeof(KVX1_STATE)));
    LogMsg(LOG_INFO, "  size KVX1_CONFIG      = %d", sizeOf(sizeof(KVX1_CONFIG)));
    LogMsg(LOG_INFO, "  size KVX1_INPUT       = %d", sizeOf(sizeof(KVX1_INPUT)));
    LogMsg(LOG_INFO, "  size KVX1_OUTPUT      = %d", sizeOf(sizeof(KVX1_OUTPUT)));
    LogMsg(LOG_INFO, "  size KVX1_DISPLAY     = %d", sizeOf(sizeof(KVX1_DISPLAY)));
    LogMsg(LOG_INFO, "  size TRANSFER_STATUS  = %d", sizeOf(sizeof(TRANSFER_STATUS)));
    LogMsg(LOG_INFO, "  size CHANGE_STATE     = %d", sizeOf(sizeof(CHANGE_STATE)));
    LogMsg(LOG_INFO, "  size RP_TIMER         = %d", sizeOf(sizeof(RP_TIMER)));
    LogMsg(LOG_INFO, "  size MOTOR            = %d", sizeOf(sizeof(MOTOR)));
    LogMsg(LOG_INFO, "  size INPUT_SIM        = %d", sizeOf(sizeof(INPUT_SIM)));
    LogMsg(LOG_INFO, "  size HOOK_TABLE       = %d", sizeOf(sizeof(HOOK_TABLE)));
    LogMsg(LOG_INFO, "  RESERVE_SIZE          = %d", RESERVE_SIZE);
    LogMsg(LOG_INFO, "  size KOLV_X1_TRANSFER = %d", sizeOf(sizeof(KOLV_X1_TRANSFER)));
    LogMsg(LOG_INFO, "size IF08_MAX           = %d", IF08_MAX);
    LogMsg(LOG_INFO, "size IF08_TRANSFER      = %d\n", sizeOf(sizeof(IF08_TRANSFER)));
}

// Byte `index` (0 the lowest) of a little-endian 32-bit field.
int byteOf(std::uint32_t value, int index) {
    return static_cast<int>((value >> (8 * index)) & 0xFFu);
}

}  // namespace

void loadBytesRelaxed(void* destination, const void* source, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < count; ++i) {
        to[i] = loadRelaxed(from[i]);
    }
}

void storeBytesRelaxed(void* destination, const void* source, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    const auto* from = static_cast<const unsigned char*>(source);
    for (std::size_t i = 0; i < count; ++i) {
        storeRelaxed(to[i], from[i]);
    }
}

void zeroBytesRelaxed(void* destination, std::size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    for (std::size_t i = 0; i < count; ++i) {
        storeRelaxed(to[i], 0);
    }
}

bool AllocateTransferArea() {
    AreaState& st = areaState();
    std::lock_guard lock(st.lifecycle);
    if (st.block.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    // Value-initialisation zeroes every byte of the plain record.
    auto* block = new (std::nothrow) IF08_TRANSFER();
    if (block == nullptr) {
        return false;
    }
    for (int k = 0; k < IF08_MAX; ++k) {
        st.records[static_cast<std::size_t>(k)].store(&block->Record[k], std::memory_order_release);
    }
    st.block.store(block, std::memory_order_release);
    writeSizeReport();
    return true;
}

void ReleaseTransferArea() {
    AreaState& st = areaState();
    std::lock_guard lock(st.lifecycle);
    IF08_TRANSFER* block = st.block.exchange(nullptr, std::memory_order_acq_rel);
    for (auto& address : st.records) {
        address.store(nullptr, std::memory_order_release);
    }
    // A connection may outlive the library's close: its receive thread may be inside a reply
    // handler that took a record's address just before. Wait for that handler to return.
    std::unique_lock use(transferAreaUse());
    delete block;
}

std::shared_mutex& transferAreaUse() {
    static std::shared_mutex m;
    return m;
}

namespace {
thread_local int areaReadDepth = 0;
}  // namespace

TransferAreaReader::TransferAreaReader() : owner_(areaReadDepth == 0) {
    if (owner_) {
        transferAreaUse().lock_shared();
    }
    ++areaReadDepth;
}

TransferAreaReader::~TransferAreaReader() {
    --areaReadDepth;
    if (owner_) {
        transferAreaUse().unlock_shared();
    }
}

IF08_TRANSFER* transferArea() {
    return areaState().block.load(std::memory_order_acquire);
}

KOLV_X1_TRANSFER* record(int shmId) {
    if (!validShmId(shmId)) {
        return nullptr;
    }
    return areaState().records[static_cast<std::size_t>(shmId)].load(std::memory_order_acquire);
}

void SetBtChannelStatus(int channel, std::int32_t code) {
    KOLV_X1_TRANSFER* master = record(0);
    if (master == nullptr || channel < 1 || channel > kBtChannels) {
        return;
    }
    BT_CHANNEL& entry = master->State.BtChannel[channel - 1];
    switch (code) {
        case 0:
            storeRelaxed(entry.ConnState, 0);
            storeRelaxed(entry.ListenOn, 0);
            storeRelaxed(entry.ReadOn, 0);
            break;
        case 1:
        case 2:
        case 3:
            storeRelaxed(entry.ConnState, static_cast<std::uint16_t>(code));
            break;
        case 12:
        case 248:
            storeRelaxed(entry.ConnState, 0);
            break;
        // 8 / -9 and 16 / -17 are the set and clear forms of the listen bit (3) and the read bit (4).
        case 8:
            storeRelaxed(entry.ListenOn, 1);
            break;
        case -9:
            storeRelaxed(entry.ListenOn, 0);
            break;
        case 16:
            storeRelaxed(entry.ReadOn, 1);
            break;
        case -17:
            storeRelaxed(entry.ReadOn, 0);
            break;
        default:
            break;
    }
}

void ClearBtChannels() {
    KOLV_X1_TRANSFER* master = record(0);
    if (master == nullptr) {
        return;
    }
    for (BT_CHANNEL& entry : master->State.BtChannel) {
        storeRelaxed(entry.ConnState, 0);
        storeRelaxed(entry.ListenOn, 0);
        storeRelaxed(entry.ReadOn, 0);
        storeRelaxed(entry.ChannelInfo, 0);
    }
}

void InitOutputAndConfig() {
    if (transferArea() == nullptr) {
        return;
    }
    for (int k = 0; k < IF08_MAX; ++k) {
        if (KOLV_X1_TRANSFER* r = record(k)) {
            zeroBytesRelaxed(&r->Output, sizeof r->Output);
            zeroBytesRelaxed(&r->Config, sizeof r->Config);
        }
    }
    LogMsg(LOG_TIME, "Initialization output and config area...");
}

void InitTransferValues() {
    if (transferArea() == nullptr) {
        return;
    }
    for (int k = 0; k < IF08_MAX; ++k) {
        KOLV_X1_TRANSFER* r = record(k);
        if (r == nullptr) {
            continue;
        }
        for (KVX1_INPUT_SETTING& input : r->Config.InputSetting) {
            storeRelaxed(input.Mode, 1);
            storeRelaxed(input.Digital, 1);
            zeroBytesRelaxed(input.reserved, sizeof input.reserved);
        }
        for (KVX1_COUNTER_SETTING& counter : r->Config.CounterSetting) {
            storeRelaxed(counter.Mode, 1);
            zeroBytesRelaxed(counter.reserved, sizeof counter.reserved);
        }
    }
    LogMsg(LOG_TIME, "InitTransferValues, Initialization of TransferArea (output)...");
}

void SetKolvX1TransferStatus(std::uint8_t state) {
    KOLV_X1_TRANSFER* master = record(0);
    if (master == nullptr) {
        return;
    }
    storeRelaxed(master->TransferStatus.TransferState, state);
    LogMsg(LOG_TIME, "SetKolvX1TransferStatus, set status = %d", state);
    if (state == 0) {
        storeRelaxed(master->State.OutputInitDone, 0);
    }
}

std::array<std::uint16_t, 6> LoadRunTimeCounters(const RP_TIMER& timer) {
    return {loadRelaxed(timer.Milliseconds), loadRelaxed(timer.Centiseconds), loadRelaxed(timer.Deciseconds),
            loadRelaxed(timer.Seconds),      loadRelaxed(timer.TenSeconds),   loadRelaxed(timer.Minutes)};
}

void StoreRunTimeCounters(RP_TIMER& timer, const std::array<std::uint16_t, 6>& counters) {
    storeRelaxed(timer.Milliseconds, counters[0]);
    storeRelaxed(timer.Centiseconds, counters[1]);
    storeRelaxed(timer.Deciseconds, counters[2]);
    storeRelaxed(timer.Seconds, counters[3]);
    storeRelaxed(timer.TenSeconds, counters[4]);
    storeRelaxed(timer.Minutes, counters[5]);
}

std::string HwReleaseText(const KVX1_SHMIFINFO& info) {
    // Compared as ASCII on purpose: the locale must not decide what counts as a release letter.
    const std::uint8_t release = loadRelaxed(info.HwRelease);
    if (release >= 'A' && release <= 'Z') {
        return std::string(1, static_cast<char>(release));
    }
    return "-";
}

std::string FirmwareText(const KVX1_SHMIFINFO& info) {
    const std::uint32_t fw = loadRelaxed(info.FwValue);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d", byteOf(fw, 2), byteOf(fw, 3));
    return text;
}

std::string DllVersionText(const KVX1_SHMIFINFO& info) {
    return std::to_string(byteOf(loadRelaxed(info.FwValue), 1));
}

std::atomic<std::uint8_t>& ackConfigId(int shmId) {
    return companion(areaState().ackConfigId, shmId);
}

std::atomic<std::uint8_t>& masterSlaveAlive(int shmId) {
    return companion(areaState().alive, shmId);
}

}  // namespace kv
