#pragma once

#include <string_view>

#include "log.h"
#include "protocol.h"
#include "record.h"
#include "shell.h"
#include "telegram.h"

namespace kqsim {

// Every byte the client sends passes through here before any protocol sees it. The line carries
// shell text and binary request frames (they begin 0x02 0x55), never both at the same time; the
// splitter tells them apart so the shell never sees a frame and the telegram side never sees text.
// A file transfer started by the shell is the exception: from the end of its command line until
// the transfer is over, every byte is the receiver's, whatever it looks like (a block of the
// file may well hold 0x02 0x55).
class Dispatcher : private StreamSplitter::Sink {
  public:
    Dispatcher(Shell& shell, Protocol& protocol, Recorder& recorder)
        : shell_(shell), protocol_(protocol), recorder_(recorder) {}

    void feed(std::string_view bytes) { feed(bytes, Clock::now()); }

    void feed(std::string_view bytes, Clock::time_point now) {
        now_ = now;
        while (!bytes.empty()) {
            if (shell_.receiving()) {
                const std::size_t taken = shell_.receive(bytes, now_);
                if (taken == 0 && shell_.receiving()) {
                    return;  // cannot happen: a running transfer takes what comes
                }
                bytes.remove_prefix(taken);
                continue;
            }
            // One line at a time, since the line's end may start a transfer that takes the rest.
            // The splitter does not mind where its input is cut.
            const std::size_t end = bytes.find_first_of("\r\n");
            const std::size_t n = end == std::string_view::npos ? bytes.size() : end + 1;
            splitter_.feed(bytes.substr(0, n), now_, *this);
            bytes.remove_prefix(n);
        }
    }

  private:
    void text(std::string_view bytes) override { shell_.feed(bytes); }
    void frame(std::string_view frame) override { protocol_.receive(frame, now_); }
    void bad_frame(std::string_view frame, std::string_view why) override {
        log("frame ignored (" + std::string(why) + "): " + hex(frame));
        recorder_.bad_frame(now_, frame, why);
    }

    Shell& shell_;
    Protocol& protocol_;
    Recorder& recorder_;
    StreamSplitter splitter_;
    Clock::time_point now_{};
};

}  // namespace kqsim
