// The port has two users that must not interleave: the telegram side and the shell services (a
// shell command or a file upload), which turn the line into a text dialogue for a while. One shell
// service at a time holds the port, for its whole life; while it does, nothing else writes to it.
//
// - The transfer cycle is kept off by the service itself (PauseTransferCycle / ResumeTransferCycle).
// - A second shell service is refused: TryBeginShellService returns false, and the caller answers
//   KVLIB_ERR_THREAD_IS_RUNNING.
// - A call that writes a telegram directly, outside the transfer cycle, holds a DirectTelegramScope
//   for its whole exchange and refuses with KVLIB_ERR_THREAD_IS_RUNNING when the scope says so. A
//   service that begins waits for such exchanges already under way, so a check that passed is never
//   followed by a write into a service's dialogue. ShellServiceActive() is the same test for callers
//   that only need to know.
#pragma once

#include <shared_mutex>

namespace kv {

// Registers with the receive thread what the shell command and the upload do with the bytes they
// receive and on a lost link; the connection calls it before it starts the thread, and the clear
// once the thread has ended.
void InstallShellReceivers();
void ClearShellReceivers();

// Claims the port for a shell service; false when another one holds it. Returns once no direct
// telegram exchange is under way (each lasts at most its own reply time-out).
bool TryBeginShellService();
// Gives the port back. Only the holder calls it, exactly once per successful TryBeginShellService.
void EndShellService();
bool ShellServiceActive();

// Held, as a local, by a call that writes telegrams outside the transfer cycle, from its check to
// the end of its exchange. Never hold it on the receive thread.
class DirectTelegramScope {
  public:
    DirectTelegramScope();
    DirectTelegramScope(const DirectTelegramScope&) = delete;
    DirectTelegramScope& operator=(const DirectTelegramScope&) = delete;
    // True when a shell service holds the port: the call must not write.
    bool refused() const { return refused_; }

  private:
    std::shared_lock<std::shared_mutex> lock_;
    bool refused_ = false;
};

// Holds the port for a shell service from construction until destruction, when it was granted.
class ShellServiceLease {
  public:
    ShellServiceLease() : granted_(TryBeginShellService()) {}
    ~ShellServiceLease() {
        if (granted_) {
            EndShellService();
        }
    }
    ShellServiceLease(const ShellServiceLease&) = delete;
    ShellServiceLease& operator=(const ShellServiceLease&) = delete;
    bool granted() const { return granted_; }

  private:
    bool granted_;
};

}  // namespace kv
