#include "options.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace kqsim {
namespace {

std::optional<unsigned long> to_number(std::string_view s) {
    unsigned long n = 0;
    const char* end = s.data() + s.size();
    const auto [stop, ec] = std::from_chars(s.data(), end, n);
    if (s.empty() || ec != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return n;
}

std::optional<std::chrono::milliseconds> to_ms(std::string_view s) {
    const auto n = to_number(s);
    // Anything beyond a day is a typo, and capping keeps the time arithmetic far from overflow.
    if (!n || *n > 86'400'000UL) {
        return std::nullopt;
    }
    return std::chrono::milliseconds{static_cast<std::chrono::milliseconds::rep>(*n)};
}

// "GAP_MS" or "GAP_MS:COUNT"
std::optional<Options::Endless> to_endless(std::string_view s) {
    const auto colon = s.find(':');
    const auto gap = to_ms(s.substr(0, colon));
    if (!gap) {
        return std::nullopt;
    }
    Options::Endless e{*gap, std::nullopt};
    if (colon != std::string_view::npos) {
        e.count = to_number(s.substr(colon + 1));
        if (!e.count) {
            return std::nullopt;
        }
    }
    return e;
}

}  // namespace

void print_usage(std::FILE* to) {
    std::fputs(
        "usage: kqsim [options]\n"
        "Plays a VORI KQ controller on a pseudo terminal. Prints the slave path as the first\n"
        "line on stdout and serves until SIGINT or SIGTERM. SIGUSR1 hangs the line up.\n"
        "\n"
        "  --link PATH             symlink PATH to the slave (replaced if present, removed at exit)\n"
        "  --serial WORD           answer of get_ser_num (default KQ10042317)\n"
        "  --clean-delay MS        time clean_disk takes (default 300)\n"
        "  --bluetooth             prompt \"Bluetooth>\" instead of \"USB>\"\n"
        "  --silent                never write anything\n"
        "  --split-prompt MS       write each prompt in two parts, MS apart\n"
        "  --stale-prompt          write a left-over prompt before each non-empty echo\n"
        "  --endless GAP_MS[:N]    after a command's echo, stream \"data K\" lines every GAP_MS\n"
        "                          instead of answering; after N lines write the prompt\n"
        "  --ignore CMD            swallow lines equal to CMD (repeatable)\n"
        "  --hangup-on CMD         hang the line up when a line equal to CMD arrives (repeatable)\n"
        "  --line-rate BAUD        pace output like a serial line at BAUD, 10 bits per byte\n"
        "  --verbose               log activity to stderr\n"
        "  --help                  show this text\n",
        to);
}

ParseResult parse_options(std::span<char* const> args) {
    ParseResult r;
    Options& o = r.options;
    const auto fail = [&r](std::string msg) {
        r.status = ParseResult::Status::Error;
        r.error = std::move(msg);
        return r;
    };

    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> attached;  // "--name=value"
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
            attached = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto value = [&]() -> std::optional<std::string_view> {
            if (attached) {
                return attached;
            }
            if (i + 1 < args.size()) {
                return std::string_view{args[++i]};
            }
            return std::nullopt;
        };
        const auto bad_value = [&](std::string_view v) {
            return fail("invalid value '" + std::string(v) + "' for " + std::string(name));
        };

        const bool is_flag = name == "--help" || name == "-h" || name == "--bluetooth" ||
                             name == "--silent" || name == "--stale-prompt" || name == "--verbose";
        if (is_flag) {
            if (attached) {
                return fail(std::string(name) + " takes no value");
            }
            if (name == "--help" || name == "-h") {
                r.status = ParseResult::Status::Help;
                return r;
            }
            o.bluetooth = o.bluetooth || name == "--bluetooth";
            o.silent = o.silent || name == "--silent";
            o.stale_prompt = o.stale_prompt || name == "--stale-prompt";
            o.verbose = o.verbose || name == "--verbose";
            continue;
        }

        const bool takes_value = name == "--link" || name == "--serial" || name == "--clean-delay" ||
                                 name == "--split-prompt" || name == "--endless" || name == "--ignore" ||
                                 name == "--hangup-on" || name == "--line-rate";
        if (!takes_value) {
            return fail("unknown option '" + std::string(args[i]) + "'");
        }
        const auto v = value();
        if (!v) {
            return fail(std::string(name) + " needs a value");
        }

        if (name == "--link") {
            if (v->empty()) {
                return bad_value(*v);
            }
            o.link_path = *v;
        } else if (name == "--serial") {
            o.serial = *v;
        } else if (name == "--clean-delay") {
            const auto ms = to_ms(*v);
            if (!ms) {
                return bad_value(*v);
            }
            o.clean_delay = *ms;
        } else if (name == "--split-prompt") {
            o.split_prompt = to_ms(*v);
            if (!o.split_prompt) {
                return bad_value(*v);
            }
        } else if (name == "--endless") {
            o.endless = to_endless(*v);
            if (!o.endless) {
                return bad_value(*v);
            }
        } else if (name == "--ignore") {
            o.ignore.emplace_back(*v);
        } else if (name == "--hangup-on") {
            o.hangup_on.emplace_back(*v);
        } else {  // --line-rate
            const auto baud = to_number(*v);
            if (!baud || *baud == 0 || *baud > 100'000'000UL) {
                return bad_value(*v);
            }
            o.line_rate = *baud;
        }
    }
    return r;
}

}  // namespace kqsim
