#include "shell/service.h"

#include <atomic>
#include <mutex>

#include "serial/receive.h"
#include "shell/remote_cmd.h"
#include "shell/upload.h"

namespace kv {
namespace {

struct ServiceGuard {
    std::atomic<bool> active{false};
    // Direct telegram exchanges hold it shared; a service that begins passes through it exclusively
    // once, to let the exchanges that checked before it finish.
    std::shared_mutex directUse;
};

ServiceGuard& guard() {
    static ServiceGuard g;
    return g;
}

}  // namespace

void InstallShellReceivers() {
    SetModeReceiver(RX_SHELL, {RemoteCmdInputData, FailRemoteCmdInFlight});
    SetModeReceiver(RX_UPLOAD, {UploadInputData, FailUploadInFlight});
}

void ClearShellReceivers() {
    SetModeReceiver(RX_SHELL, {});
    SetModeReceiver(RX_UPLOAD, {});
}

bool TryBeginShellService() {
    ServiceGuard& g = guard();
    bool expected = false;
    if (!g.active.compare_exchange_strong(expected, true)) {
        return false;
    }
    // From here on every new direct exchange sees the flag; wait out the ones that did not.
    std::unique_lock drain(g.directUse);
    return true;
}

void EndShellService() {
    guard().active.store(false);
}

bool ShellServiceActive() {
    return guard().active.load();
}

DirectTelegramScope::DirectTelegramScope() : lock_(guard().directUse) {
    refused_ = guard().active.load();
}

}  // namespace kv
