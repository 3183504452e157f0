// The flags that the transfer cycle shares with the serial channel and the shell services.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kv {

struct TransferFlags {
    // Request cycles send telegrams only while this is set; a shell service clears it while it
    // holds the port. Read without a lock; changed only through the functions below.
    std::atomic<std::uint8_t> threadWriteFlag{0};
    // The low 16 bits of the last OS error of a failed port read or write; 0 when none.
    std::atomic<std::uint16_t> portError{0};

    // Start, stop, the cycle's give-up and a shell service's pause and resume change the write flag
    // and its paused copy together under this lock: a stop never falls between a pause's reading of
    // the flag and its clearing, and a stop made during a pause clears the copy the resume restores.
    std::mutex control;
    bool paused = false;             // a shell service holds the port (guarded by `control`)
    std::uint8_t savedWriteFlag = 0;  // the write flag as the pause found it (guarded by `control`)
};

TransferFlags& transferFlags();

// Lets the cycles send (a transfer start) and arms the transfer's 1 ms clock. False, with nothing
// changed, when the system refused the timer.
bool BeginTransferWrites();

// Ends the sending of a running transfer, also of one a shell service has paused: under the control
// lock, runs `announce`, sets the master's state to 0 and clears the write flag (or the paused copy,
// so that the service's resume leaves it clear). False, with nothing done, when no transfer runs.
template <typename Announce>
bool EndTransferWrites(Announce&& announce);
bool EndTransferWrites();

// A start's handshake has been answered: under the control lock, when the transfer still runs, sets
// the master's state to 1 and returns true; false when a stop or a failed write has ended it since.
bool ConfirmTransferRunning();
// The first answered I/O exchange of a start: state 2 becomes 1, unless a stop came first. True when
// it changed the state.
bool CompleteTransferHandshake();

// A transfer runs, or runs but is paused by a shell service.
bool TransferRunsOrPaused();

// A shell service takes the port from the transfer cycle, and gives it back.
void PauseTransferWrites();
void ResumeTransferWrites();

// Stops a running transfer cycle. Called when the port fails under it.
void StopKolvX1Transfer();

// ---- template definition ----------------------------------------------------------------------------

namespace detail {
// With the control lock held: whether a transfer runs, paused or not.
bool runningLocked(const TransferFlags& f);
// With the control lock held: sets the master's state to 0 and clears the flag and its paused copy.
void endTransferWritesLocked(TransferFlags& f);
}  // namespace detail

template <typename Announce>
bool EndTransferWrites(Announce&& announce) {
    TransferFlags& f = transferFlags();
    std::lock_guard lock(f.control);
    if (!detail::runningLocked(f)) {
        return false;
    }
    announce();
    detail::endTransferWritesLocked(f);
    return true;
}

}  // namespace kv
