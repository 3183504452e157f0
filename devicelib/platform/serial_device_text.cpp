// The text formats behind the serial-device sources: the KVLIB_PORTS variable and the key files in
// which BlueZ keeps what it knows of a remote device. No OS access here, so both compile everywhere and
// are tested and fuzzed on plain text.
#include <cstddef>
#include <cstdint>

#include "platform/serial_devices.h"

namespace kv::platform {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// The escapes GLib writes into key-file values: \s \n \t \r \\. Anything else after a backslash is
// kept as it stands.
std::string unescapeKeyFileValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out.push_back(value[i]);
            continue;
        }
        switch (value[i + 1]) {
            case 's':
                out.push_back(' ');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case '\\':
                out.push_back('\\');
                break;
            default:
                out.push_back('\\');
                out.push_back(value[i + 1]);
                break;
        }
        ++i;
    }
    return out;
}

char lowerCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<std::uint32_t> comPortNumber(std::string_view portName) {
    if (portName.size() < 4 || lowerCase(portName[0]) != 'c' || lowerCase(portName[1]) != 'o' ||
        lowerCase(portName[2]) != 'm') {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (char c : portName.substr(3)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(number);
}

std::vector<SerialDevice> parsePortsVariable(std::string_view text, std::vector<std::string>& messages) {
    std::vector<SerialDevice> devices;
    while (!text.empty()) {
        const std::size_t end = text.find(';');
        const std::string_view entry = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (trimBlanks(entry).empty()) {
            continue;
        }
        const std::size_t equals = entry.find('=');
        const std::string_view path = trimBlanks(entry.substr(0, equals));
        bool usable = !path.empty() && path.size() <= kMaxPortNameLength &&
                      (path.front() == '/' || comPortNumber(path).has_value());
        for (char c : path) {
            usable = usable && !isBlank(c) && !isControl(c);
        }
        if (!usable) {
            messages.push_back("KVLIB_PORTS: entry '" + std::string(entry) + "' skipped, no usable path");
            continue;
        }
        SerialDevice device;
        device.portName = std::string(path);
        if (equals != std::string_view::npos) {
            const std::string_view description = trimBlanks(entry.substr(equals + 1));
            if (!description.empty()) {
                device.description = std::string(description);
            }
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

std::optional<std::string> keyFileValue(std::string_view content, std::string_view group,
                                        std::string_view key) {
    bool inGroup = false;
    bool groupSeen = false;
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view{} : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::string_view trimmed = trimBlanks(line);
        if (trimmed.empty() || trimmed.front() == '#') {
            continue;
        }
        if (trimmed.front() == '[') {
            if (inGroup) {
                // Only the first group of the name is searched.
                return std::nullopt;
            }
            const std::size_t close = trimmed.find(']');
            inGroup = !groupSeen && close != std::string_view::npos && trimmed.substr(1, close - 1) == group;
            groupSeen = groupSeen || inGroup;
            continue;
        }
        if (!inGroup) {
            continue;
        }
        const std::size_t equals = trimmed.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (trimBlanks(trimmed.substr(0, equals)) == key) {
            return unescapeKeyFileValue(trimBlanks(trimmed.substr(equals + 1)));
        }
    }
    return std::nullopt;
}

}  // namespace kv::platform
