// Profile (INI) values on Windows: the system's own profile API.
#include <windows.h>

#include "platform/platform.h"

namespace kv::platform {

std::string profileString(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& fallback) {
    // Values longer than this are no setting of ours; the caller treats a cut value as unusable.
    char value[1024];
    GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), value, sizeof value,
                             file.c_str());
    return std::string(value);
}

}  // namespace kv::platform
