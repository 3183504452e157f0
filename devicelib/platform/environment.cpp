// Environment variables through the C library, which keeps them the same way on every platform.
#include <cstdlib>

#include "platform/platform.h"

namespace kv::platform {

std::optional<std::string> environmentValue(const char* name) {
    if (name == nullptr) {
        return std::nullopt;
    }
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace kv::platform
