#include "ports/port_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "base/text.h"
#include "kvarolib.h"
#include "ports/port_rules.h"

namespace kv::ports {
namespace {

struct PortTable {
    std::mutex mutex;
    std::array<std::array<char, kEntrySize>, kMaxPorts> entries{};
    std::int32_t count = 0;
};

PortTable& portTable() {
    static PortTable table;
    return table;
}

struct Candidate {
    std::string label;
    std::string displayName;
};

Candidate candidateFor(const platform::SerialDevice& device, const std::string& label,
                       const ServiceLookup& lookup, std::vector<std::string>& messages) {
    std::string address;
    std::string serviceName;
    if (device.bluetoothUniqueId) {
        if (std::optional<UniqueIdAddress> id = AddressFromUniqueId(*device.bluetoothUniqueId)) {
            address = id->address;
            if (lookup) {
                serviceName = MatchServiceName(lookup(id->serviceKey, messages), address);
            }
        }
    } else if (device.bluetoothAddress) {
        if (std::optional<std::string> stackAddress = AddressFromStackText(*device.bluetoothAddress)) {
            address = *stackAddress;
            serviceName = device.bluetoothName.value_or(std::string());
        }
    }
    return Candidate{label, CutToLength(DisplayName(label, device.description, address, serviceName))};
}

}  // namespace

std::vector<std::string> BuildPortList(const platform::SerialDeviceScan& scan, std::int32_t selection,
                                       const ServiceLookup& lookup, std::vector<std::string>& messages) {
    if (!scan.ok) {
        return {};
    }
    std::vector<Candidate> ports;
    for (const platform::SerialDevice& device : scan.devices) {
        if (std::optional<std::string> label = PortLabel(device.portName)) {
            ports.push_back(candidateFor(device, *label, lookup, messages));
        }
    }
    std::stable_sort(ports.begin(), ports.end(), [](const Candidate& a, const Candidate& b) {
        return ComparePortLabels(a.label, b.label) < 0;
    });

    std::vector<std::string> names;
    for (Candidate& port : ports) {
        if (SelectionTakes(selection, port.displayName)) {
            names.push_back(std::move(port.displayName));
        }
    }
    if (selection == 2) {
        // A controller's own Bluetooth service wins over every other Bluetooth port.
        const auto isVoriPort = [](const std::string& name) {
            return name.find("Bluetooth VORI KQ") != std::string::npos;
        };
        if (std::any_of(names.begin(), names.end(), isVoriPort)) {
            std::erase_if(names, [&](const std::string& name) { return !isVoriPort(name); });
        }
    }
    if (names.size() > kMaxPorts) {
        // The list holds 32 entries; the highest ports are the ones left out, so that the lower ones
        // keep their places whatever else is attached.
        messages.push_back("GetAvailableComPorts(), " + std::to_string(names.size() - kMaxPorts) +
                           " ports left out, the list holds " + std::to_string(kMaxPorts) +
                           " (first left out: " + names[kMaxPorts] + ")");
        names.resize(kMaxPorts);
    }
    return names;
}

std::int32_t StorePortList(const std::vector<std::string>& names) {
    PortTable& table = portTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    std::int32_t count = 0;
    for (auto& entry : table.entries) {
        entry.fill('\0');
    }
    for (const std::string& name : names) {
        if (static_cast<std::size_t>(count) == kMaxPorts) {
            break;
        }
        const std::string cut = CutToLength(name, kEntrySize - 1);
        std::memcpy(table.entries[static_cast<std::size_t>(count)].data(), cut.c_str(), cut.size() + 1);
        ++count;
    }
    table.count = count;
    return count;
}

std::int32_t DiscoverPorts(std::int32_t selection) {
    std::vector<std::string> messages;
    const platform::SerialDeviceScan scan = platform::presentSerialDevices();
    const std::vector<std::string> names =
        BuildPortList(scan, selection, platform::localBluetoothServices, messages);
    for (const std::string& line : scan.messages) {
        LogMsg(LOG_TIME, "%s", line.c_str());
    }
    for (const std::string& line : messages) {
        LogMsg(LOG_TIME, "%s", line.c_str());
    }
    return StorePortList(names);
}

std::vector<std::string> CurrentPortList() {
    PortTable& table = portTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < table.count; ++i) {
        names.emplace_back(table.entries[static_cast<std::size_t>(i)].data());
    }
    return names;
}

}  // namespace kv::ports

extern "C" {

KVLIB_API std::int32_t GetAvailableComPorts(std::int32_t selection) {
    try {
        return kv::ports::DiscoverPorts(selection);
    } catch (...) {
        // Out of memory while reading the system: the list is left empty, as after any failed discovery.
        return kv::ports::StorePortList({});
    }
}

KVLIB_API std::uint32_t EnumComPorts(std::uint32_t index, char* buffer, std::int32_t size) {
    kv::ports::PortTable& table = kv::ports::portTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (buffer == nullptr || size <= 0 || index >= static_cast<std::uint32_t>(table.count)) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    const char* entry = table.entries[index].data();
    // An empty entry would copy as a success of length 0; it is no port.
    if (entry[0] == '\0' || kv::CopyTextIfFits(buffer, entry, static_cast<std::uint32_t>(size)) == 0) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    return index;
}

}  // extern "C"
