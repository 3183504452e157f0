#include "control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "faults.h"
#include "log.h"
#include "protocol.h"

namespace kqsim {
namespace {

constexpr std::size_t kMaxLine = 1024;

std::string failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while ((pos = line.find_first_not_of(" \t", pos)) != std::string_view::npos) {
        const std::size_t end = std::min(line.find_first_of(" \t", pos), line.size());
        out.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

std::optional<unsigned long> number(std::string_view s, unsigned long max) {
    unsigned long n = 0;
    const char* end = s.data() + s.size();
    const auto [stop, ec] = std::from_chars(s.data(), end, n);
    if (s.empty() || ec != std::errc{} || stop != end || n > max) {
        return std::nullopt;
    }
    return n;
}

}  // namespace

ControlFifo::~ControlFifo() {
    close_ends();
    if (created_) {
        ::unlink(path_.c_str());
    }
}

bool ControlFifo::open(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            error = path + ": exists and is not a FIFO";
            return false;
        }
    } else if (::mkfifo(path.c_str(), 0600) != 0) {
        error = failure(path);
        return false;
    } else {
        created_ = true;
    }
    path_ = path;
    return open_ends(error);
}

bool ControlFifo::open_ends(std::string& error) {
    read_fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (read_fd_ >= 0) {
        write_fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (read_fd_ < 0 || write_fd_ < 0) {
        error = failure(path_);
        close_ends();
        return false;
    }
    return true;
}

void ControlFifo::close_ends() {
    for (int* fd : {&read_fd_, &write_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

std::vector<std::string> ControlFifo::take_lines() {
    std::vector<std::string> lines;
    std::array<char, 512> buf{};
    for (;;) {
        const ssize_t n = ::read(read_fd_, buf.data(), buf.size());
        if (n > 0) {
            for (const char c : std::string_view(buf.data(), static_cast<std::size_t>(n))) {
                if (c == '\n') {
                    std::string line = std::exchange(partial_, {});
                    const auto first = line.find_first_not_of(" \t\r");
                    if (first != std::string::npos && line[first] != '#') {
                        lines.push_back(std::move(line));
                    }
                } else if (partial_.size() < kMaxLine) {
                    partial_ += c;
                }
            }
            continue;
        }
        if (n == 0) {
            // Only when our own write end got lost; open afresh rather than spin on EOF.
            std::string error;
            close_ends();
            if (!open_ends(error)) {
                std::fprintf(stderr, "kqsim: control FIFO lost: %s\n", error.c_str());
            }
        }
        return lines;
    }
}

ControlOutcome run_control(std::string_view line, Protocol& protocol, XrecvFaults& xrecv,
                           Clock::time_point now) {
    // A Windows-edited script may end its lines with "\r".
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.remove_suffix(1);
    }
    const auto w = words(line);
    const auto error = [](std::string msg) {
        return ControlOutcome{ControlOutcome::Kind::Error, std::move(msg)};
    };
    if (w.empty()) {
        return {};
    }
    Responder& r = protocol.responder();
    if (w[0] == "ext" && w.size() >= 3 && (w[1] == "add" || w[1] == "remove")) {
        for (std::size_t i = 2; i < w.size(); ++i) {
            const auto k = number(w[i], kControllers - 1);
            if (!k || *k == 0) {
                return error("ext: bad extension index '" + std::string(w[i]) + "' (1..8)");
            }
            const auto idx = static_cast<unsigned>(*k);
            const bool changed = w[1] == "add" ? r.add_extension(idx, now) : r.remove_extension(idx);
            if (!changed) {
                log("extension " + std::to_string(idx) + " already " +
                    (w[1] == "add" ? "present" : "absent"));
            }
        }
        return {};
    }
    if (w[0] == "session" && w.size() == 2) {
        const auto id = number(w[1], 0xffff);
        if (!id) {
            return error("session: bad id '" + std::string(w[1]) + "' (0..65535)");
        }
        r.set_session(static_cast<std::uint16_t>(*id));
        log("session id set to " + std::to_string(*id));
        return {};
    }
    if (w[0] == "report" && w.size() == 1) {
        protocol.report(now);
        return {};
    }
    if (w[0] == "hangup" && w.size() == 1) {
        return {ControlOutcome::Kind::HangUp, {}};
    }
    if (w[0] == "fault" && w.size() >= 2) {
        // The value is the rest of the line, so that "no-reply from-io 5" keeps its two words.
        const auto value_at =
            w.size() > 2 ? static_cast<std::size_t>(w[2].data() - line.data()) : line.size();
        const std::string_view value = line.substr(value_at);
        std::string msg;
        if (is_xrecv_fault_name(w[1]) ? !set_xrecv_fault(xrecv, w[1], value, msg)
                                      : !protocol.set_fault(w[1], value, msg)) {
            return error("fault: " + msg);
        }
        if (w[1] == "clear") {
            xrecv = XrecvFaults{};
        }
        log("fault " + std::string(w[1]) + " set");
        return {};
    }
    return error("unknown command " + quoted(line));
}

}  // namespace kqsim
