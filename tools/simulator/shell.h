#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "faults.h"
#include "options.h"
#include "out_queue.h"
#include "record.h"
#include "store.h"
#include "xmodem.h"

namespace kqsim {

// The arguments of the upload command: xrecv "/AREA/NAME" [SIZE]. The path may stand without
// quotes when it holds no blank; SIZE is decimal, 0 to 4294967295.
struct XrecvRequest {
    std::string path;
    std::optional<std::uint64_t> size;
};

// Reads them from the whole command line. Nothing, with the shell's message in `error`, when
// they do not fit. Whether the path names a file in an area is parse_stored_name's question.
std::optional<XrecvRequest> parse_xrecv(std::string_view line, std::string& error);

// The largest file an upload may bring: what the controller's areas have room for.
inline constexpr std::uint64_t kAreaCapacity = 64ULL * 1024 * 1024;

// The controller's text command shell: collects lines, echoes them, answers, and prompts.
// All output, including anything delayed, is handed to the output queue.
//
// xrecv hands the line to a file receiver after its echo and the prompt; until the transfer is
// over, every byte from the line is the receiver's (see receive()). Then the shell stores the
// file and prompts again.
class Shell {
  public:
    Shell(const Options& options, OutputQueue& out, Recorder& recorder, Store& store)
        : opt_(options), out_(out), recorder_(recorder), store_(store), xrecv_faults_(options.xrecv_faults) {}

    void feed(std::string_view bytes);
    // Called on every turn of the loop after output went out; continues a streaming answer and
    // runs the receiver's timers.
    void poll(Clock::time_point now);
    std::optional<Clock::time_point> next_wake() const;

    // While a file transfer runs, the bytes from the line go here instead of to feed(). Returns
    // how many the transfer took; the rest came after its end and are text again.
    bool receiving() const { return receiver_.has_value(); }
    std::size_t receive(std::string_view bytes, Clock::time_point now);

    // The switches the next transfers start with.
    XrecvFaults& xrecv_faults() { return xrecv_faults_; }

  private:
    struct Upload {
        std::string path;
        StoredName file;
        std::optional<std::uint64_t> size;
    };

    void take_line(std::string line);
    void handle(const std::string& line);
    void answer(std::string_view line);
    void xrecv(std::string_view line);
    void clean(Area area, std::string_view done);
    void begin_upload(Clock::time_point now);
    void end_upload(Clock::time_point now);
    std::string prompt() const { return opt_.bluetooth ? "Bluetooth>" : "USB>"; }
    void push_prompt();

    const Options& opt_;
    OutputQueue& out_;
    Recorder& recorder_;
    Store& store_;
    XrecvFaults xrecv_faults_;

    std::optional<Upload> upload_;  // accepted by the command, receiving once receiver_ runs
    std::optional<XmodemReceiver> receiver_;

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
