#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "out_queue.h"

namespace kqsim {

// The log of what the controller received, for tests and benchmarks to inspect byte for byte.
// One line per event, flushed as it is written so a reader never sees half a line for long:
//
//   <ms> <code> <counter> <hex>     a request telegram: its code and request counter in decimal,
//                                   then every byte of it from start mark to end mark
//   <ms> bad <hex> <reason>         a frame that was given up (wrong checksum, no end mark, ...)
//   <ms> shell <quoted line>        a line taken by the text shell
//   <ms> control <quoted line>      a command taken from the control FIFO
//
// <ms> is the time since kqsim started in milliseconds with three decimals; hex is lower case
// without separators; a quoted line shows control characters as \r, \n or \xNN.
class Recorder {
  public:
    explicit Recorder(Clock::time_point start) : start_(start) {}
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Appends to `path` from now on; false (and `error` set) when it cannot be opened.
    bool open(const std::string& path, std::string& error);

    void telegram(Clock::time_point at, unsigned code, unsigned counter, std::string_view frame);
    void bad_frame(Clock::time_point at, std::string_view frame, std::string_view why);
    void shell(Clock::time_point at, std::string_view line);
    void control(Clock::time_point at, std::string_view line);

  private:
    void write(Clock::time_point at, const std::string& rest);

    Clock::time_point start_;
    std::FILE* file_ = nullptr;
};

std::string hex(std::string_view bytes);

}  // namespace kqsim
