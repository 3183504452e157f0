// Setting and removing environment variables in a test process, the same way on every platform.
#pragma once

#include <cstdlib>
#include <string>

namespace kvtest {

inline void setEnvironment(const std::string& name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void unsetEnvironment(const std::string& name) {
#if defined(_WIN32)
    // An empty value removes the variable from the environment.
    _putenv_s(name.c_str(), "");
#else
    ::unsetenv(name.c_str());
#endif
}

}  // namespace kvtest
