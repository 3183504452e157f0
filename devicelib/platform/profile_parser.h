// The profile (INI) lookup behind platform::profileString, kept free of file access so that it can be
// tested and fuzzed on its own text.
//
// It follows the Windows profile API (GetPrivateProfileString), which is what existing kvLib.ini files
// were written for:
//   - "[name]" starts a section; the name runs to the last ']' on the line.
//   - "key=value" lines belong to the section above them; the key runs to the first '='.
//   - Section and key names are compared without regard to (ASCII) case, with surrounding blanks removed.
//   - The value has surrounding blanks and tabs removed, then one pair of matching surrounding quotes
//     (' or ") if present.
//   - Only the first section of a name is searched, and in it the first key of a name counts.
//   - A line without '=' names a key without a value: the lookup of that key yields nothing.
//   - Lines beginning with ';' are comments; CR LF and LF both end a line; a UTF-8 byte order mark at the
//     start is skipped (editors on Windows like to write one).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kv::platform {

// The value of `key` in `section` of the profile text `content`, or nothing when the section or the
// key is missing.
std::optional<std::string> findProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key);

}  // namespace kv::platform
