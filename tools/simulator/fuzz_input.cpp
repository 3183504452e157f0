// Fuzz target: whatever a client sends reaches the controller through the splitter and, for a
// frame, the responder. However the bytes come, nothing may crash or read out of bounds, and the
// split must not depend on how the bytes were chunked.
//
// The same bytes also go where an upload takes them: the first line through the xrecv argument
// and path parsers (a name they accept never leads out of its area), and everything through the
// file receiver, whose answers, data and outcome must not depend on the chunking either.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "shell.h"
#include "store.h"
#include "telegram.h"
#include "xmodem.h"

namespace {

struct Collect : kqsim::StreamSplitter::Sink {
    std::string text_bytes;
    std::vector<std::string> frames;
    void text(std::string_view b) override { text_bytes += b; }
    void frame(std::string_view f) override { frames.emplace_back(f); }
    void bad_frame(std::string_view, std::string_view) override {}
};

struct Transfer {
    std::string answers;
    std::string data;
    kqsim::XmodemReceiver::Outcome outcome;
    std::uint64_t received;
    std::size_t taken;

    bool operator==(const Transfer&) const = default;
};

Transfer receive(std::string_view input, bool bytewise, const kqsim::ReceiverSettings& settings,
                 kqsim::Clock::time_point now) {
    kqsim::OutputQueue out(0);
    kqsim::Recorder recorder(now);
    kqsim::XmodemReceiver rx(settings, out, recorder, now);
    std::size_t taken = 0;
    if (bytewise) {
        while (taken < input.size() && !rx.over()) {
            taken += rx.feed(input.substr(taken, 1), now);
        }
    } else {
        taken = rx.feed(input, now);
    }
    // Let every timer run out: a frame cut short, the drain, the silence.
    rx.poll(now + std::chrono::seconds{2});
    rx.poll(now + std::chrono::seconds{20});
    std::string answers;
    out.pump(now + std::chrono::hours{1}, [&answers](std::string_view b) {
        answers += b;
        return static_cast<ssize_t>(b.size());
    });
    return {answers, rx.data(), rx.outcome(), rx.received(), taken};
}

void check_xrecv_line(std::string_view input) {
    std::string error;
    const auto request = kqsim::parse_xrecv(input.substr(0, input.find('\r')), error);
    if (!request) {
        return;
    }
    const auto file = kqsim::parse_stored_name(request->path, error);
    if (file && (file->name.empty() || file->name == "." || file->name == ".." ||
                 file->name.find('/') != std::string::npos)) {
        std::abort();  // a name that could reach outside its area's directory
    }
}

void check_receiver(std::string_view input, kqsim::Clock::time_point now) {
    // The first byte picks the receiver's settings, so that the fuzzer reaches every mode.
    const auto pick = input.empty() ? 0U : static_cast<unsigned char>(input[0]);
    kqsim::ReceiverSettings settings;
    settings.crc = (pick & 1U) == 0;
    if ((pick & 2U) != 0) {
        settings.size = 1000;
    }
    settings.capacity = 4096;
    settings.faults.nak_block = (pick >> 2) & 3U;
    settings.faults.nak_times = 2;
    settings.faults.garbage = (pick >> 4) & 3U;
    settings.faults.no_answer = (pick >> 6) & 1U;
    settings.faults.no_eot_answer = (pick & 0x80U) != 0;
    settings.faults.can_after = 5;
    const Transfer whole = receive(input, false, settings, now);
    const Transfer bytewise = receive(input, true, settings, now);
    if (!(whole == bytewise) || whole.data.size() > settings.capacity ||
        (settings.size && whole.data.size() > *settings.size)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto now = kqsim::Clock::now();
    check_xrecv_line(input);
    check_receiver(input, now);

    Collect whole;
    Collect bytewise;
    kqsim::StreamSplitter a;
    kqsim::StreamSplitter b;
    a.feed(input, now, whole);
    for (std::size_t i = 0; i < input.size(); ++i) {
        b.feed(input.substr(i, 1), now, bytewise);
    }
    if (whole.frames != bytewise.frames || whole.text_bytes != bytewise.text_bytes) {
        std::abort();
    }

    kqsim::ResponderSettings settings;
    for (unsigned k = 1; k < kqsim::kControllers; ++k) {
        settings.extensions.set(k);
    }
    kqsim::OutputQueue out(0);
    kqsim::Recorder recorder(now);
    kqsim::Protocol protocol(settings, kqsim::FaultSettings{}, out, recorder, now);
    for (const std::string& frame : whole.frames) {
        protocol.receive(frame, now);
    }
    // Let the radio say everything it scheduled.
    protocol.poll(now + std::chrono::hours(1));
    out.pump(now, [](std::string_view bytes) {
        if (!kqsim::decode(bytes)) {
            std::abort();  // every reply the controller writes must be well formed
        }
        return static_cast<ssize_t>(bytes.size());
    });
    return 0;
}
