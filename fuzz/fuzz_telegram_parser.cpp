// Whatever arrives on the line in telegram mode goes through the parser and, for frames that pass
// their checks, into the reply handlers, which take the payloads apart into the transfer area. None
// of it may read or write outside the receive buffer, the payload, the transfer area or the
// Bluetooth event records.
//
// Input layout: the last byte chooses how the input is fed.
// - Top bit clear: the whole input is the received byte stream. The seed files are plain reply
//   telegrams; their end mark 0x03 is such a choice byte.
// - Top bit set: the bytes before it are tickets, each preceded by a 2-byte big-endian length, and
//   are framed here with a correct checksum, so that mutated payloads reach the reply handlers
//   without the fuzzer having to find matching checksums.
// The low 7 bits seed the chunk sizes (0: the whole stream as one chunk), since a discarded frame
// drops the rest of its chunk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bluetooth/relay.h"
#include "serial/parser.h"
#include "serial/telegram.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/request_table.h"
#include "transfer/transfer_area.h"

namespace {

std::vector<std::uint8_t> frameTickets(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> stream;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t length =
            (static_cast<std::size_t>(data[at]) << 8 | data[at + 1]) % (kv::kMaxTicketBytes + 1);
        at += 2;
        if (length > size - at) {
            length = size - at;
        }
        const std::size_t start = stream.size();
        stream.push_back(kv::kTelegramStx);
        stream.push_back(kv::kTelegramSync);
        stream.push_back(static_cast<std::uint8_t>(length >> 8));
        stream.push_back(static_cast<std::uint8_t>(length & 0xFF));
        stream.insert(stream.end(), data + at, data + at + length);
        at += length;
        const std::uint16_t checksum =
            kv::TelegramChecksum(stream.data() + start + 2, static_cast<std::int32_t>(length + 2));
        stream.push_back(static_cast<std::uint8_t>(checksum >> 8));
        stream.push_back(static_cast<std::uint8_t>(checksum & 0xFF));
        stream.push_back(kv::kTelegramEtx);
    }
    return stream;
}

bool validState(std::uint32_t s) {
    switch (s) {
        case kv::GET_STX_STATE:
        case kv::GET_SYNC_STATE:
        case kv::GET_LEN_HI_STATE:
        case kv::GET_LEN_LO_STATE:
        case kv::GET_DATA_STATE:
        case kv::GET_CRC_HI_STATE:
        case kv::GET_CRC_LO_STATE:
        case kv::GET_ETX_STATE:
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        kv::InstallReplyHandlers();
        kv::InstallBtReplyHandlers();
        kv::InstallCycleReplyHooks();
        return kv::AllocateTransferArea();
    }();
    (void)ready;
    if (size == 0) {
        return 0;
    }

    const std::uint8_t choice = data[size - 1];
    std::vector<std::uint8_t> stream =
        (choice & 0x80) != 0 ? frameTickets(data, size - 1) : std::vector<std::uint8_t>(data, data + size);

    kv::ResetParser();
    // A running connection, so that a session id in a reply can also count as a change.
    kv::requestCounter().store(5);
    kv::sessionId().store(0);
    kv::requestTable().clearAll();

    std::uint32_t seed = choice & 0x7Fu;
    std::size_t at = 0;
    while (at < stream.size()) {
        std::size_t chunk = stream.size() - at;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            chunk = std::min<std::size_t>(chunk, 1 + (seed >> 16) % 64);
        }
        kv::IFInputData(stream.data() + at, static_cast<std::int32_t>(chunk));
        at += chunk;
        if (!validState(kv::CurrentParserState())) {
            __builtin_trap();
        }
    }
    return 0;
}
