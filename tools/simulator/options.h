#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "faults.h"
#include "responder.h"

namespace kqsim {

struct Options {
    std::string link_path;  // empty: no symlink
    std::string serial = "KQ10042317";
    std::chrono::milliseconds clean_delay{300};
    bool bluetooth = false;  // the controller reached over its Bluetooth bridge prompts differently

    // Faults a misbehaving controller can show; each combines with the others.
    bool silent = false;
    std::optional<std::chrono::milliseconds> split_prompt;
    bool stale_prompt = false;
    struct Endless {
        std::chrono::milliseconds gap;
        std::optional<unsigned long> count;  // none: stream until hang-up or exit
    };
    std::optional<Endless> endless;
    std::vector<std::string> ignore;
    std::vector<std::string> hangup_on;
    unsigned long line_rate = 0;  // baud to pace output at; 0: as fast as the pty takes it

    // The telegram side: the controllers, their faults, and the two side channels.
    ResponderSettings responder;
    FaultSettings faults;
    bool seed_given = false;   // else a seed for the random faults is taken from the clock
    std::string control_path;  // empty: no control FIFO
    std::string record_path;   // empty: nothing recorded

    // File transfers (xrecv) and the storage areas they fill.
    std::string store_dir;  // empty: a temporary directory, made on the first upload, removed at exit
    bool xrecv_crc = true;  // the receiver asks with 'C'; false: with NAK
    std::chrono::milliseconds flash_delay{500};  // before the EOT of a flash or system upload is ACKed
    std::chrono::milliseconds xrecv_timeout{10000};
    XrecvFaults xrecv_faults;

    bool verbose = false;
};

struct ParseResult {
    enum class Status { Run, Help, Error } status = Status::Run;
    Options options;
    std::string error;
};

ParseResult parse_options(std::span<char* const> args);
void print_usage(std::FILE* to);

}  // namespace kqsim
