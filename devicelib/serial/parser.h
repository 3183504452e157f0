// The receive side of Kolv.X1: the byte-by-byte parser that the receive thread feeds in telegram mode,
// the check of each complete reply and its dispatch to the handler of its reply code.
//
// Everything here runs on the receive thread, one chunk at a time; tests and the fuzz target call
// IFInputData directly while no receive thread runs.
#pragma once

#include <cstdint>

namespace kv {

// Parser states. Any other value (0 before the first ResetParser) is an undefined state in which
// every byte is ignored with a warning.
enum ParserStateValue : std::uint32_t {
    GET_STX_STATE = 1,
    GET_SYNC_STATE = 2,
    GET_LEN_HI_STATE = 3,
    GET_LEN_LO_STATE = 4,
    GET_DATA_STATE = 13,
    GET_CRC_HI_STATE = 14,
    GET_CRC_LO_STATE = 15,
    GET_ETX_STATE = 16,
};

// The receive buffer holds start mark, sync mark, the two length bytes and the counted bytes.
inline constexpr std::uint32_t kReceiveBufferBytes = 1024;
// The longest counted part a frame may announce; a longer one (or 0) is discarded.
inline constexpr std::uint32_t kMaxTicketBytes = kReceiveBufferBytes - 4;

// A reply handler: the record count, the payload and its length in bytes. The payload points into
// the receive buffer and is valid only during the call.
using ReplyHandler = void (*)(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);

inline constexpr std::uint32_t kFirstReplyCode = 101;
inline constexpr std::uint32_t kFirstBluetoothReplyCode = 110;
inline constexpr std::uint32_t kLastReplyCode = 118;

// Installs the handler of one reply code (101..118; other codes are ignored). Null empties the slot.
// The library fills the table at start-up; a reply whose slot is empty is dropped.
void SetReplyHandler(std::uint32_t replyCode, ReplyHandler handler);
// The handler installed for `replyCode`, null when none or outside 101..118.
ReplyHandler InstalledReplyHandler(std::uint32_t replyCode);

// The receive handler of telegram mode: consumes a chunk of any size; a telegram may be split over
// any number of chunks.
void IFInputData(const std::uint8_t* bytes, std::int32_t count);

// What the transfer engine does around the handler of every reply that is not a Bluetooth one.
// Before the handler: whether the reply with `counter` answers the cycle's outstanding request (the
// engine times it and keeps its repeat accounting); only such a reply wakes the cycle. After the
// handler, when the reply brought a new session id: the configuration write the new session needs.
// Registered at kvxInitLib and cleared at kvxCloseLib; while a slot is empty the parser skips it, so
// that a reply then answers no cycle request and a new session queues nothing.
using CycleReplyCheck = bool (*)(std::uint16_t counter);
using SessionChangeHook = void (*)();
void SetCycleReplyHooks(CycleReplyCheck answersCycle, SessionChangeHook sessionChanged);

// Checks one complete ticket (the telegram from offset 4, `length` counted bytes) and dispatches it.
void AnalyseIFTicket(const std::uint8_t* ticket, std::int32_t length);
// Traces the reply and returns the handler of its code. `*bluetooth` becomes 1 for the Bluetooth
// replies 110..118 (whether or not a handler is installed), else 0. An unknown code is logged with a
// dump of the ticket's first 20 bytes; the ticket must hold at least 20 bytes.
ReplyHandler ValidIFReply(const std::uint8_t* ticket, std::uint8_t* bluetooth);
// Adopts the reply's session id. True for a change during a running connection: a controller with a
// new session has lost its configuration, and the session-change hook queues a configuration write
// to the master once the reply has been handled.
bool CheckSessionId(const std::uint8_t* ticket);

// Starts over at GET_STX_STATE; the receive thread calls it before it runs.
void ResetParser();
// The current parser state (for tests).
std::uint32_t CurrentParserState();
// Forces a state, including undefined ones (for tests).
void SetParserStateForTesting(std::uint32_t state);

}  // namespace kv
