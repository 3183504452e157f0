// The library's port list and the discovery that fills it (GetAvailableComPorts, EnumComPorts).
//
// The list is library-wide: up to 32 entries of 256 bytes (255 characters and the terminator) and a
// count, 0 until the first discovery and after a failed one. Each discovery replaces it whole. It lives
// for the whole process, independent of kvxInitLib/kvxCloseLib and of any open device, and one mutex
// guards it, so that applications may discover and read from any thread; an entry read after another
// thread's discovery belongs to the new list.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace kv::ports {

inline constexpr std::size_t kMaxPorts = 32;
inline constexpr std::size_t kEntrySize = 256;

// Where the local Bluetooth services of a service key come from (the platform's registry in the
// library; a fake in tests).
using ServiceLookup = std::function<std::vector<platform::BluetoothService>(
    const std::string& serviceKey, std::vector<std::string>& messages)>;

// The display names of the list that `selection` asks for, built from a scan: each device that is a
// port gets its display name (cut to an entry); they are sorted by port (numerically, equal ports in
// the order found); the selection picks from them, and selection 2 keeps only the "Bluetooth VORI KQ"
// ports when there is at least one. Ports beyond the 32 an entry list holds are left out, with a line
// in `messages`. A failed scan gives an empty list.
std::vector<std::string> BuildPortList(const platform::SerialDeviceScan& scan, std::int32_t selection,
                                       const ServiceLookup& lookup, std::vector<std::string>& messages);

// Replaces the library's list with `names` (at most 32, each cut to an entry) and returns its count.
std::int32_t StorePortList(const std::vector<std::string>& names);

// A discovery over the platform's source of present devices: builds, stores and logs. The result is the
// new count.
std::int32_t DiscoverPorts(std::int32_t selection);

// A copy of the current list, for tests.
std::vector<std::string> CurrentPortList();

}  // namespace kv::ports
