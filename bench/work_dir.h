// The scratch directory every benchmark that talks to the simulator keeps its files in.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <string>

namespace kvbench {

// Makes a fresh directory /tmp/<prefix>-XXXXXX; the library's log goes there too unless
// KVLIB_LOG_DIR already names a place. Empty, with the reason on standard error, when it cannot be
// made.
inline std::string MakeWorkDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return {};
    }
    if (std::getenv("KVLIB_LOG_DIR") == nullptr) {
        ::setenv("KVLIB_LOG_DIR", pattern.c_str(), 1);
    }
    return pattern;
}

}  // namespace kvbench
