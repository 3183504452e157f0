#include "options.h"

#include <bitset>
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

// "K[,K...]" with each K an extension index 1..8
// "none", or ADDR[=NAME] entries separated by commas.
std::optional<std::vector<BtDevice>> to_bt_devices(std::string_view s) {
    std::vector<BtDevice> devices;
    if (s == "none") {
        return devices;
    }
    while (true) {
        const std::size_t comma = s.find(',');
        const std::string_view entry = s.substr(0, comma);
        const std::size_t eq = entry.find('=');
        const auto address = parse_bt_address(entry.substr(0, eq));
        if (!address) {
            return std::nullopt;
        }
        devices.push_back({*address, eq == std::string_view::npos ? std::string() : std::string(entry.substr(eq + 1))});
        if (comma == std::string_view::npos) {
            return devices;
        }
        s.remove_prefix(comma + 1);
    }
}

// Two different channels 1..8, "A:B".
std::optional<std::pair<unsigned, unsigned>> to_channel_pair(std::string_view s) {
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto a = to_number(s.substr(0, colon));
    const auto b = to_number(s.substr(colon + 1));
    if (!a || !b || *a < 1 || *a > kBtChannels || *b < 1 || *b > kBtChannels || *a == *b) {
        return std::nullopt;
    }
    return std::pair{static_cast<unsigned>(*a), static_cast<unsigned>(*b)};
}

std::optional<std::bitset<kControllers>> to_extensions(std::string_view s) {
    std::bitset<kControllers> set;
    while (!s.empty()) {
        const auto comma = s.find(',');
        const auto k = to_number(s.substr(0, comma));
        if (!k || *k == 0 || *k >= kControllers) {
            return std::nullopt;
        }
        set.set(*k);
        if (comma == std::string_view::npos) {
            break;
        }
        s.remove_prefix(comma + 1);
        if (s.empty()) {
            return std::nullopt;
        }
    }
    return set;
}

// "MAJOR.MINOR", each 0..255
bool to_firmware(std::string_view s, ResponderSettings& r) {
    const auto dot = s.find('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    const auto major = to_number(s.substr(0, dot));
    const auto minor = to_number(s.substr(dot + 1));
    if (!major || !minor || *major > 255 || *minor > 255) {
        return false;
    }
    r.fw_major = static_cast<std::uint8_t>(*major);
    r.fw_minor = static_cast<std::uint8_t>(*minor);
    return true;
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
        "  --verbose               log activity to stderr (names the temporary store when made)\n"
        "  --help                  show this text\n"
        "\n"
        "Kolv.X1 telegrams (a frame starts 0x02 0x55; all other bytes go to the shell):\n"
        "  --session N             session id the controller chooses (0..65535, default 7)\n"
        "  --session-change-after N  after the N-th reply take the next session id (skips 0)\n"
        "  --extensions LIST       extension controllers present at start: indexes 1..8 separated\n"
        "                          by commas, e.g. 2 or 1,3 (default none)\n"
        "  --hostname NAME         host name of the master, 1..16 characters (default VORI-KQ-M;\n"
        "                          extension k is VORI-KQ-Sk)\n"
        "  --firmware MAJOR.MINOR  firmware of every controller (default 1.5, shown as 1.05)\n"
        "  --cmd-delay MS          time from a new counter-reset or motor command id in the outputs\n"
        "                          to the id showing in the inputs (default 30)\n"
        "  --control PATH          create a FIFO at PATH and take control commands from it:\n"
        "                            ext add K... | ext remove K... | session N | hangup |\n"
        "                            fault NAME [VALUE] (NAME as the options below) | fault clear |\n"
        "                            report (the random faults' counts and what each controller\n"
        "                            holds, written to the record)\n"
        "  --record PATH           append a line per received telegram to PATH:\n"
        "                            <ms> <code> <counter> <hex of the whole telegram>\n"
        "                          also '<ms> bad <hex> <reason>', '<ms> shell <line>',\n"
        "                          '<ms> control <line>', '<ms> fault <kind> <code> <counter>\n"
        "                          <detail>' per random fault, '<ms> report <...>' lines (see\n"
        "                          the random faults below), and for file transfers:\n"
        "                            <ms> xstart <path> <size>|- crc|sum\n"
        "                            <ms> xblock <n>|- <len> ok|dup|bad <answer> <hex>[ <reason>]\n"
        "                            <ms> xeot ack|none    <ms> xskip <hex>\n"
        "                            <ms> xend stored <bytes> | <ms> xend failed <message>\n"
        "                          <answer> is ack, nak, can, garbage or none; <reason> is\n"
        "                          complement, checksum, incomplete or sequence for a bad block,\n"
        "                          refused, lost or full for a good block that a fault (or, without\n"
        "                          a size, the area's room) kept from being taken;\n"
        "                          <ms> counts from kqsim's start\n"
        "\n"
        "File upload: xrecv \"/AREA/NAME\" [SIZE] receives a file by XMODEM (128- and 1024-byte\n"
        "blocks, sum or CRC-16) after its echo and the prompt, and stores it, cut to SIZE, in\n"
        "STORE/AREA/NAME (AREA ramdisk, flash or system). NAME must be a plain file name: one\n"
        "with a '/' in it, or '.' or '..', is refused with a message and no transfer.\n"
        "Until the transfer is over every byte from the line is the receiver's, telegram-like or\n"
        "not. A transfer that ends short of SIZE stores nothing. clean_disk ramdisk|flash empties\n"
        "that area's directory.\n"
        "  --store DIR             keep the areas in DIR/ramdisk, DIR/flash, DIR/system (made if\n"
        "                          missing; default: a temporary directory removed at exit)\n"
        "  --xrecv-start crc|nak   ask for the first block with 'C' (CRC-16, default) or NAK (sum);\n"
        "                          the ask repeats every second until a block comes\n"
        "  --xrecv-timeout MS      silence that ends a transfer, back to the prompt (default 10000)\n"
        "  --flash-delay MS        wait before ACKing the EOT of a flash or system upload (default 500)\n"
        "Upload faults; BLOCK counts a transfer's blocks from 1, without the 8-bit wrap, and each\n"
        "switch acts in every transfer started while it is set:\n"
        "  --xrecv-nak BLOCK:TIMES NAK the first TIMES arrivals of BLOCK, good or not\n"
        "  --xrecv-can-before-first  answer the xrecv command with CAN CAN instead of asking\n"
        "  --xrecv-can-after BLOCK take BLOCK, then answer it with CAN CAN\n"
        "  --xrecv-garbage BLOCK   take BLOCK, but answer it with 0x86 instead of ACK (once)\n"
        "  --xrecv-no-answer BLOCK lose BLOCK on its way in: no answer (once; a resend is taken)\n"
        "  --xrecv-no-eot-answer   lose the first EOT the same way\n"
        "\n"
        "Telegram faults. \"The N-th\" counts replies of any code, or I/O exchanges\n"
        "(REM_IO_REQUESTs) where the text says so, from the start (from the command when set\n"
        "through the FIFO). Every answered request counts as a reply, even one a fault swallows.\n"
        "  --no-reply once|always|from-io N  swallow the next reply, all replies, or every reply\n"
        "                          from the N-th I/O exchange on\n"
        "  --lose-io N             the next N I/O exchanges get no reply (a burst of lost replies)\n"
        "  --late-reply MS[:N]     delay every reply by MS, or only the N-th I/O reply\n"
        "  --bad-checksum N|always   the N-th reply gets a wrong checksum\n"
        "  --no-end-mark N|always    the N-th reply ends with 0x00 instead of the end mark\n"
        "  --unknown-code N|always   the N-th reply carries reply code 119\n"
        "  --short-io-reply N|always the N-th I/O reply is 4 bytes shorter than its count says\n"
        "  --garbage N             write N noise bytes (never 0x02) before every reply\n"
        "  --byte-at-a-time        write each reply byte on its own, 1 ms apart\n"
        "  --silent-probe          never answer ECHO_REQUEST\n"
        "  --silent-state          never answer STATE_RD_REQUEST\n"
        "  --hangup-after-io N     hang the line up once the N-th I/O exchange is answered\n"
        "\n"
        "Random telegram faults, for soak tests. RATE is in thousandths (0..1000) of the replies\n"
        "a kind can strike; the draws come from one seeded generator in a fixed order per reply,\n"
        "so the same seed and the same requests give the same faults:\n"
        "  --random-faults RATE|KIND=RATE[,KIND=RATE...]  every kind at RATE, or the kinds named:\n"
        "                          lose         an I/O reply and up to two more get none (the\n"
        "                                       next I/O reply after a burst always goes out)\n"
        "                          late         a reply late by 1..180 ms, one in five by 200..400\n"
        "                          late-config  a configuration write reply late by 50..400 ms\n"
        "                          garbage      1..32 noise bytes (never 0x02) before a reply\n"
        "                          split        a reply written in 2 or 3 parts, 1..5 ms apart\n"
        "                          session      a new session id, carried already by this reply\n"
        "  --seed N                seed of the random faults (default: from the clock, printed to\n"
        "                          stderr at start); the control command \"fault seed N\" restarts\n"
        "                          the draws. Each fault is recorded (--record) as it strikes; the\n"
        "                          control command \"report\" and the exit write a report there,\n"
        "                          and the exit prints the counts per kind to stderr\n"
        "\n"
        "Every controller's inputs move: analog inputs run up and down between 0 and 5000 in\n"
        "steps every 100 ms, inputs configured digital (mode bit 7) flip between 0 and 1;\n"
        "counter i counts once every 50 ms * (i + 1). A counter-reset or motor command id in\n"
        "the outputs shows in the inputs --cmd-delay later; a new reset id zeroes its counter.\n"
        "Requests for absent controllers get no record in the reply. REM_MONITOR_REQUEST and\n"
        "REM_CONFIG_RD_REQUEST (index records) are answered with the inputs and the stored\n"
        "configuration. Unknown request codes and requests whose payload does not match their\n"
        "record count get no reply.\n"
        "\n"
        "Bluetooth (requests 10..18, answered with 110..118, some at once, some later): a scan\n"
        "reports each device in range, one per step, then status 5; a connect to a device in\n"
        "range succeeds (status 0) after a step, to any other fails (3) after five; listening\n"
        "for a device in range brings its call (listen reply status 11); reading on makes\n"
        "messages arrive as read replies (status 10); a write on an unconnected channel fails (3).\n"
        "  --bt-devices LIST       devices in range: ADDR[=NAME] separated by commas, or none\n"
        "                          (default 00:1A:7D:DA:72:01=VORI-PHONE, ...:02=VORI-KQ-R2,\n"
        "                          ...:03=HEADSET)\n"
        "  --bt-loopback A:B       what channel A writes arrives on channel B and back again\n"
        "  --bt-step MS            scan result interval and connect time (default 20)\n"
        "  --bt-incoming-after MS  from listening on to the remote device's call (default 100)\n",
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

        const std::string_view bare = name.starts_with("--") ? name.substr(2) : std::string_view{};
        const bool is_fault = is_fault_name(bare);
        const bool is_xfault = is_xrecv_fault_name(bare);
        const bool is_flag = name == "--help" || name == "-h" || name == "--bluetooth" ||
                             name == "--silent" || name == "--stale-prompt" || name == "--verbose" ||
                             (is_fault && fault_is_flag(bare)) || (is_xfault && xrecv_fault_is_flag(bare));
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
            std::string error;
            if (is_fault) {
                set_fault(o.faults, bare, "", 0, 0, error);
            } else if (is_xfault) {
                set_xrecv_fault(o.xrecv_faults, bare, "", error);
            }
            continue;
        }

        const bool takes_value =
            name == "--link" || name == "--serial" || name == "--clean-delay" || name == "--split-prompt" ||
            name == "--endless" || name == "--ignore" || name == "--hangup-on" || name == "--line-rate" ||
            name == "--session" || name == "--session-change-after" || name == "--extensions" ||
            name == "--hostname" || name == "--firmware" || name == "--cmd-delay" || name == "--control" ||
            name == "--record" || name == "--store" || name == "--xrecv-start" || name == "--xrecv-timeout" ||
            name == "--flash-delay" || name == "--bt-devices" || name == "--bt-loopback" || name == "--bt-step" ||
            name == "--bt-incoming-after" || is_fault || is_xfault;
        if (!takes_value) {
            return fail("unknown option '" + std::string(args[i]) + "'");
        }
        const auto v = value();
        if (!v) {
            return fail(std::string(name) + " needs a value");
        }

        if (is_fault) {
            std::string setting(*v);
            // "--no-reply from-io N" takes the count as a further argument.
            if (name == "--no-reply" && setting == "from-io" && !attached && i + 1 < args.size()) {
                setting += ' ';
                setting += args[++i];
            }
            std::string error;
            if (!set_fault(o.faults, bare, setting, 0, 0, error)) {
                return fail(error);
            }
            o.seed_given = o.seed_given || bare == "seed";
        } else if (is_xfault) {
            std::string error;
            if (!set_xrecv_fault(o.xrecv_faults, bare, *v, error)) {
                return fail(error);
            }
        } else if (name == "--bt-devices") {
            auto devices = to_bt_devices(*v);
            if (!devices) {
                return bad_value(*v);
            }
            o.responder.radio.devices = std::move(*devices);
        } else if (name == "--bt-loopback") {
            o.responder.radio.loopback = to_channel_pair(*v);
            if (!o.responder.radio.loopback) {
                return bad_value(*v);
            }
        } else if (name == "--bt-step" || name == "--bt-incoming-after") {
            const auto ms = to_ms(*v);
            if (!ms) {
                return bad_value(*v);
            }
            (name == "--bt-step" ? o.responder.radio.step : o.responder.radio.incoming_after) = *ms;
        } else if (name == "--store") {
            if (v->empty()) {
                return bad_value(*v);
            }
            o.store_dir = *v;
        } else if (name == "--xrecv-start") {
            if (*v != "crc" && *v != "nak") {
                return bad_value(*v);
            }
            o.xrecv_crc = *v == "crc";
        } else if (name == "--xrecv-timeout" || name == "--flash-delay") {
            const auto ms = to_ms(*v);
            if (!ms || (name == "--xrecv-timeout" && ms->count() == 0)) {
                return bad_value(*v);
            }
            (name == "--flash-delay" ? o.flash_delay : o.xrecv_timeout) = *ms;
        } else if (name == "--session") {
            const auto id = to_number(*v);
            if (!id || *id > 0xffff) {
                return bad_value(*v);
            }
            o.responder.session = static_cast<std::uint16_t>(*id);
        } else if (name == "--session-change-after") {
            const auto n = to_number(*v);
            if (!n || *n == 0) {
                return bad_value(*v);
            }
            o.responder.session_change_after = *n;
        } else if (name == "--extensions") {
            const auto set = to_extensions(*v);
            if (!set) {
                return bad_value(*v);
            }
            o.responder.extensions = *set;
        } else if (name == "--hostname") {
            if (v->empty() || v->size() > 16) {
                return bad_value(*v);
            }
            o.responder.master_hostname = *v;
        } else if (name == "--firmware") {
            if (!to_firmware(*v, o.responder)) {
                return bad_value(*v);
            }
        } else if (name == "--cmd-delay") {
            const auto ms = to_ms(*v);
            if (!ms) {
                return bad_value(*v);
            }
            o.responder.cmd_delay = *ms;
        } else if (name == "--control" || name == "--record") {
            if (v->empty()) {
                return bad_value(*v);
            }
            (name == "--control" ? o.control_path : o.record_path) = *v;
        } else if (name == "--link") {
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
