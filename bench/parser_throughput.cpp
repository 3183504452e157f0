// Receive-side throughput: a long stream of valid REM_IO_REPLY telegrams (1 to 9 records each) fed to
// the telegram parser in 2048-byte chunks, the largest chunk the receive thread hands it. Measured
// three ways in one run:
//   - IFInputData with the library's reply handlers installed and a transfer area to write into;
//   - IFInputData with a handler that does nothing (the parser and the dispatch alone);
//   - the floor: a plain sum of the same bytes, chunk by chunk.
// The telegrams are framed here, independently of the library's own framing code, so that a stream
// the parser does not take shows up as a wrong count of handled replies.
//
//   parser_throughput [megabytes] [runs]      (defaults 32 and 7)
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/log.h"
#include "serial/parser.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/transfer_area.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkBytes = 2048;
constexpr std::size_t kRecordBytes = 52;  // controller index + 48 bytes of inputs
constexpr std::uint32_t kRemIoReply = 102;

void putLe16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t x) {
    v[at] = static_cast<std::uint8_t>(x & 0xFFu);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}

void putLe32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (std::size_t i = 0; i < 4; ++i) {
        v[at + i] = static_cast<std::uint8_t>((x >> (8 * i)) & 0xFFu);
    }
}

// Appends one REM_IO_REPLY with `records` records (controllers 0 .. records-1) whose inputs move
// from one telegram to the next, as a running controller's do.
void appendReply(std::vector<std::uint8_t>& out, std::uint16_t counter, std::uint32_t records,
                 std::mt19937& rng) {
    const std::size_t payload = records * kRecordBytes;
    const std::size_t start = out.size();
    out.resize(start + payload + 27);
    out[start] = 0x02;
    out[start + 1] = 0x55;
    const auto length = static_cast<std::uint16_t>(payload + 20);
    out[start + 2] = static_cast<std::uint8_t>(length >> 8);
    out[start + 3] = static_cast<std::uint8_t>(length & 0xFFu);
    putLe32(out, start + 4, 2);
    putLe32(out, start + 8, 1);
    putLe16(out, start + 12, counter);
    putLe16(out, start + 14, 0);  // session id: the one the parser holds, so no change is reported
    putLe32(out, start + 16, kRemIoReply);
    putLe32(out, start + 20, records);
    for (std::uint32_t r = 0; r < records; ++r) {
        const std::size_t at = start + 24 + r * kRecordBytes;
        putLe32(out, at, r);
        for (std::size_t i = 4; i < kRecordBytes; ++i) {
            out[at + i] = static_cast<std::uint8_t>(rng());
        }
    }
    std::uint16_t sum = 0;
    for (std::size_t i = start + 2; i < start + 24 + payload; ++i) {
        sum = static_cast<std::uint16_t>(sum + out[i]);
    }
    const auto checksum = static_cast<std::uint16_t>(0x10000u - sum);
    out[start + 24 + payload] = static_cast<std::uint8_t>(checksum >> 8);
    out[start + 25 + payload] = static_cast<std::uint8_t>(checksum & 0xFFu);
    out[start + 26 + payload] = 0x03;
}

std::vector<std::uint8_t> buildStream(std::size_t targetBytes, std::size_t& telegrams) {
    std::vector<std::uint8_t> out;
    out.reserve(targetBytes + 512);
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::uint32_t> recordCount(1, 9);
    telegrams = 0;
    std::uint16_t counter = 0;
    while (out.size() < targetBytes) {
        appendReply(out, ++counter, recordCount(rng), rng);
        ++telegrams;
    }
    return out;
}

// Replies seen by the handlers below; checked against the number of telegrams in the stream.
std::size_t g_handled = 0;

void countingLibraryHandler(std::uint32_t count, const std::uint8_t* payload, std::int32_t length) {
    ++g_handled;
    kv::cbKolvX1RemIOReply(count, payload, length);
}

void countingNoOpHandler(std::uint32_t, const std::uint8_t*, std::int32_t) {
    ++g_handled;
}

// Keeps a value alive as far as the optimiser can tell.
template <typename T>
void keep(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

double feedParser(const std::vector<std::uint8_t>& stream) {
    kv::ResetParser();
    const auto t0 = Clock::now();
    for (std::size_t at = 0; at < stream.size(); at += kChunkBytes) {
        const std::size_t n = std::min(kChunkBytes, stream.size() - at);
        kv::IFInputData(stream.data() + at, static_cast<std::int32_t>(n));
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double sumBytes(const std::vector<std::uint8_t>& stream, std::uint64_t& result) {
    const auto t0 = Clock::now();
    std::uint64_t total = 0;
    for (std::size_t at = 0; at < stream.size(); at += kChunkBytes) {
        const std::size_t n = std::min(kChunkBytes, stream.size() - at);
        const std::uint8_t* p = stream.data() + at;
        // The barrier makes the compiler read every chunk afresh on every run.
        keep(p);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sum += p[i];
        }
        total += sum;
    }
    keep(total);
    result = total;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Rate {
    double best;
    double median;
};

Rate rates(std::vector<double> seconds, std::size_t bytes) {
    std::sort(seconds.begin(), seconds.end());
    const double mb = static_cast<double>(bytes) / 1e6;
    return {mb / seconds.front(), mb / seconds[seconds.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::max(1L, std::atol(argv[1])) : 32;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    std::string logDir;
    if (const char* dir = std::getenv("KVLIB_LOG_DIR"); dir != nullptr) {
        logDir = dir;
    } else {
        char pattern[] = "/tmp/kvarolib-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        logDir = pattern;
        ::setenv("KVLIB_LOG_DIR", logDir.c_str(), 1);
    }
    kv::InitLog();
    // As in the library: every reply passes the engine's reply timing.
    kv::InstallCycleReplyHooks();
    if (!kv::AllocateTransferArea()) {
        std::fprintf(stderr, "cannot allocate the transfer area\n");
        return 1;
    }

    std::size_t telegrams = 0;
    const std::vector<std::uint8_t> stream =
        buildStream(static_cast<std::size_t>(megabytes) * 1000000, telegrams);

    std::vector<double> withHandlers;
    std::vector<double> parserAlone;
    std::vector<double> floor;
    std::uint64_t checksum = 0;
    // Interleaved, so that a slow spell of the machine hits all three alike.
    for (int r = 0; r < runs; ++r) {
        kv::InstallReplyHandlers();
        kv::SetReplyHandler(kRemIoReply, countingLibraryHandler);
        g_handled = 0;
        withHandlers.push_back(feedParser(stream));
        if (g_handled != telegrams) {
            std::fprintf(stderr, "library handlers saw %zu of %zu replies\n", g_handled, telegrams);
            return 1;
        }

        kv::SetReplyHandler(kRemIoReply, countingNoOpHandler);
        g_handled = 0;
        parserAlone.push_back(feedParser(stream));
        if (g_handled != telegrams) {
            std::fprintf(stderr, "no-op handler saw %zu of %zu replies\n", g_handled, telegrams);
            return 1;
        }

        floor.push_back(sumBytes(stream, checksum));
    }
    kv::ReleaseTransferArea();

    const Rate lib = rates(withHandlers, stream.size());
    const Rate alone = rates(parserAlone, stream.size());
    const Rate sum = rates(floor, stream.size());
    std::printf(
        "parser throughput: %.1f MB of REM_IO_REPLY (%zu telegrams, 1..9 records), %zu-byte chunks, "
        "%d runs\n",
        static_cast<double>(stream.size()) / 1e6, telegrams, kChunkBytes, runs);
    std::printf("  %-44s best %9.1f MB/s   median %9.1f MB/s\n", "IFInputData, library reply handlers",
                lib.best, lib.median);
    std::printf("  %-44s best %9.1f MB/s   median %9.1f MB/s\n", "IFInputData, no-op handler (parser alone)",
                alone.best, alone.median);
    std::printf("  %-44s best %9.1f MB/s   median %9.1f MB/s\n", "floor: plain byte sum, same chunks",
                sum.best, sum.median);
    std::printf("  library handlers / floor:  best %.4f   median %.4f\n", lib.best / sum.best,
                lib.median / sum.median);
    std::printf("  parser alone / floor:      best %.4f   median %.4f\n", alone.best / sum.best,
                alone.median / sum.median);
    // What the parser meets in service: a 38400 baud line, 10 bits a byte.
    const double lineRate = 38400.0 / 10.0 / 1e6;
    std::printf(
        "  replies per second with library handlers: %.0f (median run); a 38400 baud line carries %.5f MB/s, "
        "%.0f times less\n",
        static_cast<double>(telegrams) * lib.median / (static_cast<double>(stream.size()) / 1e6), lineRate,
        lib.median / lineRate);
    std::printf("  (byte sum %llu)\n", static_cast<unsigned long long>(checksum));
    return 0;
}
