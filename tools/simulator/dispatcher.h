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
class Dispatcher : private StreamSplitter::Sink {
  public:
    Dispatcher(Shell& shell, Protocol& protocol, Recorder& recorder)
        : shell_(shell), protocol_(protocol), recorder_(recorder) {}

    void feed(std::string_view bytes) {
        now_ = Clock::now();
        splitter_.feed(bytes, now_, *this);
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
