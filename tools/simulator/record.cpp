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

void Recorder::fault(Clock::time_point at, std::string_view what) {
    write(at, "fault " + std::string(what));
}

void Recorder::report(Clock::time_point at, std::string_view line) {
    write(at, "report " + std::string(line));
}

void Recorder::xstart(Clock::time_point at, std::string_view path, std::optional<std::uint64_t> size,
                      bool crc) {
    write(at,
          "xstart " + quoted(path) + ' ' + (size ? std::to_string(*size) : "-") + (crc ? " crc" : " sum"));
}

void Recorder::xblock(Clock::time_point at, std::optional<unsigned> number, std::size_t length,
                      std::string_view verdict, std::string_view answer, std::string_view frame,
                      std::string_view reason) {
    std::string line = "xblock " + (number ? std::to_string(*number) : "-") + ' ' + std::to_string(length) +
                       ' ' + std::string(verdict) + ' ' + std::string(answer) + ' ' + hex(frame);
    if (!reason.empty()) {
        line += ' ';
        line += reason;
    }
    write(at, line);
}

void Recorder::xeot(Clock::time_point at, std::string_view answer) {
    write(at, "xeot " + std::string(answer));
}

void Recorder::xskip(Clock::time_point at, std::string_view bytes) {
    write(at, "xskip " + hex(bytes));
}

void Recorder::xend(Clock::time_point at, std::optional<std::uint64_t> stored, std::string_view message) {
    write(at, stored ? "xend stored " + std::to_string(*stored) : "xend failed " + std::string(message));
}

}  // namespace kqsim
