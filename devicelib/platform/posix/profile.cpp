// Profile (INI) values on POSIX: the file is read whole and searched by the shared parser.
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "platform/profile_parser.h"

namespace kv::platform {

std::string profileString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& fallback) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return fallback;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        return fallback;
    }
    std::optional<std::string> value = findProfileValue(content.view(), section, key);
    return value ? std::move(*value) : fallback;
}

}  // namespace kv::platform
