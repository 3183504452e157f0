#include "radio.h"

#include <algorithm>
#include <cstdio>

#include "log.h"

namespace kqsim {
namespace {

enum : std::uint32_t {
    kScan = 10,
    kNoScan = 11,
    kConnect = 12,
    kDisconnect = 13,
    kWrite = 14,
    kReadOn = 15,
    kReadOff = 16,
    kListenOn = 17,
    kListenOff = 18,
};
constexpr std::uint32_t kReplyOffset = 100;

enum : std::uint16_t {
    kDone = 0,
    kAlreadyConnected = 1,
    kFailed = 3,
    kBusy = 5,
    kMessage = 10,
    kIncoming = 11,
};
constexpr std::uint16_t kScanFound = 0;
constexpr std::uint16_t kScanOver = 5;
constexpr std::size_t kScanRecord = 30;
constexpr std::size_t kNameField = 22;
constexpr std::size_t kMaxMessage = 16;

// A connect to a device that is not there fails only after the radio has paged for a while.
constexpr int kPageSteps = 5;

bool valid_channel(unsigned ch) {
    return ch >= 1 && ch <= kBtChannels;
}

BtAddress address_at(std::string_view payload, std::size_t at) {
    BtAddress a{};
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<std::uint8_t>(payload[at + i]);
    }
    return a;
}

}  // namespace

std::vector<BtDevice> RadioSettings::default_devices() {
    return {
        {{0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01}, "VORI-PHONE"},
        {{0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x02}, "VORI-KQ-R2"},
        {{0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x03}, "HEADSET"},
    };
}

std::optional<BtAddress> parse_bt_address(std::string_view text) {
    if (text.size() != 17) {
        return std::nullopt;
    }
    BtAddress a{};
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i > 0 && text[3 * i - 1] != ':') {
            return std::nullopt;
        }
        unsigned value = 0;
        for (std::size_t j = 0; j < 2; ++j) {
            const char c = text[3 * i + j];
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
            value = value * 16 + digit;
        }
        a[i] = static_cast<std::uint8_t>(value);
    }
    return a;
}

std::string bt_address_text(const BtAddress& a) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return text;
}

const BtDevice* Radio::in_range(const BtAddress& a) const {
    const auto it = std::find_if(settings_.devices.begin(), settings_.devices.end(),
                                 [&](const BtDevice& d) { return d.address == a; });
    return it == settings_.devices.end() ? nullptr : &*it;
}

void Radio::schedule(Clock::time_point at, Kind kind, Telegram reply, unsigned channel, std::uint64_t generation) {
    queue_.push_back(Scheduled{at, next_order_++, kind, std::move(reply), channel, generation});
}

void Radio::reply(Clock::time_point at, std::uint32_t code, unsigned channel, std::uint16_t status,
                  std::string extra) {
    Telegram t;
    t.code = code + kReplyOffset;
    t.count = 1;
    append_u32le(t.payload, 0);
    put_u16le(t.payload, 0, static_cast<std::uint16_t>(channel));
    put_u16le(t.payload, 2, status);
    t.payload += extra;
    schedule(at, Kind::Reply, std::move(t));
}

void Radio::start_scan(Clock::time_point now) {
    scanning_ = true;
    auto at = now;
    for (const BtDevice& d : settings_.devices) {
        at += settings_.step;
        Telegram t;
        t.code = kScan + kReplyOffset;
        t.count = 1;
        t.payload.assign(kScanRecord, '\0');
        put_u16le(t.payload, 0, kScanFound);
        std::copy(d.address.begin(), d.address.end(), t.payload.begin() + 2);
        std::copy_n(d.name.begin(), std::min(d.name.size(), kNameField - 1), t.payload.begin() + 8);
        schedule(at, Kind::ScanResult, std::move(t));
    }
    Telegram end;
    end.code = kScan + kReplyOffset;
    end.count = 1;
    end.payload.assign(kScanRecord, '\0');
    put_u16le(end.payload, 0, kScanOver);
    schedule(at + settings_.step, Kind::ScanEnd, std::move(end));
}

void Radio::cancel_scan(Clock::time_point now) {
    // Whatever the scan had still to report is gone; the end of the scan is reported at once, so
    // that a client waiting for it learns the radio is free again.
    std::erase_if(queue_, [](const Scheduled& s) { return s.kind == Kind::ScanResult || s.kind == Kind::ScanEnd; });
    scanning_ = false;
    reply(now, kNoScan, 0, kDone);
    Telegram end;
    end.code = kScan + kReplyOffset;
    end.count = 1;
    end.payload.assign(kScanRecord, '\0');
    put_u16le(end.payload, 0, kScanOver);
    schedule(now, Kind::Reply, std::move(end));
}

void Radio::deliver(unsigned from, std::string_view message, Clock::time_point now) {
    if (!settings_.loopback) {
        return;
    }
    const auto [a, b] = *settings_.loopback;
    if (from != a && from != b) {
        return;
    }
    const unsigned to = from == a ? b : a;
    const Channel& target = channels_[to];
    if (!target.connected || !target.reading) {
        log("Bluetooth: message from channel " + std::to_string(from) + " lost: channel " + std::to_string(to) +
            (target.connected ? " is not reading" : " is not connected"));
        return;
    }
    std::string extra(2, '\0');
    put_u16le(extra, 0, static_cast<std::uint16_t>(message.size()));
    extra += message;
    reply(now + settings_.step, kReadOn, to, kMessage, std::move(extra));
}

void Radio::serve(const Telegram& req, Clock::time_point now) {
    const std::string_view p = req.payload;
    if (req.code == kScan) {
        if (scanning_) {
            log("Bluetooth: scan already running");
            return;
        }
        start_scan(now);
        return;
    }
    if (req.code == kNoScan) {
        cancel_scan(now);
        return;
    }
    // Every other request names its channel in its first byte.
    const std::size_t expected = req.code == kConnect || req.code == kListenOn ? 8 : 4;
    if (req.count != 1 || p.size() < expected || (req.code != kWrite && p.size() != expected)) {
        log("Bluetooth request " + std::to_string(req.code) + " with " + std::to_string(p.size()) +
            " payload bytes; not answered");
        return;
    }
    const unsigned ch = static_cast<std::uint8_t>(p[0]);
    if (!valid_channel(ch)) {
        log("Bluetooth request " + std::to_string(req.code) + " for channel " + std::to_string(ch) +
            "; not answered");
        return;
    }
    Channel& c = channels_[ch];
    switch (req.code) {
        case kConnect: {
            const BtAddress a = address_at(p, 1);
            if (c.connected) {
                reply(now, kConnect, ch, kAlreadyConnected);
            } else if (scanning_) {
                reply(now, kConnect, ch, kBusy);
            } else if (in_range(a) != nullptr) {
                c.connected = true;
                c.peer = a;
                log("Bluetooth: channel " + std::to_string(ch) + " connected to " + bt_address_text(a));
                reply(now + settings_.step, kConnect, ch, kDone);
            } else {
                log("Bluetooth: " + bt_address_text(a) + " is not in range");
                reply(now + kPageSteps * settings_.step, kConnect, ch, kFailed);
            }
            break;
        }
        case kDisconnect:
            if (c.connected) {
                c.connected = false;
                reply(now + settings_.step, kDisconnect, ch, kDone);
            } else {
                reply(now, kDisconnect, ch, kFailed);
            }
            break;
        case kWrite: {
            const std::size_t n = get_u16le(p, 2);
            if (n > kMaxMessage || p.size() != n + 6) {
                log("Bluetooth write of " + std::to_string(n) + " bytes in " + std::to_string(p.size()) +
                    " payload bytes; not answered");
                return;
            }
            if (!c.connected) {
                reply(now, kWrite, ch, kFailed);
                break;
            }
            reply(now, kWrite, ch, kDone);
            deliver(ch, p.substr(4, n), now);
            break;
        }
        case kReadOn:
            c.reading = true;
            reply(now, kReadOn, ch, kDone, std::string(2, '\0'));
            break;
        case kReadOff:
            c.reading = false;
            reply(now, kReadOff, ch, kDone);
            break;
        case kListenOn: {
            c.listening = true;
            c.listen_for = address_at(p, 1);
            ++c.listen_generation;
            reply(now, kListenOn, ch, kDone);
            if (!c.connected && in_range(c.listen_for) != nullptr) {
                Telegram call;
                schedule(now + settings_.incoming_after, Kind::Incoming, std::move(call), ch, c.listen_generation);
            }
            break;
        }
        case kListenOff:
            c.listening = false;
            reply(now, kListenOff, ch, kDone);
            break;
        default:
            log("request code " + std::to_string(req.code) + " is not a Bluetooth request");
            break;
    }
}

std::vector<Telegram> Radio::due(Clock::time_point now) {
    std::vector<Scheduled> ready;
    std::erase_if(queue_, [&](Scheduled& s) {
        if (s.at > now) {
            return false;
        }
        ready.push_back(std::move(s));
        return true;
    });
    std::sort(ready.begin(), ready.end(),
              [](const Scheduled& x, const Scheduled& y) { return x.at != y.at ? x.at < y.at : x.order < y.order; });
    std::vector<Telegram> out;
    for (Scheduled& s : ready) {
        if (s.kind == Kind::ScanEnd) {
            scanning_ = false;
        } else if (s.kind == Kind::Incoming) {
            Channel& c = channels_[s.channel];
            // The call comes only to the listen that invited it, and only to a free channel.
            if (!c.listening || c.connected || c.listen_generation != s.generation) {
                continue;
            }
            c.connected = true;
            c.peer = c.listen_for;
            log("Bluetooth: " + bt_address_text(c.peer) + " called channel " + std::to_string(s.channel));
            Telegram t;
            t.code = kListenOn + kReplyOffset;
            t.count = 1;
            append_u32le(t.payload, 0);
            put_u16le(t.payload, 0, static_cast<std::uint16_t>(s.channel));
            put_u16le(t.payload, 2, kIncoming);
            out.push_back(std::move(t));
            continue;
        }
        out.push_back(std::move(s.reply));
    }
    return out;
}

std::optional<Clock::time_point> Radio::next_wake() const {
    std::optional<Clock::time_point> wake;
    for (const Scheduled& s : queue_) {
        if (!wake || s.at < *wake) {
            wake = s.at;
        }
    }
    return wake;
}

std::uint8_t Radio::status_byte(unsigned channel) const {
    if (!valid_channel(channel)) {
        return 0;
    }
    const Channel& c = channels_[channel];
    return static_cast<std::uint8_t>((c.connected ? 2U : 0U) | (c.listening ? 8U : 0U) | (c.reading ? 16U : 0U));
}

}  // namespace kqsim
