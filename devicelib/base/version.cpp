#include "base/version.h"

#include <cstdio>

namespace kv {

std::string LibraryVersionText() {
    const unsigned major = (kLibraryVersion >> 16) & 0xFFu;
    const unsigned minor = (kLibraryVersion >> 8) & 0xFFu;
    const unsigned build = kLibraryVersion & 0xFFu;
    char text[64];
    const int n =
        std::snprintf(text, sizeof text, "%02u.%02u.%02u  (%s)", major, minor, build, kLibraryBuildDate);
    if (n < 0) {
        return {};
    }
    return text;
}

}  // namespace kv
