#include "protocol.h"

#include "log.h"

namespace kqsim {
namespace {

constexpr std::uint32_t kUnknownReplyCode = 119;
constexpr std::size_t kShortBy = 4;
constexpr auto kByteGap = std::chrono::milliseconds{1};

}  // namespace

bool Protocol::set_fault(std::string_view name, std::string_view value, std::string& error) {
    return kqsim::set_fault(faults_, name, value, replies_, io_, error);
}

void Protocol::send(std::string bytes, Clock::duration delay) {
    if (!faults_.byte_at_a_time) {
        out_.push(std::move(bytes), delay);
        return;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out_.push(bytes.substr(i, 1), i == 0 ? delay : Clock::duration{kByteGap});
    }
}

void Protocol::poll(Clock::time_point now) {
    for (Telegram& t : responder_.radio().due(now)) {
        t.session = responder_.session();
        log("Bluetooth reply code " + std::to_string(t.code));
        send(encode(t), Clock::duration{});
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

    const auto drop = [](const char* why) { log(std::string("no reply: ") + why); };
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

    Clock::duration delay{};
    if (f.late.always || (io && f.late.n != 0 && f.late.fires(io_))) {
        delay = f.late_by;
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
        std::string noise(f.garbage, '\0');
        for (char& c : noise) {
            noise_ = noise_ * 1103515245U + 12345U;
            const auto b = static_cast<std::uint8_t>(noise_ >> 16);
            // A start mark in the noise would make the client take it for a reply.
            c = static_cast<char>(b == kStartMark ? 0xfd : b);
        }
        bytes.insert(0, noise);
    }
    send(std::move(bytes), delay);
}

}  // namespace kqsim
