// Feeds arbitrary bytes to the settings-file parser as the text of a kvLib.ini. The parser must accept
// anything (binary junk, missing line ends, stray brackets and quotes) without reading out of bounds,
// and whatever it returns must be part of the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/profile_parser.h"

namespace {

struct Lookup {
    const char* section;
    const char* key;
};

constexpr Lookup kLookups[] = {
    {"LOGGING", "LogLevel"},  {"logging", "logrx"}, {"LOGGING", "Statistic"},
    {"", "LogLevel"},         {" a ", "b"},         {"[x]", "=y"},
    {"LOGGING", ";LogLevel"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    for (const Lookup& lookup : kLookups) {
        const std::optional<std::string> value =
            kv::platform::findProfileValue(content, lookup.section, lookup.key);
        // A value is a piece of one line of the input: never longer than the input, never a line end.
        if (value && (value->size() > size || value->find('\n') != std::string::npos)) {
            std::abort();
        }
    }
    return 0;
}
