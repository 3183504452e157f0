// Small text helpers shared by the subsystems that hand texts to a caller's buffer.
#pragma once

#include <cstdint>

namespace kv {

// Copies `text` with its terminator into `destination` only when the whole of it fits, that is when
// strlen(text) < size, and returns its length. Otherwise nothing is written and the result is 0, so a
// caller never gets a cut-off text. A null `destination` or `text` copies nothing and gives 0.
std::uint32_t CopyTextIfFits(char* destination, const char* text, std::uint32_t size);

}  // namespace kv
