#include "telegram.h"

namespace kqsim {
namespace {

std::uint8_t byte_at(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint8_t>(bytes[at]);
}

char to_char(unsigned v) {
    return static_cast<char>(static_cast<unsigned char>(v & 0xffU));
}

}  // namespace

std::uint16_t get_u16le(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(byte_at(bytes, at) | (byte_at(bytes, at + 1) << 8));
}

std::uint32_t get_u32le(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(get_u16le(bytes, at)) |
           (static_cast<std::uint32_t>(get_u16le(bytes, at + 2)) << 16);
}

void put_u16le(std::string& bytes, std::size_t at, std::uint16_t v) {
    bytes[at] = to_char(v);
    bytes[at + 1] = to_char(static_cast<unsigned>(v) >> 8);
}

void put_u32le(std::string& bytes, std::size_t at, std::uint32_t v) {
    put_u16le(bytes, at, static_cast<std::uint16_t>(v & 0xffffU));
    put_u16le(bytes, at + 2, static_cast<std::uint16_t>(v >> 16));
}

void append_u32le(std::string& bytes, std::uint32_t v) {
    bytes.append(4, '\0');
    put_u32le(bytes, bytes.size() - 4, v);
}

std::uint16_t telegram_checksum(std::string_view bytes) {
    unsigned sum = 0;
    for (const char c : bytes) {
        sum += static_cast<unsigned char>(c);
    }
    return static_cast<std::uint16_t>((0x10000U - (sum & 0xffffU)) & 0xffffU);
}

std::string encode(const Telegram& t) {
    const std::size_t counted = kHeaderSize + t.payload.size();
    std::string f;
    f.reserve(counted + 7);
    f += to_char(kStartMark);
    f += to_char(kSyncMark);
    f += to_char(static_cast<unsigned>(counted >> 8));
    f += to_char(static_cast<unsigned>(counted));
    append_u32le(f, t.word_a);
    append_u32le(f, t.word_b);
    f.append(4, '\0');
    put_u16le(f, 12, t.counter);
    put_u16le(f, 14, t.session);
    append_u32le(f, t.code);
    append_u32le(f, t.count);
    f += t.payload;
    const std::uint16_t sum = telegram_checksum(std::string_view{f}.substr(2));
    f += to_char(static_cast<unsigned>(sum) >> 8);
    f += to_char(sum);
    f += to_char(kEndMark);
    return f;
}

std::optional<Telegram> decode(std::string_view frame, std::string* why) {
    const auto fail = [why](const char* reason) -> std::optional<Telegram> {
        if (why != nullptr) {
            *why = reason;
        }
        return std::nullopt;
    };
    if (frame.size() < kFrameOverhead || byte_at(frame, 0) != kStartMark || byte_at(frame, 1) != kSyncMark) {
        return fail("not a frame");
    }
    const std::size_t counted = static_cast<std::size_t>(byte_at(frame, 2)) << 8 | byte_at(frame, 3);
    if (counted < kHeaderSize || frame.size() != counted + 7) {
        return fail("wrong length");
    }
    if (byte_at(frame, frame.size() - 1) != kEndMark) {
        return fail("no end mark");
    }
    const std::size_t sum_at = 4 + counted;
    const auto received =
        static_cast<std::uint16_t>(byte_at(frame, sum_at) << 8 | byte_at(frame, sum_at + 1));
    if (telegram_checksum(frame.substr(2, counted + 2)) != received) {
        return fail("wrong checksum");
    }
    Telegram t;
    t.word_a = get_u32le(frame, 4);
    t.word_b = get_u32le(frame, 8);
    t.counter = get_u16le(frame, 12);
    t.session = get_u16le(frame, 14);
    t.code = get_u32le(frame, 16);
    t.count = get_u32le(frame, 20);
    t.payload = frame.substr(24, counted - kHeaderSize);
    return t;
}

void StreamSplitter::reject(Sink& sink, std::string_view why) {
    sink.bad_frame(frame_, why);
    frame_.clear();
    state_ = State::Idle;
}

void StreamSplitter::feed(std::string_view bytes, Clock::time_point now, Sink& sink) {
    if (bytes.empty()) {
        return;
    }
    if (state_ == State::Sync && now - last_byte_ > kFrameGap) {
        // A lone 0x02 that nothing followed in time was the shell's.
        sink.text(frame_);
        frame_.clear();
        state_ = State::Idle;
    } else if (state_ != State::Idle && now - last_byte_ > kFrameGap) {
        reject(sink, "frame broken off");
    }
    last_byte_ = now;

    std::size_t text_from = 0;  // start of the current run of shell bytes
    const auto flush_text = [&](std::size_t upto) {
        if (upto > text_from) {
            sink.text(bytes.substr(text_from, upto - text_from));
        }
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const auto b = static_cast<std::uint8_t>(c);
        switch (state_) {
            case State::Idle:
                if (b == kStartMark) {
                    flush_text(i);
                    frame_.assign(1, c);
                    state_ = State::Sync;
                }
                break;
            case State::Sync:
                if (b == kSyncMark) {
                    frame_ += c;
                    state_ = State::LengthHi;
                    break;
                }
                // Not a frame after all: the 0x02 and this byte are text, unless this byte
                // starts a frame itself.
                state_ = State::Idle;
                sink.text(frame_);
                frame_.clear();
                text_from = i;
                if (b == kStartMark) {
                    frame_.assign(1, c);
                    state_ = State::Sync;
                }
                break;
            case State::LengthHi:
                frame_ += c;
                length_ = static_cast<std::size_t>(b) << 8;
                state_ = State::LengthLo;
                break;
            case State::LengthLo:
                frame_ += c;
                length_ |= b;
                if (length_ < kHeaderSize || length_ > kMaxCounted) {
                    // The bytes it claims are not taken: a controller cannot hold them, and
                    // what follows is better seen by the shell than silently eaten.
                    reject(sink, "length out of range");
                    text_from = i + 1;
                } else {
                    state_ = State::Counted;
                }
                break;
            case State::Counted:
                frame_ += c;
                if (frame_.size() == 4 + length_) {
                    state_ = State::ChecksumHi;
                }
                break;
            case State::ChecksumHi:
                frame_ += c;
                state_ = State::ChecksumLo;
                break;
            case State::ChecksumLo:
                frame_ += c;
                state_ = State::End;
                break;
            case State::End: {
                frame_ += c;
                std::string why;
                if (decode(frame_, &why)) {
                    sink.frame(frame_);
                    frame_.clear();
                    state_ = State::Idle;
                } else {
                    reject(sink, why);
                }
                text_from = i + 1;
                break;
            }
        }
    }
    if (state_ == State::Idle) {
        flush_text(bytes.size());
    }
}

}  // namespace kqsim
