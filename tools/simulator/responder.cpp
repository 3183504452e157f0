#include "responder.h"

#include <algorithm>

#include "log.h"

namespace kqsim {
namespace {

using std::chrono::milliseconds;

// Memory layout every controller reports: its shared memory sits just below the application
// area, which fills the rest of the RAM.
constexpr std::uint32_t kSharedMemoryStart = 0x2000F000;
constexpr std::uint32_t kAppAreaStart = 0x20010000;
constexpr std::uint32_t kAppAreaSize = 0x00030000;
constexpr char kHwRelease = 'B';
constexpr std::uint8_t kDllVersion = 3;

constexpr std::size_t kHostnameField = 17;  // 16 characters and the terminator
constexpr std::size_t kConfigSize = 48;
constexpr std::size_t kDisplaySize = 100;
constexpr std::size_t kOutputSize = 44;
constexpr std::size_t kOutputCounterResetIds = 0;
constexpr std::size_t kOutputMotorIds = 36;

// How the inputs move: each value steps every 100 ms.
constexpr milliseconds kInputStep{100};
constexpr std::int64_t kAnalogTop = 5000;  // millivolts

std::int64_t since(Clock::time_point from, Clock::time_point now, milliseconds unit) {
    return now > from ? (now - from) / unit : 0;
}

// A triangle from 0 to kAnalogTop and back, slower for higher inputs, and shifted per
// controller so that no two inputs anywhere read alike.
std::uint16_t analog_value(unsigned k, unsigned i, std::int64_t step) {
    const std::int64_t half = 20 + 5 * static_cast<std::int64_t>(i);
    const std::int64_t pos = (step + 7 * static_cast<std::int64_t>(k)) % (2 * half);
    const std::int64_t tri = pos < half ? pos : 2 * half - pos;
    return static_cast<std::uint16_t>(tri * kAnalogTop / half);
}

// A switch that flips every (5 + i) steps.
std::uint16_t digital_value(unsigned k, unsigned i, std::int64_t step) {
    return static_cast<std::uint16_t>((step + static_cast<std::int64_t>(k)) /
                                      (5 + static_cast<std::int64_t>(i)) % 2);
}

std::string bt_address(unsigned k) {
    std::string s = "00:1A:7D:DA:71:0";
    s += static_cast<char>('0' + k);
    return s;
}

std::string index_of(unsigned k) {
    std::string s;
    append_u32le(s, k);
    return s;
}

// Walks the records of a request whose payload must hold exactly `count` records of `size`
// bytes; false, and nothing walked, when it does not.
template <typename Fn>
bool each_record(const Telegram& req, std::size_t size, Fn&& fn) {
    if (req.count > kMaxCounted || req.payload.size() != req.count * size) {
        log("request code " + std::to_string(req.code) + ": " + std::to_string(req.payload.size()) +
            " payload bytes do not make " + std::to_string(req.count) + " records of " +
            std::to_string(size) + "; not answered");
        return false;
    }
    const std::string_view p = req.payload;
    for (std::size_t at = 0; at < p.size(); at += size) {
        fn(get_u32le(p, at), p.substr(at + kIndexRecord, size - kIndexRecord));
    }
    return true;
}

}  // namespace

void Responder::Command::see(std::uint16_t id, Clock::time_point now, Clock::duration delay) {
    if (id != wanted) {
        wanted = id;
        due = now + delay;
    }
}

bool Responder::Command::settle(Clock::time_point now) {
    if (done == wanted || now < due) {
        return false;
    }
    done = wanted;
    return true;
}

Responder::Responder(const ResponderSettings& settings, Clock::time_point now)
    : settings_(settings), session_(settings.session), radio_(settings.radio) {
    units_[0].hostname = settings_.master_hostname;
    for (unsigned k = 1; k < kControllers; ++k) {
        units_[k].hostname = "VORI-KQ-S" + std::to_string(k);
    }
    power_up(0, now);
    for (unsigned k = 1; k < kControllers; ++k) {
        if (settings_.extensions.test(k)) {
            power_up(k, now);
        }
    }
}

void Responder::power_up(unsigned k, Clock::time_point now) {
    // The host name lives in the controller's flash; everything else starts afresh.
    Unit& u = units_[k];
    std::string name = std::move(u.hostname);
    u = Unit{};
    u.hostname = std::move(name);
    u.present = true;
    u.powered = now;
    u.counter_zero.fill(now);
}

bool Responder::add_extension(unsigned k, Clock::time_point now) {
    if (k == 0 || k >= kControllers || units_[k].present) {
        return false;
    }
    power_up(k, now);
    log("extension " + std::to_string(k) + " appears");
    return true;
}

bool Responder::remove_extension(unsigned k) {
    if (k == 0 || k >= kControllers || !units_[k].present) {
        return false;
    }
    units_[k].present = false;
    log("extension " + std::to_string(k) + " disappears");
    return true;
}

Responder::Held Responder::held(unsigned k) const {
    const Unit& u = units_.at(k);
    Held h{u.config, u.display, {}, {}};
    for (unsigned i = 0; i < 4; ++i) {
        h.counter_resets[i] = u.counter_reset[i].done;
        h.motors[i] = u.motor[i].done;
    }
    return h;
}

std::string Responder::info_record(unsigned k) const {
    std::string r(64, '\0');
    const Unit& u = units_[k];
    std::copy_n(u.hostname.begin(), std::min(u.hostname.size(), kHostnameField - 1), r.begin());
    const std::string bt = bt_address(k);
    std::copy(bt.begin(), bt.end(), r.begin() + 17);
    put_u32le(r, 36, kSharedMemoryStart);
    put_u32le(r, 40, kAppAreaStart);
    put_u32le(r, 44, kAppAreaSize);
    r[48] = kHwRelease;
    r[53] = static_cast<char>(kDllVersion);
    r[54] = static_cast<char>(settings_.fw_major);
    r[55] = static_cast<char>(settings_.fw_minor);
    return r;
}

std::string Responder::state_record(unsigned k) const {
    std::string r(24, '\0');
    if (k != 0) {
        return r;  // extensions have neither extensions nor Bluetooth of their own
    }
    for (unsigned e = 1; e < kControllers; ++e) {
        r[e - 1] = units_[e].present ? '\1' : '\0';
    }
    // Bytes 16 to 23, a further information byte per channel, stay 0: this radio has nothing
    // more to say about a channel than its state.
    for (unsigned ch = 1; ch <= kBtChannels; ++ch) {
        r[8 + ch - 1] = static_cast<char>(radio_.status_byte(ch));
    }
    return r;
}

bool Responder::digital_input(unsigned k, unsigned i) const {
    // Bit 7 of an input's mode byte in the configuration marks it digital; until a configuration
    // arrives every input reads as analog.
    const std::string& c = units_[k].config;
    return !c.empty() && (static_cast<unsigned char>(c[4 + i]) & 0x80U) != 0;
}

std::string Responder::input_record(unsigned k, Clock::time_point now) const {
    const Unit& u = units_[k];
    std::string r(48, '\0');
    const std::int64_t step = since(u.powered, now, kInputStep);
    for (unsigned i = 0; i < 8; ++i) {
        put_u16le(r, 2 * i, digital_input(k, i) ? digital_value(k, i, step) : analog_value(k, i, step));
    }
    for (unsigned i = 0; i < 4; ++i) {
        // Counter i sees a pulse train with a period of 50 ms * (i + 1) and counts its pulses.
        const milliseconds period{50 * (i + 1)};
        r[16 + i] = static_cast<char>(since(u.powered, now, period / 2) % 2);
        put_u16le(r, 20 + 2 * i, static_cast<std::uint16_t>(since(u.counter_zero[i], now, period) & 0xffff));
        put_u16le(r, 32 + 2 * i, u.counter_reset[i].done);
        put_u16le(r, 40 + 2 * i, u.motor[i].done);
    }
    // Supply voltage in millivolts with a little ripple, and the board temperature in tenths of a
    // degree, warming from 25.0 to 30.0 over the first fifty minutes.
    put_u16le(r, 28, static_cast<std::uint16_t>(9000 + step % 16));
    put_u16le(r, 30, static_cast<std::uint16_t>(250 + std::min<std::int64_t>(step / 600, 50)));
    return r;
}

void Responder::take_outputs(unsigned k, std::string_view outputs, Clock::time_point now) {
    Unit& u = units_[k];
    const auto delay = settings_.cmd_delay;
    for (unsigned i = 0; i < 4; ++i) {
        u.counter_reset[i].see(get_u16le(outputs, kOutputCounterResetIds + 2 * i), now, delay);
        u.motor[i].see(get_u16le(outputs, kOutputMotorIds + 2 * i), now, delay);
        if (u.counter_reset[i].settle(now)) {
            u.counter_zero[i] = u.counter_reset[i].due;
            log("controller " + std::to_string(k) + ": counter " + std::to_string(i) + " reset, id " +
                std::to_string(u.counter_reset[i].done));
        }
        if (u.motor[i].settle(now)) {
            log("controller " + std::to_string(k) + ": motor command " + std::to_string(i) + " done, id " +
                std::to_string(u.motor[i].done));
        }
    }
}

std::optional<Telegram> Responder::answer(const Telegram& req, Clock::time_point now) {
    Telegram reply;
    reply.counter = req.counter;
    reply.code = req.code + kReplyOffset;

    // Appends one reply record per request record for a controller that is present; records of
    // absent or impossible controllers are left out, and the count says how many remain.
    const auto add = [&reply](unsigned k, std::string_view data) {
        reply.payload += index_of(k);
        reply.payload += data;
        ++reply.count;
    };
    bool ok = true;
    switch (req.code) {
        case kEcho:
            // What comes is what goes back; the probe itself carries nothing.
            reply.count = req.count;
            reply.payload = req.payload;
            break;
        case kRemIo:
            ok = each_record(req, kIoRequestRecord, [&](std::uint32_t k, std::string_view outputs) {
                if (present(k)) {
                    take_outputs(k, outputs.substr(0, kOutputSize), now);
                    add(k, input_record(k, now));
                }
            });
            break;
        case kRemMonitor:
            // Inputs only, without taking outputs.
            ok = each_record(req, kIndexRecord, [&](std::uint32_t k, std::string_view) {
                if (present(k)) {
                    add(k, input_record(k, now));
                }
            });
            break;
        case kRemConfigRd:
            ok = each_record(req, kIndexRecord, [&](std::uint32_t k, std::string_view) {
                if (present(k)) {
                    const std::string& c = units_[k].config;
                    add(k, c.empty() ? std::string(kConfigSize, '\0') : c);
                }
            });
            break;
        case kRemConfigWr:
            ok = each_record(req, kConfigRecord, [&](std::uint32_t k, std::string_view config) {
                if (present(k)) {
                    units_[k].config = config;
                    add(k, {});
                }
            });
            break;
        case kInfoRd:
            ok = each_record(req, kIndexRecord, [&](std::uint32_t k, std::string_view) {
                if (present(k)) {
                    add(k, info_record(k));
                }
            });
            break;
        case kStateRd:
            ok = each_record(req, kIndexRecord, [&](std::uint32_t k, std::string_view) {
                if (present(k)) {
                    add(k, state_record(k));
                }
            });
            break;
        case kMsgWr:
            ok = each_record(req, kMsgRecord, [&](std::uint32_t k, std::string_view display) {
                if (present(k)) {
                    units_[k].display = display.substr(0, kDisplaySize);
                    const std::string_view text = display.substr(1, display.find('\0', 1) - 1);
                    log("controller " + std::to_string(k) + " shows " + quoted(text));
                    add(k, {});
                }
            });
            break;
        case kInfoWr:
            ok = each_record(req, kInfoWrRecord, [&](std::uint32_t k, std::string_view info) {
                if (!present(k)) {
                    return;
                }
                // The name is text up to its terminator; a field without one holds 16
                // characters at most. An empty name is no name: the old one stays.
                const std::string_view field = info.substr(0, kHostnameField);
                const std::string_view name = field.substr(0, std::min(field.find('\0'), kHostnameField - 1));
                if (name.empty()) {
                    log("controller " + std::to_string(k) + ": empty host name ignored");
                } else {
                    units_[k].hostname = name;
                    log("controller " + std::to_string(k) + " is now " + quoted(name));
                }
                add(k, {});
            });
            break;
        default:
            if (req.code >= kFirstBluetooth && req.code <= kLastBluetooth) {
                // The radio answers in its own time, through Protocol::poll.
                radio_.serve(req, now);
            } else {
                log("unknown request code " + std::to_string(req.code) + "; no reply");
            }
            return std::nullopt;
    }
    if (!ok) {
        return std::nullopt;
    }
    reply.session = session_;
    ++answered_;
    if (settings_.session_change_after != 0 && answered_ == settings_.session_change_after) {
        session_ = static_cast<std::uint16_t>(session_ + 1 == 0x10000 ? 1 : session_ + 1);
        log("session id changes to " + std::to_string(session_));
    }
    return reply;
}

}  // namespace kqsim
