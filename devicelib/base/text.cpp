#include "base/text.h"

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

}  // namespace kv
