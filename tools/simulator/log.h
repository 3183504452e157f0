#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kqsim {

// Set once from --verbose before the loop starts; the program is single-threaded.
inline bool verbose_log = false;

inline void log(std::string_view msg) {
    if (verbose_log) {
        std::fprintf(stderr, "kqsim: %.*s\n", static_cast<int>(msg.size()), msg.data());
        std::fflush(stderr);
    }
}

// Renders bytes for the log with control characters made visible, so "\r" in a received line
// does not garble the terminal the log goes to.
inline std::string quoted(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s = "'";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            s += "\\r";
        } else if (c == '\n') {
            s += "\\n";
        } else if (u < 0x20 || u >= 0x7f || c == '\\') {
            s += "\\x";
            s += kHex[u >> 4];
            s += kHex[u & 0xf];
        } else {
            s += c;
        }
    }
    return s + "'";
}

}  // namespace kqsim
