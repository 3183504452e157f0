#include "shell.h"

#include <algorithm>
#include <charconv>
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

constexpr std::string_view kBlanks = " \t";

}  // namespace

std::optional<XrecvRequest> parse_xrecv(std::string_view line, std::string& error) {
    const auto usage = [&error]() -> std::optional<XrecvRequest> {
        error = "usage: xrecv \"/AREA/NAME\" [SIZE], AREA ramdisk, flash or system";
        return std::nullopt;
    };
    std::size_t pos = line.find_first_not_of(kBlanks);
    if (pos == std::string_view::npos || line.substr(pos, 5) != "xrecv") {
        return usage();
    }
    pos += 5;
    std::vector<std::string_view> args;
    while ((pos = line.find_first_not_of(kBlanks, pos)) != std::string_view::npos) {
        std::size_t end = 0;
        if (line[pos] == '"') {
            const std::size_t close = line.find('"', pos + 1);
            if (close == std::string_view::npos) {
                return usage();
            }
            args.push_back(line.substr(pos + 1, close - pos - 1));
            end = close + 1;
            if (end < line.size() && kBlanks.find(line[end]) == std::string_view::npos) {
                return usage();  // "a"b is no word of this shell
            }
        } else {
            end = std::min(line.find_first_of(kBlanks, pos), line.size());
            args.push_back(line.substr(pos, end - pos));
        }
        pos = end;
    }
    if (args.empty() || args.size() > 2) {
        return usage();
    }
    XrecvRequest r{std::string(args[0]), std::nullopt};
    if (args.size() == 2) {
        const std::string_view text = args[1];
        std::uint64_t n = 0;
        const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (text.empty() || ec != std::errc{} || stop != text.data() + text.size() || n > 0xffffffffULL) {
            error = "invalid size " + quote(text);
            return std::nullopt;
        }
        r.size = n;
    }
    return r;
}

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
    if (upload_ && !receiver_) {
        begin_upload(Clock::now());
    }
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
            clean(Area::Ramdisk, "RAM disk cleaned.\r\n");
        } else if (w[1] == "flash") {
            clean(Area::Flash, "Flash disk cleaned.\r\n");
        } else {
            out_.push("clean_disk: unknown area " + quote(w[1]) + "\r\n");
        }
    } else if (w[0] == "xrecv") {
        xrecv(line);
    } else {
        out_.push("ERROR: unknown command " + quote(w[0]) + "\r\n");
    }
}

void Shell::clean(Area area, std::string_view done) {
    std::string error;
    if (!store_.clean(area, error)) {
        log("clean_disk: " + error);
        out_.push("clean_disk: " + std::string(area_word(area)) + ": cannot remove every file\r\n",
                  opt_.clean_delay);
        return;
    }
    out_.push(std::string(done), opt_.clean_delay);
}

void Shell::xrecv(std::string_view line) {
    std::string error;
    const auto request = parse_xrecv(line, error);
    if (!request) {
        out_.push("xrecv: " + error + "\r\n");
        return;
    }
    auto file = parse_stored_name(request->path, error);
    if (!file) {
        out_.push("xrecv: " + quote(request->path) + ": " + error + "\r\n");
        return;
    }
    if (request->size && *request->size > kAreaCapacity) {
        out_.push("xrecv: " + quote(request->path) + ": file too large (at most " +
                  std::to_string(kAreaCapacity) + " bytes)\r\n");
        return;
    }
    upload_ = Upload{request->path, std::move(*file), request->size};
}

void Shell::begin_upload(Clock::time_point now) {
    ReceiverSettings s;
    s.crc = opt_.xrecv_crc;
    s.timeout = opt_.xrecv_timeout;
    // The controller writes flash before it confirms the end; the RAM disk has it at once.
    if (upload_->file.area != Area::Ramdisk) {
        s.eot_delay = opt_.flash_delay;
    }
    s.size = upload_->size;
    s.capacity = kAreaCapacity;
    s.faults = xrecv_faults_;
    // Lines typed behind the command were in the line's buffer when the receiver took it over.
    if (!waiting_.empty()) {
        log("xrecv: " + std::to_string(waiting_.size()) + " waiting lines go to the receiver's bin");
        waiting_.clear();
    }
    log("xrecv: receiving " + upload_->path);
    recorder_.xstart(now, upload_->path, upload_->size, s.crc);
    receiver_.emplace(s, out_, recorder_, now);
}

std::size_t Shell::receive(std::string_view bytes, Clock::time_point now) {
    if (!receiver_) {
        return 0;
    }
    const std::size_t taken = receiver_->feed(bytes, now);
    if (receiver_->over()) {
        end_upload(now);
    }
    return taken;
}

void Shell::end_upload(Clock::time_point now) {
    const XmodemReceiver& r = *receiver_;
    const Upload& up = *upload_;
    std::optional<std::uint64_t> stored;
    std::string message;
    if (r.outcome() != XmodemReceiver::Outcome::Received) {
        message = r.reason();
    } else if (up.size && r.received() < *up.size) {
        message = quote(up.path) + ": incomplete, " + std::to_string(r.data().size()) + " of " +
                  std::to_string(*up.size) + " bytes received";
    } else if (std::string error; !store_.write(up.file, r.data(), error)) {
        message = quote(up.path) + ": " + error;
    } else {
        stored = r.data().size();
    }
    recorder_.xend(now, stored, message);
    log("xrecv: " + (stored ? std::to_string(*stored) + " bytes stored in " + up.path : message));
    out_.push(message.empty() ? "\r\n" : "\r\nxrecv: " + message + "\r\n");
    receiver_.reset();
    upload_.reset();
    after_cr_ = false;
    push_prompt();
}

std::optional<Clock::time_point> Shell::next_wake() const {
    return receiver_ ? receiver_->next_wake() : std::nullopt;
}

void Shell::push_prompt() {
    const std::string p = prompt();
    if (!opt_.split_prompt) {
        out_.push(p);
        return;
    }
    const std::size_t half = p.size() / 2;
    out_.push(p.substr(0, half));
    // The controller sends telegrams while the prompt's second half is on its way.
    out_.push_pause(p.substr(half), *opt_.split_prompt);
}

void Shell::poll(Clock::time_point now) {
    if (receiver_) {
        receiver_->poll(now);
        if (receiver_->over()) {
            end_upload(now);
        }
    }
    // One streamed line at a time, each queued once the previous one has gone out, so an
    // endless answer never piles up in memory when the client stops reading.
    if (!stream_ || !out_.empty()) {
        return;
    }
    const auto& endless = *opt_.endless;
    if (endless.count && stream_->written >= *endless.count) {
        stream_.reset();
        push_prompt();
        while (!stream_ && !receiver_ && !waiting_.empty()) {
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
