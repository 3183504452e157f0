#include "ports/port_rules.h"

#include <algorithm>

namespace kv::ports {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

char lowerCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

void appendShown(std::string& out, std::string_view text) {
    for (char c : text) {
        out.push_back(isControl(c) ? '?' : c);
    }
}

}  // namespace

std::optional<std::uint32_t> ComPortNumber(std::string_view portName) {
    // One rule for the whole library: the KVLIB_PORTS reader below this layer uses it too.
    return platform::comPortNumber(portName);
}

std::optional<std::string> PortLabel(std::string_view portName) {
    if (std::optional<std::uint32_t> number = ComPortNumber(portName)) {
        return "COM" + std::to_string(*number);
    }
    if (portName.empty() || portName.front() != '/' || portName.size() > kMaxEntryLength) {
        return std::nullopt;
    }
    for (char c : portName) {
        if (c == ' ' || isControl(c)) {
            return std::nullopt;
        }
    }
    return std::string(portName);
}

std::optional<UniqueIdAddress> AddressFromUniqueId(std::string_view uniqueId) {
    const std::size_t hash = uniqueId.find('#');
    if (hash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = uniqueId.substr(hash + 1);
    if (rest.size() < 12 || rest.substr(0, 12) == "000000000000") {
        return std::nullopt;
    }
    UniqueIdAddress result;
    result.serviceKey = std::string(uniqueId.substr(0, hash));
    for (std::size_t pair = 0; pair < 6; ++pair) {
        if (pair != 0) {
            result.address.push_back(':');
        }
        result.address.append(rest.substr(pair * 2, 2));
    }
    return result;
}

std::optional<std::string> AddressFromStackText(std::string_view text) {
    if (text.size() != 17) {
        return std::nullopt;
    }
    bool allZero = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2) {
            if (text[i] != ':') {
                return std::nullopt;
            }
        } else if (hexValue(text[i]) < 0) {
            return std::nullopt;
        } else {
            allZero = allZero && text[i] == '0';
        }
    }
    if (allZero) {
        return std::nullopt;
    }
    return std::string(text);
}

std::optional<std::array<std::uint8_t, 8>> StoredBdAddr(std::string_view address) {
    if (address.size() != 17) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 8> stored{};
    for (std::size_t pair = 0; pair < 6; ++pair) {
        const std::string_view digits = address.substr(pair * 3, 2);
        if (pair != 5 && address[pair * 3 + 2] != ':') {
            return std::nullopt;
        }
        const int high = hexValue(digits[0]);
        if (high < 0) {
            return std::nullopt;
        }
        const int low = hexValue(digits[1]);
        const int value = low < 0 ? high : high * 16 + low;
        stored[5 - pair] = static_cast<std::uint8_t>(value);
    }
    return stored;
}

std::string MatchServiceName(const std::vector<platform::BluetoothService>& services,
                             std::string_view address) {
    const std::optional<std::array<std::uint8_t, 8>> stored = StoredBdAddr(address);
    if (!stored) {
        return {};
    }
    for (const platform::BluetoothService& service : services) {
        if (service.storedAddress == *stored) {
            return service.name;
        }
    }
    return {};
}

bool IsVoriServiceName(std::string_view name) {
    static constexpr std::string_view kVori = "vori";
    if (name.size() < kVori.size()) {
        return false;
    }
    for (std::size_t start = 0; start + kVori.size() <= name.size(); ++start) {
        bool match = true;
        for (std::size_t i = 0; i < kVori.size() && match; ++i) {
            match = lowerCase(name[start + i]) == kVori[i];
        }
        if (match) {
            return true;
        }
    }
    return false;
}

std::string DisplayName(const std::string& label, const std::optional<std::string>& description,
                        const std::string& address, const std::string& serviceName) {
    std::string name = label;
    if (!description) {
        // Without a description the port is named by itself alone, even a Bluetooth port.
        return name;
    }
    if (!address.empty() && IsVoriServiceName(serviceName)) {
        name += " (Bluetooth VORI KQ [";
        appendShown(name, serviceName);
        name += "] MAC ";
        appendShown(name, address);
        name += ")";
    } else if (!address.empty()) {
        name += " (Seriell-Bluetooth, MAC ";
        appendShown(name, address);
        name += ")";
    } else {
        name += " (";
        appendShown(name, *description);
        name += ")";
    }
    return name;
}

std::string CutToLength(std::string text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t cut = limit;
    // Step back over continuation bytes (10xxxxxx) so that the last character stays whole; the
    // lead byte they belong to goes with them.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) {
        --cut;
    }
    text.resize(cut);
    return text;
}

int ComparePortLabels(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the runs as numbers of any length: without leading zeros, the longer run is the
            // larger number, and runs of equal length compare digit by digit.
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && isDigit(a[ei])) {
                ++ei;
            }
            while (ej < b.size() && isDigit(b[ej])) {
                ++ej;
            }
            std::string_view ra = a.substr(i, ei - i);
            std::string_view rb = b.substr(j, ej - j);
            while (ra.size() > 1 && ra.front() == '0') {
                ra.remove_prefix(1);
            }
            while (rb.size() > 1 && rb.front() == '0') {
                rb.remove_prefix(1);
            }
            if (ra.size() != rb.size()) {
                return ra.size() < rb.size() ? -1 : 1;
            }
            if (const int c = ra.compare(rb); c != 0) {
                return c < 0 ? -1 : 1;
            }
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size()) {
        return 1;
    }
    return j < b.size() ? -1 : 0;
}

bool SelectionTakes(std::int32_t selection, std::string_view displayName) {
    switch (selection) {
        case 0:
            return true;
        case 1:
            return displayName.find("Kolvex USB VORI") != std::string_view::npos;
        case 2:
            return displayName.find("Bluetooth") != std::string_view::npos ||
                   displayName.find("BT Port") != std::string_view::npos;
        default:
            return false;
    }
}

}  // namespace kv::ports
