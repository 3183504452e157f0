// The request senders of the transfer cycle (slots 0 to 5) and the handlers of the replies 101 to
// 109, which bring the transfer area up to date and call the application's transfer callbacks.
#pragma once

#include <cstdint>
#include <optional>

#include "transfer/request_table.h"

namespace kv {

// Senders: 0 nothing sent (no controller selected), 1 sent, 2 the write failed.
int SendInfoWrRequest(RequestSlotCopy& slot);
int SendInfoRdRequest(RequestSlotCopy& slot);
int SendStateRdRequest(RequestSlotCopy& slot);
int SendConfigWrRequest(RequestSlotCopy& slot);
int SendMsgWrRequest(RequestSlotCopy& slot);
int SendRemIoRequest(RequestSlotCopy& slot);

// Reply handlers.
void cbKolvX1EchoReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1RemIOReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1IgnoreReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1ConfigWrReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1InfoRdReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1StateRdReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1MsgWrReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);
void cbKolvX1InfoWrReply(std::uint32_t count, const std::uint8_t* payload, std::int32_t length);

// Puts the handlers of 101 to 109 into the reply table.
void InstallReplyHandlers();

// The steps the handlers are made of.
void SetKolvX1InfoData(int shmId, const std::uint8_t* info);
void UpdateState(int shmId, const std::uint8_t* state);
bool UpdateExtensions();
void UpdateInput(int shmId, const std::uint8_t* input);

// Per controller, the ConfigId that the last configuration write since the transfer start carried;
// none when no write has carried one. A reply acknowledges this id, not the one current when the
// reply arrives: the application may have changed it again while the write was on its way.
std::optional<std::uint8_t> SentConfigId(int shmId);
// Noted by the configuration write for each record it packs.
void RememberSentConfigId(int shmId, std::uint8_t configId);
// Forgets them all (at a transfer start).
void ForgetSentConfigIds();

// A configuration write in flight suspends input updates for at least this long.
inline constexpr std::uint32_t kConfigSettleMs = 250;

}  // namespace kv
