// The result codes of the library with their names and the texts that the log and the programs show.
#pragma once

#include <cstdint>
#include <span>

namespace kv {

struct ResultCodeRow {
    std::uint32_t code;
    const char* name;
    const char* text;
};

// Every code that has a text, in the order the library has always listed them.
std::span<const ResultCodeRow> ResultCodeTable();

// The row of `code`; a code without a row of its own yields the KVLIB_ERR_UNKNOWN row.
const ResultCodeRow& LookupResultCode(std::uint32_t code);

}  // namespace kv
