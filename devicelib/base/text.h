// Small text helpers shared by the subsystems that hand texts to a caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

// Copies `text` with its terminator into `destination` only when the whole of it fits, that is when
// strlen(text) < size, and returns its length. Otherwise nothing is written and the result is 0, so a
// caller never gets a cut-off text. A null `destination` or `text` copies nothing and gives 0.
std::uint32_t CopyTextIfFits(char* destination, const char* text, std::uint32_t size);

// The length of a caller's `text` up to its terminator, but no more than `limit`: the text is read no
// further than that, since it may lack a terminator where it should end. To refuse a text longer than
// `longest` without reading past it, ask with longest + 1 and refuse a result above `longest`.
// 0 for a null `text`.
std::size_t BoundedLength(const char* text, std::size_t limit);

// A caller's text as a log line shows it: at most its first `limit` characters, read no further, each
// control character written as an escape (\r, \n, \t, \xHH) so that one message stays one line;
// "(null)" for a null pointer. Callers that refuse texts longer than some length pass one more, so
// that the log shows as much of a refused text as was read to refuse it.
std::string LogText(const char* text, std::size_t limit);
// The most of a caller's text without a limit of its own (a file path) that a log line shows: a log
// message is cut at 255 characters anyway.
inline constexpr std::size_t kMaxLoggedText = 255;

}  // namespace kv
