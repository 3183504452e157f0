#include "faults.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string>

namespace kqsim {
namespace {

using Nth = FaultSettings::Nth;

struct Flag {
    std::string_view name;
    bool FaultSettings::*field;
};
constexpr std::array kFlags{
    Flag{"byte-at-a-time", &FaultSettings::byte_at_a_time},
    Flag{"silent-probe", &FaultSettings::silent_probe},
    Flag{"silent-state", &FaultSettings::silent_state},
};

// The switches that fire on "the N-th" of something.
struct Counted {
    std::string_view name;
    Nth FaultSettings::*field;
    bool by_io;  // counts I/O exchanges rather than replies
    bool may_be_always;
};
constexpr std::array kCounted{
    Counted{"bad-checksum", &FaultSettings::bad_checksum, false, true},
    Counted{"no-end-mark", &FaultSettings::no_end_mark, false, true},
    Counted{"unknown-code", &FaultSettings::unknown_code, false, true},
    Counted{"short-io-reply", &FaultSettings::short_io_reply, true, true},
    Counted{"hangup-after-io", &FaultSettings::hangup_after_io, true, false},
};

template <typename T, std::size_t N>
const T* find(const std::array<T, N>& table, std::string_view name) {
    for (const T& entry : table) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

std::optional<std::uint64_t> number(std::string_view s, std::uint64_t max) {
    std::uint64_t n = 0;
    const char* end = s.data() + s.size();
    const auto [stop, ec] = std::from_chars(s.data(), end, n);
    if (s.empty() || ec != std::errc{} || stop != end || n > max) {
        return std::nullopt;
    }
    return n;
}

// A count of at least 1, small enough that adding it to a running count cannot wrap.
std::optional<std::uint64_t> positive(std::string_view s) {
    const auto n = number(s, 1'000'000'000'000ULL);
    return n && *n != 0 ? n : std::nullopt;
}

// "N" or, where allowed, "always"
std::optional<Nth> nth(std::string_view v, std::uint64_t base, bool always_allowed) {
    if (always_allowed && v == "always") {
        return Nth{0, true, base};
    }
    const auto n = positive(v);
    if (!n) {
        return std::nullopt;
    }
    return Nth{*n, false, base};
}

}  // namespace

std::optional<RandomRates> parse_random_rates(std::string_view text) {
    RandomRates rates;
    if (text == "off") {
        return rates;
    }
    if (text.find('=') == std::string_view::npos) {
        const auto all = number(text, 1000);
        if (!all) {
            return std::nullopt;
        }
        rates.per_mille.fill(static_cast<unsigned>(*all));
        return rates;
    }
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        const std::size_t eq = entry.find('=');
        if (eq == std::string_view::npos) {
            return std::nullopt;
        }
        const auto rate = number(entry.substr(eq + 1), 1000);
        std::size_t kind = 0;
        while (kind < kRandomKinds && kRandomKindNames[kind] != entry.substr(0, eq)) {
            ++kind;
        }
        if (!rate || kind == kRandomKinds) {
            return std::nullopt;
        }
        rates.per_mille[kind] = static_cast<unsigned>(*rate);
        if (comma == std::string_view::npos) {
            return rates;
        }
        text.remove_prefix(comma + 1);
    }
}

std::string describe_rates(const RandomRates& rates) {
    std::string s;
    for (std::size_t k = 0; k < kRandomKinds; ++k) {
        // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on a chain of temporaries here.
        if (k != 0) {
            s += ',';
        }
        s += kRandomKindNames[k];
        s += '=';
        s += std::to_string(rates.per_mille[k]);
    }
    return s;
}

bool fault_is_flag(std::string_view name) {
    return find(kFlags, name) != nullptr;
}

bool is_fault_name(std::string_view name) {
    return fault_is_flag(name) || find(kCounted, name) != nullptr || name == "no-reply" ||
           name == "lose-io" || name == "late-reply" || name == "garbage" || name == "random-faults" ||
           name == "seed";
}

bool set_fault(FaultSettings& s, std::string_view name, std::string_view value, std::uint64_t replies,
               std::uint64_t io, std::string& error) {
    const auto bad = [&]() {
        error = "invalid value '" + std::string(value) + "' for " + std::string(name);
        return false;
    };
    if (name == "clear") {
        if (!value.empty()) {
            return bad();
        }
        s = FaultSettings{};
        return true;
    }
    if (const Flag* flag = find(kFlags, name)) {
        if (!value.empty() && value != "on" && value != "off") {
            return bad();
        }
        s.*(flag->field) = value != "off";
        return true;
    }
    if (const Counted* counted = find(kCounted, name)) {
        if (value == "off") {
            s.*(counted->field) = Nth{};
            return true;
        }
        const auto which = nth(value, counted->by_io ? io : replies, counted->may_be_always);
        if (!which) {
            return bad();
        }
        s.*(counted->field) = *which;
        return true;
    }
    if (name == "no-reply") {
        if (value == "once") {
            s.no_reply = FaultSettings::NoReply::Once;
            s.no_reply_from = replies;
        } else if (value == "always") {
            s.no_reply = FaultSettings::NoReply::Always;
        } else if (value == "off") {
            s.no_reply = FaultSettings::NoReply::Off;
        } else if (value.starts_with("from-io ") || value.starts_with("from-io:")) {
            const auto n = positive(value.substr(8));
            if (!n) {
                return bad();
            }
            s.no_reply = FaultSettings::NoReply::FromIo;
            s.no_reply_from = io + *n;
        } else {
            return bad();
        }
        return true;
    }
    if (name == "lose-io") {
        // "N": the next N I/O exchanges; 0 or "off" ends a burst still running.
        const auto n = value == "off" ? std::optional<std::uint64_t>{0} : number(value, 1'000'000'000'000ULL);
        if (!n) {
            return bad();
        }
        s.lose_io = *n;
        s.lose_io_base = io;
        return true;
    }
    if (name == "late-reply") {
        // "MS": every reply; "MS:N": the N-th I/O reply only. Beyond a minute no client waits.
        const auto colon = value.find(':');
        const auto ms = number(value.substr(0, colon), 60'000);
        if (!ms) {
            return bad();
        }
        Nth which{0, *ms != 0, replies};
        if (colon != std::string_view::npos) {
            const auto n = nth(value.substr(colon + 1), io, false);
            if (!n) {
                return bad();
            }
            which = *n;
        }
        s.late_by = std::chrono::milliseconds{static_cast<std::chrono::milliseconds::rep>(*ms)};
        s.late = which;
        return true;
    }
    if (name == "random-faults") {
        const auto rates = parse_random_rates(value);
        if (!rates) {
            return bad();
        }
        s.random = *rates;
        return true;
    }
    if (name == "seed") {
        const auto seed = number(value, UINT64_MAX);
        if (!seed) {
            return bad();
        }
        s.seed = *seed;
        return true;
    }
    if (name == "garbage") {
        const auto n = number(value, 4096);
        if (!n) {
            return bad();
        }
        s.garbage = static_cast<unsigned long>(*n);
        return true;
    }
    error = "unknown fault '" + std::string(name) + "'";
    return false;
}

bool xrecv_fault_is_flag(std::string_view name) {
    return name == "xrecv-can-before-first" || name == "xrecv-no-eot-answer";
}

bool is_xrecv_fault_name(std::string_view name) {
    return xrecv_fault_is_flag(name) || name == "xrecv-nak" || name == "xrecv-can-after" ||
           name == "xrecv-garbage" || name == "xrecv-no-answer";
}

bool set_xrecv_fault(XrecvFaults& s, std::string_view name, std::string_view value, std::string& error) {
    const auto bad = [&]() {
        error = "invalid value '" + std::string(value) + "' for " + std::string(name);
        return false;
    };
    if (xrecv_fault_is_flag(name)) {
        if (!value.empty() && value != "on" && value != "off") {
            return bad();
        }
        (name == "xrecv-can-before-first" ? s.can_before_first : s.no_eot_answer) = value != "off";
        return true;
    }
    if (name == "xrecv-nak") {
        // "BLOCK:TIMES"; a block NAKed ten times in a row ends the transfer anyway.
        if (value == "off") {
            s.nak_block = 0;
            s.nak_times = 0;
            return true;
        }
        const auto colon = value.find(':');
        if (colon == std::string_view::npos) {
            return bad();
        }
        const auto block = positive(value.substr(0, colon));
        const auto times = number(value.substr(colon + 1), 1000);
        if (!block || !times || *times == 0) {
            return bad();
        }
        s.nak_block = *block;
        s.nak_times = static_cast<unsigned>(*times);
        return true;
    }
    std::uint64_t XrecvFaults::*field = nullptr;
    if (name == "xrecv-can-after") {
        field = &XrecvFaults::can_after;
    } else if (name == "xrecv-garbage") {
        field = &XrecvFaults::garbage;
    } else if (name == "xrecv-no-answer") {
        field = &XrecvFaults::no_answer;
    } else {
        error = "unknown fault '" + std::string(name) + "'";
        return false;
    }
    if (value == "off") {
        s.*field = 0;
        return true;
    }
    const auto block = positive(value);
    if (!block) {
        return bad();
    }
    s.*field = *block;
    return true;
}

}  // namespace kqsim
