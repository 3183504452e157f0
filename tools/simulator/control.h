#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "out_queue.h"

namespace kqsim {

class Protocol;
struct XrecvFaults;

// A named pipe through which tests steer the controller while it runs. kqsim creates it (or
// takes over a FIFO already at the path), keeps a write end of its own open so the pipe never
// reports end-of-file between writers, and removes it at exit if it created it. Lines are text;
// blank lines and lines starting with '#' are skipped.
class ControlFifo {
  public:
    ControlFifo() = default;
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;

    bool open(const std::string& path, std::string& error);
    bool is_open() const { return read_fd_ >= 0; }
    int fd() const { return read_fd_; }
    // Reads what is there; returns the complete lines.
    std::vector<std::string> take_lines();

  private:
    bool open_ends(std::string& error);
    void close_ends();

    std::string path_;
    bool created_ = false;
    int read_fd_ = -1;
    int write_fd_ = -1;
    std::string partial_;
};

// The control commands:
//   ext add K [K ...]            extension controllers K (1..8) appear
//   ext remove K [K ...]         ... and disappear
//   session N                    the controller's session id becomes N (0..65535)
//   hangup                       hang the line up at once, as SIGUSR1 does
//   fault NAME [VALUE]           set a fault switch, NAME as the option without "--":
//                                  fault no-reply once|always|from-io N|off
//                                  fault lose-io N                (0: off)
//                                  fault late-reply MS[:N]        (MS 0: off)
//                                  fault bad-checksum N|always|off
//                                  fault no-end-mark N|always|off
//                                  fault unknown-code N|always|off
//                                  fault short-io-reply N|always|off
//                                  fault garbage N                 (0: off)
//                                  fault hangup-after-io N|off
//                                  fault byte-at-a-time [on|off]
//                                  fault silent-probe [on|off]
//                                  fault silent-state [on|off]
//                                  fault random-faults RATE|KIND=RATE[,KIND=RATE...]|off
//                                  fault seed N                    (restarts the draws)
//                                N counts from this command on: 1 is the next one.
//                                The upload switches act from the next xrecv command on, and
//                                BLOCK counts within each transfer:
//                                  fault xrecv-nak BLOCK:TIMES|off
//                                  fault xrecv-can-before-first [on|off]
//                                  fault xrecv-can-after BLOCK|off
//                                  fault xrecv-garbage BLOCK|off
//                                  fault xrecv-no-answer BLOCK|off
//                                  fault xrecv-no-eot-answer [on|off]
//   fault clear                  every fault switch off, the upload switches too
//   report                       write the report to the record: the seed, the random faults
//                                injected per kind, the replies, and what each controller holds
struct ControlOutcome {
    enum class Kind { Done, HangUp, Error } kind = Kind::Done;
    std::string error;
};
ControlOutcome run_control(std::string_view line, Protocol& protocol, XrecvFaults& xrecv,
                           Clock::time_point now);

}  // namespace kqsim
