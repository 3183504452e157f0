#include "record.h"

#include <cerrno>
#include <cstring>

#include "log.h"

namespace kqsim {

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        s += kDigits[u >> 4];
        s += kDigits[u & 0xf];
    }
    return s;
}

Recorder::~Recorder() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool Recorder::open(const std::string& path, std::string& error) {
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Recorder::write(Clock::time_point at, const std::string& rest) {
    if (file_ == nullptr) {
        return;
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count();
    std::fprintf(file_, "%lld.%03lld %s\n", static_cast<long long>(us / 1000),
                 static_cast<long long>(us % 1000), rest.c_str());
    std::fflush(file_);
}

void Recorder::telegram(Clock::time_point at, unsigned code, unsigned counter, std::string_view frame) {
    write(at, std::to_string(code) + ' ' + std::to_string(counter) + ' ' + hex(frame));
}

void Recorder::bad_frame(Clock::time_point at, std::string_view frame, std::string_view why) {
    write(at, "bad " + hex(frame) + ' ' + std::string(why));
}

void Recorder::shell(Clock::time_point at, std::string_view line) {
    write(at, "shell " + quoted(line));
}

void Recorder::control(Clock::time_point at, std::string_view line) {
    write(at, "control " + quoted(line));
}

}  // namespace kqsim
