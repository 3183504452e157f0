#include "shell.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "log.h"

namespace kqsim {
namespace {

// A real controller has a small line buffer; we only need to bound memory against a client
// that never sends a line end, or floods us while an answer streams.
constexpr std::size_t kMaxLine = 1024;
constexpr std::size_t kMaxWaiting = 64;

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

bool listed(const std::vector<std::string>& list, const std::string& line) {
    return std::find(list.begin(), list.end(), line) != list.end();
}

std::string quote(std::string_view w) {
    std::string s(1, '\'');
    s.append(w).push_back('\'');
    return s;
}

}  // namespace

void Shell::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (c == '\n' && after_cr_) {
            after_cr_ = false;
            continue;
        }
        after_cr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            take_line(std::exchange(partial_, {}));
        } else if (partial_.size() < kMaxLine) {
            partial_ += c;
        }
    }
}

void Shell::take_line(std::string line) {
    recorder_.shell(Clock::now(), line);
    if (!stream_) {
        handle(line);
    } else if (waiting_.size() < kMaxWaiting) {
        waiting_.push_back(std::move(line));
    } else {
        log("dropping line " + quoted(line) + ": too many waiting");
    }
}

void Shell::handle(const std::string& line) {
    log("line " + quoted(line));
    if (listed(opt_.ignore, line)) {
        log("ignoring it");
        return;
    }
    if (listed(opt_.hangup_on, line)) {
        log("hanging up once earlier output is out");
        out_.push_hang_up();
        return;
    }
    if (line.empty()) {
        out_.push("\r\n");
        push_prompt();
        return;
    }
    if (opt_.stale_prompt) {
        out_.push(prompt());
    }
    out_.push(line + "\r\n");
    if (opt_.endless) {
        stream_ = Stream{0};
        return;
    }
    answer(line);
    push_prompt();
}

void Shell::answer(std::string_view line) {
    const auto w = words(line);
    if (w.empty()) {
        return;
    }
    if (w[0] == "get_ser_num") {
        out_.push(w.size() > 1 ? "get_ser_num: unexpected argument " + quote(w[1]) + "\r\n"
                               : opt_.serial + "\r\n");
    } else if (w[0] == "clean_disk") {
        if (w.size() < 2) {
            out_.push("clean_disk: missing area (ramdisk or flash)\r\n");
        } else if (w.size() > 2) {
            out_.push("clean_disk: unexpected argument " + quote(w[2]) + "\r\n");
        } else if (w[1] == "ramdisk") {
            out_.push("RAM disk cleaned.\r\n", opt_.clean_delay);
        } else if (w[1] == "flash") {
            out_.push("Flash disk cleaned.\r\n", opt_.clean_delay);
        } else {
            out_.push("clean_disk: unknown area " + quote(w[1]) + "\r\n");
        }
    } else {
        out_.push("ERROR: unknown command " + quote(w[0]) + "\r\n");
    }
}

void Shell::push_prompt() {
    const std::string p = prompt();
    if (!opt_.split_prompt) {
        out_.push(p);
        return;
    }
    const std::size_t half = p.size() / 2;
    out_.push(p.substr(0, half));
    out_.push(p.substr(half), *opt_.split_prompt);
}

void Shell::poll() {
    // One streamed line at a time, each queued once the previous one has gone out, so an
    // endless answer never piles up in memory when the client stops reading.
    if (!stream_ || !out_.empty()) {
        return;
    }
    const auto& endless = *opt_.endless;
    if (endless.count && stream_->written >= *endless.count) {
        stream_.reset();
        push_prompt();
        while (!stream_ && !waiting_.empty()) {
            const std::string line = std::move(waiting_.front());
            waiting_.pop_front();
            handle(line);
        }
        return;
    }
    ++stream_->written;
    out_.push("data " + std::to_string(stream_->written) + "\r\n", endless.gap);
}

}  // namespace kqsim
