#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "options.h"
#include "out_queue.h"
#include "record.h"

namespace kqsim {

// The controller's text command shell: collects lines, echoes them, answers, and prompts.
// All output, including anything delayed, is handed to the output queue.
class Shell {
  public:
    Shell(const Options& options, OutputQueue& out, Recorder& recorder)
        : opt_(options), out_(out), recorder_(recorder) {}

    void feed(std::string_view bytes);
    // Called on every turn of the loop after output went out; continues a streaming answer.
    void poll();

  private:
    void take_line(std::string line);
    void handle(const std::string& line);
    void answer(std::string_view line);
    std::string prompt() const { return opt_.bluetooth ? "Bluetooth>" : "USB>"; }
    void push_prompt();

    const Options& opt_;
    OutputQueue& out_;
    Recorder& recorder_;

    std::string partial_;
    bool after_cr_ = false;  // a '\n' straight after '\r' belongs to the same line end

    // While an answer streams, later lines wait their turn.
    struct Stream {
        unsigned long written;
    };
    std::optional<Stream> stream_;
    std::deque<std::string> waiting_;
};

}  // namespace kqsim
