#include "base/text.h"

#include <cstdio>
#include <cstring>

namespace kv {

std::uint32_t CopyTextIfFits(char* destination, const char* text, std::uint32_t size) {
    if (destination == nullptr || text == nullptr) {
        return 0;
    }
    // Look no further than `size` characters: the text may be longer than any buffer it could go to,
    // and a text with no terminator in reach does not fit.
    std::uint32_t length = 0;
    while (length < size && text[length] != '\0') {
        ++length;
    }
    if (length >= size) {
        return 0;
    }
    std::memcpy(destination, text, std::size_t{length} + 1);
    return length;
}

std::size_t BoundedLength(const char* text, std::size_t limit) {
    if (text == nullptr) {
        return 0;
    }
    std::size_t n = 0;
    while (n < limit && text[n] != '\0') {
        ++n;
    }
    return n;
}

std::string LogText(const char* text, std::size_t limit) {
    if (text == nullptr) {
        return "(null)";
    }
    const std::size_t length = BoundedLength(text, limit);
    std::string shown;
    shown.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

}  // namespace kv
