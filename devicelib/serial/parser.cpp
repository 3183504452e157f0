#include "serial/parser.h"

#include <array>
#include <atomic>

#include "base/events.h"
#include "base/log.h"
#include "serial/exchange.h"
#include "serial/receive.h"
#include "serial/telegram.h"

namespace kv {
namespace {

constexpr std::size_t kReplyCodes = kLastReplyCode - kFirstReplyCode + 1;

// The parser's working state. Only the receive thread feeds the parser; the state value itself is
// atomic because the thread that starts the receive thread resets it and tests read it.
struct ParserState {
    std::atomic<std::uint32_t> state{0};
    std::array<std::uint8_t, kReceiveBufferBytes> buffer{};
    std::uint32_t position = 0;  // where the next stored byte goes
    std::uint16_t expected = 0;  // counted bytes announced by the length field
    std::uint32_t received = 0;  // counted bytes stored so far
    std::uint16_t sum = 0;       // running sum over the length and the counted bytes
    std::uint16_t checksum = 0;  // the checksum as received
};

ParserState& parserState() {
    static ParserState st;
    return st;
}

// Application threads install handlers while the receive thread dispatches.
std::array<std::atomic<ReplyHandler>, kReplyCodes>& replyTable() {
    static std::array<std::atomic<ReplyHandler>, kReplyCodes> table{};
    return table;
}

// Set by an application thread (kvxInitLib, kvxCloseLib) while the receive thread may dispatch.
struct CycleReplyHookSlots {
    std::atomic<CycleReplyCheck> answersCycle{nullptr};
    std::atomic<SessionChangeHook> sessionChanged{nullptr};
};

CycleReplyHookSlots& cycleReplyHooks() {
    static CycleReplyHookSlots hooks;
    return hooks;
}

void signalTransferReply() {
    libraryEvents().transferReply.set();
}

void store(ParserState& st, std::uint8_t b) {
    if (st.position < st.buffer.size()) {
        st.buffer[st.position++] = b;
    }
}

// Drops the frame in progress. The transfer cycle is woken at once instead of waiting out its
// reply time-out for a reply that will never be complete.
void discardFrame(ParserState& st) {
    LogRxData(st.buffer.data(), 0, static_cast<int>(st.position));
    st.state.store(GET_STX_STATE);
    signalTransferReply();
}

}  // namespace

void SetReplyHandler(std::uint32_t replyCode, ReplyHandler handler) {
    if (replyCode < kFirstReplyCode || replyCode > kLastReplyCode) {
        return;
    }
    replyTable()[replyCode - kFirstReplyCode].store(handler);
}

ReplyHandler InstalledReplyHandler(std::uint32_t replyCode) {
    if (replyCode < kFirstReplyCode || replyCode > kLastReplyCode) {
        return nullptr;
    }
    return replyTable()[replyCode - kFirstReplyCode].load();
}

void SetCycleReplyHooks(CycleReplyCheck answersCycle, SessionChangeHook sessionChanged) {
    cycleReplyHooks().answersCycle.store(answersCycle);
    cycleReplyHooks().sessionChanged.store(sessionChanged);
}

void ResetParser() {
    parserState().state.store(GET_STX_STATE);
}

std::uint32_t CurrentParserState() {
    return parserState().state.load();
}

void SetParserStateForTesting(std::uint32_t state) {
    parserState().state.store(state);
}

void IFInputData(const std::uint8_t* bytes, std::int32_t count) {
    if (bytes == nullptr || count <= 0) {
        return;
    }
    ParserState& st = parserState();
    std::uint32_t state = st.state.load();
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        switch (state) {
            case GET_STX_STATE:
                if (b == kTelegramStx) {
                    st.position = 0;
                    store(st, b);
                    state = GET_SYNC_STATE;
                }
                break;
            case GET_SYNC_STATE:
                if (b == kTelegramSync) {
                    store(st, b);
                    st.sum = 0;
                    st.expected = 0;
                    state = GET_LEN_HI_STATE;
                } else {
                    // Not a frame start; this byte is not looked at again, even if it is a start mark.
                    state = GET_STX_STATE;
                }
                break;
            case GET_LEN_HI_STATE:
                st.expected = static_cast<std::uint16_t>(b << 8);
                st.sum = static_cast<std::uint16_t>(st.sum + b);
                store(st, b);
                state = GET_LEN_LO_STATE;
                break;
            case GET_LEN_LO_STATE:
                st.expected = static_cast<std::uint16_t>(st.expected + b);
                st.sum = static_cast<std::uint16_t>(st.sum + b);
                store(st, b);
                st.received = 0;
                // A length of 0 would never complete, and one beyond the buffer would overrun it.
                if (st.expected == 0 || st.expected > kMaxTicketBytes) {
                    LogMsg(LOG_WARNING, "IFInputData, GET_LEN_LO_STATE, invalid length %d, data ignored ...",
                           static_cast<int>(st.expected));
                    discardFrame(st);
                    return;
                }
                state = GET_DATA_STATE;
                break;
            case GET_DATA_STATE:
                st.sum = static_cast<std::uint16_t>(st.sum + b);
                store(st, b);
                ++st.received;
                if (st.received == st.expected) {
                    state = GET_CRC_HI_STATE;
                }
                break;
            case GET_CRC_HI_STATE:
                st.checksum = static_cast<std::uint16_t>(b << 8);
                state = GET_CRC_LO_STATE;
                break;
            case GET_CRC_LO_STATE:
                st.checksum = static_cast<std::uint16_t>(st.checksum + b);
                state = GET_ETX_STATE;
                break;
            case GET_ETX_STATE: {
                if (b != kTelegramEtx) {
                    LogMsg(LOG_WARNING,
                           "IFInputData, GET_ETX_STATE, ETX mark is missing, data ignored ...received %0x",
                           static_cast<unsigned>(b));
                    discardFrame(st);
                    return;
                }
                const auto computed = static_cast<std::uint16_t>(0x10000u - st.sum);
                if (computed != st.checksum) {
                    LogMsg(LOG_WARNING, "IFInputData, wrong CRC, data ignored ...%0x-%0x",
                           static_cast<unsigned>(computed), static_cast<unsigned>(st.checksum));
                    discardFrame(st);
                    return;
                }
                st.state.store(GET_STX_STATE);
                AnalyseIFTicket(st.buffer.data() + 4, st.expected);
                state = GET_STX_STATE;
                if (ReceiveThreadStopping()) {
                    // A callback closed the device: what follows belongs to the closed connection.
                    return;
                }
                break;
            }
            default:
                LogMsg(LOG_WARNING, "IFInputData, UNKNOWN_STATE ...");
                break;
        }
    }
    st.state.store(state);
}

void AnalyseIFTicket(const std::uint8_t* ticket, std::int32_t length) {
    if (ticket == nullptr || length < static_cast<std::int32_t>(kTicketHeaderBytes)) {
        LogMsg(LOG_TIME, "AnalyseIFTicket, invalid ticket length= %d", length);
        signalTransferReply();
        return;
    }
    std::uint8_t bluetooth = 0;
    const ReplyHandler handler = ValidIFReply(ticket, &bluetooth);
    if (handler == nullptr) {
        // Bluetooth replies never wake the cycle: it does not wait for them.
        if (bluetooth == 0) {
            signalTransferReply();
        }
        return;
    }
    const std::uint16_t counter = GetU16LE(ticket + kTicketCounterOffset);
    bool answersCycle = false;
    bool newSession = false;
    if (bluetooth == 0) {
        newSession = CheckSessionId(ticket);
        if (CycleReplyCheck check = cycleReplyHooks().answersCycle.load()) {
            answersCycle = check(counter);
        }
    }
    handler(GetU32LE(ticket + kTicketCountOffset), ticket + kTicketPayloadOffset,
            length - static_cast<std::int32_t>(kTicketPayloadOffset));
    if (bluetooth == 0) {
        // A single exchange waits for exactly this reply; the handler has stored it by now.
        SingleExchangeReplyArrived(GetU32LE(ticket + kTicketCodeOffset), counter);
    }
    // Queued after the handler: the reply that brought the new id may answer a configuration write,
    // and its handler would otherwise settle the write that the new session needs.
    if (newSession) {
        if (SessionChangeHook queueWrite = cycleReplyHooks().sessionChanged.load()) {
            queueWrite();
        }
    }
    // Only the answer to the cycle's outstanding request wakes it, however often that request went
    // out; a second answer to it, or one to an earlier request, does not.
    if (answersCycle) {
        signalTransferReply();
    }
}

ReplyHandler ValidIFReply(const std::uint8_t* ticket, std::uint8_t* bluetooth) {
    TraceReply(1, ticket);
    const std::uint32_t code = GetU32LE(ticket + kTicketCodeOffset);
    const bool known = code >= kFirstReplyCode && code <= kLastReplyCode;
    if (bluetooth != nullptr) {
        *bluetooth = known && code >= kFirstBluetoothReplyCode ? 1 : 0;
    }
    if (!known) {
        LogMsg(LOG_TIME, "ValidIFReply, invalid IF reply code= %d ...", static_cast<int>(code));
        LogDataDump(ticket, 0, static_cast<int>(kTicketHeaderBytes));
        return nullptr;
    }
    return replyTable()[code - kFirstReplyCode].load();
}

bool CheckSessionId(const std::uint8_t* ticket) {
    const std::uint16_t received = GetU16LE(ticket + kTicketSessionOffset);
    const std::uint16_t held = sessionId().load();
    // The first reply after a reset (counter 0 or 1) brings the controller's id; only a change
    // later on means the controller has started a new session.
    const bool changed = received != held && requestCounter().load() > 1;
    if (changed) {
        LogMsg(LOG_TIME, "different session id (%d|%d), reply code= %d ...", static_cast<int>(received),
               static_cast<int>(held), static_cast<int>(GetU32LE(ticket + kTicketCodeOffset)));
    }
    sessionId().store(received);
    return changed;
}

}  // namespace kv
