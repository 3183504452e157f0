#include "platform/profile_parser.h"

namespace kv::platform {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// ASCII only: the locale must not change which key a file means.
char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view withoutQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    return value;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace

std::optional<std::string> findProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key) {
    const std::string_view wantedSection = trim(section);
    const std::string_view wantedKey = trim(key);
    if (wantedKey.empty()) {
        return std::nullopt;
    }
    if (content.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        content.remove_prefix(kUtf8Bom.size());
    }

    // Lines above the first section header belong to a section without a name.
    bool inWantedSection = wantedSection.empty();
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        const std::string_view line = trim(content.substr(pos, end - pos));
        pos = end + 1;

        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                if (inWantedSection) {
                    // The wanted section has ended without the key; later sections of the same name
                    // are not searched.
                    return std::nullopt;
                }
                inWantedSection = equalsIgnoringCase(trim(line.substr(1, close - 1)), wantedSection);
                continue;
            }
            // Without a closing bracket the line is an ordinary key line.
        }
        if (!inWantedSection) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!equalsIgnoringCase(trim(line.substr(0, equals)), wantedKey)) {
            continue;
        }
        if (equals == std::string_view::npos) {
            return std::nullopt;
        }
        return std::string(withoutQuotes(trim(line.substr(equals + 1))));
    }
    return std::nullopt;
}

}  // namespace kv::platform
