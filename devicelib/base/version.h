// The library's own version, as the log banner and the information queries report it.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// Major version in byte 2, minor in byte 1, build in byte 0.
inline constexpr std::uint32_t kLibraryVersion = 0x00010506u;
inline constexpr const char* kLibraryBuildDate = "2010/09/22";

// "MM.mm.bb  (build date)", e.g. "01.05.06  (2010/09/22)". A fresh string per call.
std::string LibraryVersionText();

}  // namespace kv
