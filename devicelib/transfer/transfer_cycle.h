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

// The port failed under the transfer (a write here, a read on the receive thread): stops the
// transfer and records the low 16 bits of the system's `error` as the port error and in the
// master's status, and wakes the beat thread, which has the connection closed.
void StopTransferOnPortError(std::uint32_t error);

// What the receive thread does for the transfer: every chunk handled with the transfer area held,
// and StopTransferOnPortError on a failed read. The connection installs them before it starts the
// receive thread and clears them once the thread has ended.
void InstallTransferReceiveHooks();
void ClearTransferReceiveHooks();

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
