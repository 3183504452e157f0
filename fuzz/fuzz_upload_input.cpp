// Whatever the receiver and the controller's shell send during an upload lands in the upload's
// receive buffer, in chunks of any size, and is searched for the echo, the prompts and the
// receiver's request. The buffer must keep exactly its first 1032 bytes, and nothing may read past
// them. The same bytes, taken as file content and as a path, go through the frame builder and the
// name rules.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "shell/remote_cmd.h"
#include "shell/upload.h"

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void feedInChunks(const std::uint8_t* data, std::size_t size) {
    kv::ClearUploadReceiveBuffer();
    // The first byte sets the chunk length (1 to 256), as the receive thread's reads fall.
    const std::size_t chunk = size > 0 ? std::size_t{data[0]} + 1 : 1;
    for (std::size_t at = 0; at < size; at += chunk) {
        const std::size_t n = std::min(chunk, size - at);
        kv::UploadInputData(data + at, static_cast<std::int32_t>(n));
    }
    const std::string kept = kv::UploadReceivedBytes();
    check(kept.size() == std::min(size, kv::kUploadRxBytes));
    check(std::memcmp(kept.data(), data, kept.size()) == 0);

    (void)kv::PromptAfterEcho(kept.c_str(), "xrecv \"/ramdisk/prog.bin\" 1500");
    const kv::ReceiverAnswer answer = kv::JudgeReceiverRequest(kept);
    if (answer.request != kv::ReceiverRequest::none) {
        check(kv::LastPromptEnd(kept.c_str()) < kept.size());
        check(answer.byte == static_cast<std::uint8_t>(kept.back()));
    }
}

void frameOf(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, kv::kMaxBlockFrameBytes> frame{};
    const std::size_t obtained = std::min<std::size_t>(size, 1024);
    for (const int mode : {kv::kChecksumSum, kv::kChecksumCrc}) {
        const std::size_t length =
            kv::BuildBlockFrame(static_cast<std::uint32_t>(size), data, obtained, mode, frame.data());
        const std::size_t n = obtained > 128 ? 1024 : 128;
        check(length == n + (mode == kv::kChecksumCrc ? 5 : 4));
        check(frame[0] == (n == 1024 ? kv::kStx : kv::kSoh));
        check(static_cast<std::uint8_t>(frame[1] + frame[2]) == 0xFF);
        check(std::memcmp(frame.data() + 3, data, obtained) == 0);
        check(std::all_of(frame.begin() + 3 + static_cast<std::ptrdiff_t>(obtained),
                          frame.begin() + 3 + static_cast<std::ptrdiff_t>(n),
                          [](std::uint8_t b) { return b == 0; }));
    }
}

void nameOf(const std::uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    for (const char separator : {'/', '\\'}) {
        const std::string name = kv::UploadNameFromPath(path, separator);
        check(name.find(separator) == std::string::npos);
        check(name.size() <= path.size());
        // The C interface sees a name up to its first zero byte.
        const std::string seen(name.c_str());
        if (kv::ValidUploadName(seen.c_str())) {
            check(!seen.empty() && seen.size() <= kv::kMaxUploadNameLength);
            check(std::none_of(seen.begin(), seen.end(), [](char c) {
                return c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
            }));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    feedInChunks(data, size);
    frameOf(data, size);
    nameOf(data, size);
    return 0;
}
