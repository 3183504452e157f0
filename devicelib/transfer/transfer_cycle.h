// Starting and stopping a transfer, and what one request cycle sends.
#pragma once

#include <cstdint>

#include "transfer/request_table.h"

namespace kv {

std::uint32_t StartKolvX1Transfer();
// Stops a running transfer (declared with the transfer flags in transfer_state.h).
void StopKolvX1Transfer();
// Completes a start that waits for its handshake; called by the first answered I/O exchange.
void SignalTransferStarted();

// Writes a cycle request (or, with `noAccounting`, a Bluetooth request) and keeps the repeat
// accounting. True when the telegram was written.
bool SendIFData(bool noAccounting, const std::uint8_t* telegram, std::uint32_t length);

// Runs the sender of the first pending slot of `snapshot`. Returns the slot (-1 when none is
// pending) and sets `outcome`: 0 nothing sent, 1 sent, 2 the write failed.
int PickNextRequest(RequestTableSnapshot& snapshot, int& outcome);

// Queues a configuration write for every alive controller whose ConfigId is not acknowledged.
void ChangeCheck();

// The once-a-second read of the master's state while a transfer runs, driven by the beat.
void StartOneSecondTimer();
void StopOneSecondTimer();
// Called on every beat; queues the master's state read on every 100th beat while the timer runs.
void OneSecondTimerBeat();

// Hands the port from the transfer cycle to a shell service and back.
void PauseTransferCycle();
void ResumeTransferCycle();

}  // namespace kv
