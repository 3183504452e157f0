#include "protocol.h"

#include <algorithm>

#include "log.h"

namespace kqsim {
namespace {

constexpr std::uint32_t kUnknownReplyCode = 119;
constexpr std::size_t kShortBy = 4;
constexpr auto kByteGap = std::chrono::milliseconds{1};

}  // namespace

bool Protocol::set_fault(std::string_view name, std::string_view value, std::string& error) {
    if (!kqsim::set_fault(faults_, name, value, replies_, io_, error)) {
        return false;
    }
    if (name == "seed" || name == "clear") {
        random_ = SeededRandom(faults_.seed);
        lose_left_ = 0;
        lose_rested_ = true;
    }
    return true;
}

void Protocol::send(std::string bytes, Clock::duration delay, const std::vector<std::size_t>& cuts,
                    Clock::duration gap) {
    if (faults_.byte_at_a_time) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            out_.push(bytes.substr(i, 1), i == 0 ? delay : Clock::duration{kByteGap});
        }
        return;
    }
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        out_.push(bytes.substr(from, cut - from), from == 0 ? delay : gap);
        from = cut;
    }
    out_.push(bytes.substr(from), from == 0 ? delay : gap);
}

std::string Protocol::noise(std::size_t n, const std::function<std::uint8_t()>& byte) {
    std::string s(n, '\0');
    for (char& c : s) {
        const std::uint8_t b = byte();
        // A start mark in the noise would make the client take it for a reply.
        c = static_cast<char>(b == kStartMark ? 0xfd : b);
    }
    return s;
}

void Protocol::unanswered(Clock::time_point now) {
    if (!silent_since_) {
        silent_since_ = now;
    }
}

void Protocol::answered(Clock::time_point now, Clock::duration delay) {
    if (silent_since_) {
        longest_silence_ = std::max(longest_silence_, now + delay - *silent_since_);
        silent_since_.reset();
    }
}

void Protocol::poll(Clock::time_point now) {
    for (Telegram& t : responder_.radio().due(now)) {
        t.session = responder_.session();
        log("Bluetooth reply code " + std::to_string(t.code));
        if (faults_.byte_at_a_time) {
            send(encode(t), Clock::duration{});
        } else {
            // The radio's output is the controller's own: it may go out while the shell pauses.
            out_.push_unprompted(encode(t), now);
        }
    }
}

void Protocol::receive(std::string_view frame, Clock::time_point now) {
    const auto request = decode(frame);
    if (!request) {
        return;  // the splitter hands on only frames that decode
    }
    recorder_.telegram(now, request->code, request->counter, frame);
    log("request code " + std::to_string(request->code) + ", counter " + std::to_string(request->counter) +
        ", " + std::to_string(request->count) + " records");
    const bool io = request->code == kRemIo;
    if (io) {
        ++io_;
    }
    reply_to(*request, now);
    poll(now);  // what the radio answers at once goes out with this turn
    // The line goes dead once this exchange is over, whether or not it got its reply.
    if (io && faults_.hangup_after_io.fires(io_)) {
        log("hanging up after this I/O exchange");
        out_.push_hang_up();
    }
}

void Protocol::reply_to(const Telegram& request, Clock::time_point now) {
    const FaultSettings& f = faults_;
    const bool io = request.code == kRemIo;
    auto reply = responder_.answer(request, now);
    if (!reply) {
        return;
    }
    ++replies_;

    const auto drop = [&](const char* why) {
        log(std::string("no reply: ") + why);
        unanswered(now);
    };
    if (f.silent_probe && request.code == kEcho) {
        return drop("silent on the probe");
    }
    if (f.silent_state && request.code == kStateRd) {
        return drop("silent on the state request");
    }
    switch (f.no_reply) {
        case FaultSettings::NoReply::Off:
            break;
        case FaultSettings::NoReply::Once:
            if (replies_ == f.no_reply_from + 1) {
                faults_.no_reply = FaultSettings::NoReply::Off;
                return drop("once");
            }
            break;
        case FaultSettings::NoReply::Always:
            return drop("always");
        case FaultSettings::NoReply::FromIo:
            if (io_ >= f.no_reply_from) {
                return drop("past the I/O exchange it stops at");
            }
            break;
    }
    if (io && f.loses_io(io_)) {
        return drop("an I/O reply of the burst to lose");
    }
    Strike random;
    if (!strike(request, *reply, random, now)) {
        return drop("lost in a burst");
    }

    Clock::duration delay = random.delay;
    if (f.late.always || (io && f.late.n != 0 && f.late.fires(io_))) {
        delay = std::max<Clock::duration>(delay, f.late_by);
        log("reply late by " + std::to_string(f.late_by.count()) + " ms");
    }
    if (io && f.short_io_reply.fires(io_) && !reply->payload.empty()) {
        reply->payload.resize(reply->payload.size() - std::min(kShortBy, reply->payload.size()));
        log("I/O reply cut short");
    }
    if (f.unknown_code.fires(replies_)) {
        reply->code = kUnknownReplyCode;
        log("reply code changed to " + std::to_string(kUnknownReplyCode));
    }
    std::string bytes = encode(*reply);
    if (f.bad_checksum.fires(replies_)) {
        bytes[bytes.size() - 2] = static_cast<char>(bytes[bytes.size() - 2] ^ 0x01);
        log("reply checksum spoilt");
    }
    if (f.no_end_mark.fires(replies_)) {
        bytes.back() = '\0';
        log("reply end mark left out");
    }
    if (f.garbage != 0) {
        bytes.insert(0, noise(f.garbage, [this] {
                         noise_ = noise_ * 1103515245U + 12345U;
                         return static_cast<std::uint8_t>(noise_ >> 16);
                     }));
    }
    // Random noise comes first on the line, then any fixed noise, then the frame; a split cuts
    // the whole at points drawn for this reply.
    bytes.insert(0, random.noise);
    std::vector<std::size_t> cuts;
    for (unsigned i = 0; i + 1 < random.parts && bytes.size() > 1; ++i) {
        cuts.push_back(1 + static_cast<std::size_t>(random.cut_draws[i] % (bytes.size() - 1)));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    answered(now, delay);
    send(std::move(bytes), delay, cuts, random.gap);
}

bool Protocol::strike(const Telegram& request, Telegram& reply, Strike& out, Clock::time_point now) {
    const RandomRates& rate = faults_.random;
    if (!rate.any()) {
        return true;
    }
    const auto note = [&](RandomKind kind, const std::string& detail) {
        ++tally_[kind];
        const std::string what = std::string(kRandomKindNames[static_cast<std::size_t>(kind)]) + ' ' +
                                 std::to_string(request.code) + ' ' + std::to_string(request.counter) +
                                 (detail.empty() ? "" : " " + detail);
        recorder_.fault(now, what);
        log("random fault: " + what);
    };

    if (request.code == kRemIo && rate[RandomKind::Lose] != 0) {
        if (lose_left_ > 0) {
            --lose_left_;
            ++tally_.lost_replies;
            lose_rested_ = lose_left_ != 0;
            recorder_.fault(now,
                            "lost " + std::to_string(request.code) + ' ' + std::to_string(request.counter));
            return false;
        }
        if (!lose_rested_) {
            lose_rested_ = true;  // the reply after a burst always goes out
        } else if (random_.chance(rate[RandomKind::Lose])) {
            const auto burst = static_cast<unsigned>(random_.between(1, 3));
            lose_left_ = burst - 1;
            lose_rested_ = lose_left_ != 0;
            ++tally_.lost_replies;
            note(RandomKind::Lose, "burst " + std::to_string(burst));
            return false;
        }
    }
    if (random_.chance(rate[RandomKind::Late])) {
        // Mostly within the client's 200 ms wait for a reply, now and then well beyond it.
        const bool beyond = random_.below(5) == 0;
        out.delay = std::chrono::milliseconds{beyond ? random_.between(200, 400) : random_.between(1, 180)};
        tally_.late_beyond += beyond ? 1 : 0;
        note(RandomKind::Late, std::to_string(out.delay / std::chrono::milliseconds{1}) + "ms");
    }
    if (request.code == kRemConfigWr && random_.chance(rate[RandomKind::LateConfig])) {
        const Clock::duration late = std::chrono::milliseconds{random_.between(50, 400)};
        out.delay = std::max(out.delay, late);
        note(RandomKind::LateConfig, std::to_string(late / std::chrono::milliseconds{1}) + "ms");
    }
    if (random_.chance(rate[RandomKind::Garbage])) {
        out.noise =
            noise(random_.between(1, 32), [this] { return static_cast<std::uint8_t>(random_.next()); });
        note(RandomKind::Garbage, std::to_string(out.noise.size()) + "bytes");
    }
    if (random_.chance(rate[RandomKind::Split])) {
        out.parts = static_cast<unsigned>(random_.between(2, 3));
        for (std::uint64_t& draw : out.cut_draws) {
            draw = random_.next();
        }
        out.gap = std::chrono::milliseconds{random_.between(1, 5)};
        note(RandomKind::Split, std::to_string(out.parts) + "parts");
    }
    if (random_.chance(rate[RandomKind::Session])) {
        const std::uint16_t next =
            responder_.session() == 0xffff ? 1 : static_cast<std::uint16_t>(responder_.session() + 1);
        responder_.set_session(next);
        reply.session = next;
        note(RandomKind::Session, std::to_string(next));
    }
    return true;
}

std::string Protocol::describe_tally() const {
    const Tally& t = tally_;
    return "lose=" + std::to_string(t[RandomKind::Lose]) + " lost-replies=" + std::to_string(t.lost_replies) +
           " late=" + std::to_string(t[RandomKind::Late]) + " late-beyond=" + std::to_string(t.late_beyond) +
           " late-config=" + std::to_string(t[RandomKind::LateConfig]) +
           " garbage=" + std::to_string(t[RandomKind::Garbage]) +
           " split=" + std::to_string(t[RandomKind::Split]) +
           " session=" + std::to_string(t[RandomKind::Session]);
}

void Protocol::report(Clock::time_point now) {
    recorder_.report(now,
                     "seed " + std::to_string(faults_.seed) + " rates " + describe_rates(faults_.random));
    recorder_.report(now, "faults " + describe_tally());
    recorder_.report(
        now,
        "replies " + std::to_string(replies_) + " io " + std::to_string(io_) + " longest-silence " +
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(longest_silence_).count()));
    for (unsigned k = 0; k < kControllers; ++k) {
        if (!responder_.present(k)) {
            continue;
        }
        const Responder::Held h = responder_.held(k);
        const auto ids = [](const std::array<std::uint16_t, 4>& a) {
            return std::to_string(a[0]) + ',' + std::to_string(a[1]) + ',' + std::to_string(a[2]) + ',' +
                   std::to_string(a[3]);
        };
        recorder_.report(now,
                         "held " + std::to_string(k) + " config " + (h.config.empty() ? "-" : hex(h.config)) +
                             " resets " + ids(h.counter_resets) + " motors " + ids(h.motors) + " display " +
                             quoted(h.display.size() > 1 ? h.display.substr(1, h.display.find('\0', 1) - 1)
                                                         : std::string()));
    }
    recorder_.report(now, "end");
}

}  // namespace kqsim
