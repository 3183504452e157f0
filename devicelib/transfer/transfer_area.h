// The transfer area: the library-wide block of nine controller records (layout in kvarolib.h), the
// table of their addresses, and the operations that work on single fields of it.
//
// The block is shared without a lock between the application (any thread), the receive thread that
// runs the reply handlers, the request thread that builds requests from it, and the tick thread that
// advances the run-time counters. Applications use plain memory access; inside the library every
// access to the block that another thread may make at the same time goes through the relaxed helpers
// below (loadRelaxed/storeRelaxed for single fields, the *BytesRelaxed functions for runs of bytes).
// Relaxed order is enough: the library never keeps a record consistent across fields, and order
// between threads comes from the events. What the helpers buy is that no access tears and the library
// stays free of data races under ThreadSanitizer.
//
// Lifetime: AllocateTransferArea during library start, ReleaseTransferArea during library close, after
// the worker and receive threads have stopped. Pointers taken from transferArea() or record() are valid
// only in between.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <shared_mutex>
#include <type_traits>

#include "kvarolib.h"
#include "transfer/request_table.h"  // kControllerCount, the number of records

namespace kv {

// ---- Relaxed access to shared fields ----------------------------------------------------------------

namespace detail {
template <class T>
constexpr void checkSharedField() {
    static_assert(std::is_integral_v<T>, "shared fields of the transfer area are integers");
    static_assert(std::atomic_ref<T>::is_always_lock_free, "a shared field must be accessed without a lock");
    static_assert(std::atomic_ref<T>::required_alignment <= alignof(T),
                  "a shared field must be naturally aligned");
}
}  // namespace detail

// Reads one field of the area. The const is cast away only to form the atomic_ref, which loads and
// never writes; the area is heap memory, never read-only.
template <class T>
T loadRelaxed(const T& field) {
    detail::checkSharedField<T>();
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

template <class T>
void storeRelaxed(T& field, std::type_identity_t<T> value) {
    detail::checkSharedField<T>();
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// Runs of bytes (texts, the output and configuration parts, whole reply records), copied or cleared
// one byte at a time.
void loadBytesRelaxed(void* destination, const void* source, std::size_t count);
void storeBytesRelaxed(void* destination, const void* source, std::size_t count);
void zeroBytesRelaxed(void* destination, std::size_t count);

// ---- The block ----------------------------------------------------------------------------------------

// Allocates the zeroed block, fills the record address table and writes the size report to the log.
// False when the memory cannot be had. While a block exists, a second call keeps it (other threads
// may be using it), writes nothing and returns true.
bool AllocateTransferArea();
// Frees the block, then the block's address and all record addresses read null.
void ReleaseTransferArea();

// Held shared by the receive thread while a reply handler runs, exclusively by the release: no
// handler can be using a record's address when the block is freed.
std::shared_mutex& transferAreaUse();

// A shared hold on transferAreaUse() for as long as the object lives. A thread that already holds
// one (the receive thread, while a reply handler calls the application, whose callback may query
// the area) takes no second one: a shared lock taken twice by one thread can deadlock behind a
// waiting release on some platforms.
class TransferAreaReader {
  public:
    TransferAreaReader();
    ~TransferAreaReader();
    TransferAreaReader(const TransferAreaReader&) = delete;
    TransferAreaReader& operator=(const TransferAreaReader&) = delete;

  private:
    bool owner_;
};

// The block, or null when none is allocated.
IF08_TRANSFER* transferArea();
// Record `shmId` (0 the master, 1 to 8 the extensions) from the address table; null when no block is
// allocated or the index is outside 0 to 8.
KOLV_X1_TRANSFER* record(int shmId);

// ---- Operations on single fields ------------------------------------------------------------------
// Each does nothing while no block is allocated.

// Applies a Bluetooth status code to the master's entry of `channel` (1 to 8; others are ignored):
// 0 clears ConnState, ListenOn and ReadOn; 1, 2, 3 set ConnState to that value; 12 and 248 clear
// ConnState; 8 / -9 set / clear ListenOn; 16 / -17 set / clear ReadOn; other codes change nothing.
// ChannelInfo is never changed.
void SetBtChannelStatus(int channel, std::int32_t code);

// Clears all eight Bluetooth channel entries of the master.
void ClearBtChannels();

// Clears KVX1_OUTPUT and KVX1_CONFIG of all nine records and logs that it did.
void InitOutputAndConfig();

// Presets every record's input settings to mode 1, digital, and its counter settings to mode 1.
void InitTransferValues();

// Writes the master's TransferState (0 stopped, 1 running, 2 starting); state 0 also clears the
// master's OutputInitDone, so that the next state reply resets outputs and configuration.
void SetKolvX1TransferStatus(std::uint8_t state);

// Run-time counters in order (milliseconds first), read and written field by field.
std::array<std::uint16_t, 6> LoadRunTimeCounters(const RP_TIMER& timer);
void StoreRunTimeCounters(RP_TIMER& timer, const std::array<std::uint16_t, 6>& counters);

// ---- Text forms of a record's information ----------------------------------------------------------

// The hardware release letter, or "-" when HwRelease holds no upper-case letter.
std::string HwReleaseText(const KVX1_SHMIFINFO& info);
// "major.minor" with a two-digit minor, such as "1.05".
std::string FirmwareText(const KVX1_SHMIFINFO& info);
// The DLL version number in decimal.
std::string DllVersionText(const KVX1_SHMIFINFO& info);

// ---- Companions of the block (library-wide, not in the block) --------------------------------------
// Indices are shmIds 0 to 8. An index outside that range reaches a scratch flag that is cleared each
// time it is handed out, so a bad index (say, from a reply) never touches another controller's entry.

// Per controller, the ConfigId that the controller last acknowledged.
std::atomic<std::uint8_t>& ackConfigId(int shmId);

// Per position, 1 when the controller is present (index 0 the master).
std::atomic<std::uint8_t>& masterSlaveAlive(int shmId);

}  // namespace kv
