// Fuzz target: whatever a client sends reaches the controller through the splitter and, for a
// frame, the responder. However the bytes come, nothing may crash or read out of bounds, and the
// split must not depend on how the bytes were chunked.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "telegram.h"

namespace {

struct Collect : kqsim::StreamSplitter::Sink {
    std::string text_bytes;
    std::vector<std::string> frames;
    void text(std::string_view b) override { text_bytes += b; }
    void frame(std::string_view f) override { frames.emplace_back(f); }
    void bad_frame(std::string_view, std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto now = kqsim::Clock::now();

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
    out.pump(now, [](std::string_view bytes) {
        if (!kqsim::decode(bytes)) {
            std::abort();  // every reply the controller writes must be well formed
        }
        return static_cast<ssize_t>(bytes.size());
    });
    return 0;
}
