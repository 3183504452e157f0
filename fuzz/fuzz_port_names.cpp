// Feeds arbitrary bytes to everything discovery reads from the system: Windows port names and unique
// identifiers, stack addresses, KVLIB_PORTS values and BlueZ key files, and builds a port list from
// records made of the input. Whatever comes in, every entry must fit the list, begin with a port that a
// cut at its first blank gives back, carry no control character, and there are never more than 32.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_devices.h"
#include "ports/port_list.h"
#include "ports/port_rules.h"

namespace {

using kv::platform::BluetoothService;
using kv::platform::SerialDevice;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Splits the input at NUL bytes into the fields of one record after another.
std::vector<std::string_view> fields(std::string_view input) {
    std::vector<std::string_view> out;
    while (!input.empty()) {
        const std::size_t end = input.find('\0');
        out.push_back(input.substr(0, end));
        input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    if (const auto number = kv::ports::ComPortNumber(input)) {
        check(kv::ports::PortLabel(input) == "COM" + std::to_string(*number));
    }
    if (const auto id = kv::ports::AddressFromUniqueId(input)) {
        check(id->address.size() == 17 && id->serviceKey.size() < size);
    }
    if (const auto address = kv::ports::AddressFromStackText(input)) {
        check(kv::ports::StoredBdAddr(*address).has_value());
    }
    std::vector<std::string> messages;
    for (const SerialDevice& device : kv::platform::parsePortsVariable(input, messages)) {
        check(!device.portName.empty() && device.portName.find(';') == std::string::npos);
    }
    if (const auto name = kv::platform::keyFileValue(input, "General", "Name")) {
        check(name->size() <= size);
    }

    // Records of five fields each: port name, description, unique id, stack address, remote name.
    const std::vector<std::string_view> parts = fields(input);
    kv::platform::SerialDeviceScan scan;
    scan.ok = true;
    for (std::size_t i = 0; i + 5 <= parts.size(); i += 5) {
        SerialDevice device;
        device.portName = std::string(parts[i]);
        if (!parts[i + 1].empty()) {
            device.description = std::string(parts[i + 1]);
        }
        if (!parts[i + 2].empty()) {
            device.bluetoothUniqueId = std::string(parts[i + 2]);
        }
        device.bluetoothAddress = std::string(parts[i + 3]);
        device.bluetoothName = std::string(parts[i + 4]);
        scan.devices.push_back(std::move(device));
    }
    const std::string serviceName(parts.empty() ? std::string_view{} : parts.back());
    const kv::ports::ServiceLookup lookup = [&](const std::string&, std::vector<std::string>&) {
        std::vector<BluetoothService> services{BluetoothService{serviceName, {}}};
        if (const auto stored = kv::ports::StoredBdAddr(serviceName)) {
            services.push_back(BluetoothService{serviceName, *stored});
        }
        return services;
    };
    for (std::int32_t selection = 0; selection <= 2; ++selection) {
        const std::vector<std::string> names = kv::ports::BuildPortList(scan, selection, lookup, messages);
        check(names.size() <= kv::ports::kMaxPorts);
        for (const std::string& name : names) {
            check(name.size() <= kv::ports::kMaxEntryLength);
            const std::string port = name.substr(0, name.find(' '));
            check(kv::ports::PortLabel(port) == port);
            for (char c : name) {
                check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
            }
        }
    }
    return 0;
}
