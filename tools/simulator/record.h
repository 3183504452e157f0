#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
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
//   <ms> fault <kind> <code> <counter> <detail>
//                                   a random fault struck the reply to the request with that code
//                                   and counter: lose (detail "burst N", the first of N I/O replies
//                                   lost), late and late-config ("<n>ms"), garbage ("<n>bytes"),
//                                   split ("<n>parts"), session (the new id)
//   <ms> fault lost <code> <counter>
//                                   a further I/O reply lost in a burst
//   <ms> report <...>               the report, on the control command "report" and at exit:
//        report seed <seed> rates lose=R,late=R,late-config=R,garbage=R,split=R,session=R
//        report faults lose=N lost-replies=N late=N late-beyond=N late-config=N garbage=N split=N session=N
//        report replies <n> io <n> longest-silence <ms>
//        report held <k> config <hex>|- resets <id>,<id>,<id>,<id> motors <id>,<id>,<id>,<id> display
//        <quoted>
//                                   (one per controller present: what it holds from its client)
//        report end
//
// and for each file transfer (the shell command xrecv):
//
//   <ms> xstart <quoted path> <size> crc|sum
//                                   the receiver starts; <size> is the announced size, '-' if none,
//                                   and crc or sum the check value it asks for
//   <ms> xblock <n> <len> <verdict> <answer> <hex>[ <reason>]
//                                   a frame: <n> its block number as sent (0..255, '-' when it got
//                                   no further than its first byte), <len> its data size (128 or
//                                   1024), <verdict> ok (the expected block, whole and right), dup
//                                   (a repeat of the block before) or bad, <answer> what went back:
//                                   ack, nak, can, garbage or none; <hex> every byte of the frame
//                                   as received, from SOH or STX to the check value. <reason> says
//                                   why a block is bad (complement, checksum, incomplete,
//                                   sequence), or why a good one was not taken: refused (the NAK
//                                   fault), lost (the no-answer fault), full (a transfer without
//                                   size outgrew the area)
//   <ms> xeot ack|none              an EOT and its answer (none: a fault lost it)
//   <ms> xskip <hex>                bytes between frames that start none and are no EOT (a
//                                   single CAN shows here, and the pair that ends a transfer)
//   <ms> xend stored <bytes>        the transfer ended and the file was stored with <bytes> bytes
//   <ms> xend failed <message>      the transfer ended without a file; <message> as the shell said it
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
    void fault(Clock::time_point at, std::string_view what);
    void report(Clock::time_point at, std::string_view line);
    void xstart(Clock::time_point at, std::string_view path, std::optional<std::uint64_t> size, bool crc);
    void xblock(Clock::time_point at, std::optional<unsigned> number, std::size_t length,
                std::string_view verdict, std::string_view answer, std::string_view frame,
                std::string_view reason);
    void xeot(Clock::time_point at, std::string_view answer);
    void xskip(Clock::time_point at, std::string_view bytes);
    void xend(Clock::time_point at, std::optional<std::uint64_t> stored, std::string_view message);

  private:
    void write(Clock::time_point at, const std::string& rest);

    Clock::time_point start_;
    std::FILE* file_ = nullptr;
};

std::string hex(std::string_view bytes);

}  // namespace kqsim
