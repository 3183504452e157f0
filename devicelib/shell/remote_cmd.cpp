#include "shell/remote_cmd.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/log.h"
#include "base/text.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "shell/service.h"
#include "transfer/transfer_cycle.h"

namespace kv {
namespace {

constexpr std::uint32_t kLongSilenceMs = 45000;
constexpr std::uint32_t kShortSilenceMs = 10000;
constexpr const char* kNoSerialNumber = "0000000000";

// The state one exchange shares between the calling thread and the receive thread. The reply and
// the event pointer are guarded by `mutex`: the receive thread appends and signals under it, and
// the caller publishes and withdraws the event under it, so an arrival never signals a closed event.
struct ShellExchange {
    std::mutex mutex;
    std::string reply;  // every byte received, in order; empty while nothing has arrived
    bool hasReply = false;
    platform::ManualResetEvent* event = nullptr;
    // Set with the event when the port failed or was closed under the exchange.
    bool portFailed = false;
    // How long the whole exchange may last; 0: as long as the answer keeps coming.
    std::atomic<std::uint32_t> overallLimitMs{0};

    std::mutex serialMutex;
    std::string serialNumber = kNoSerialNumber;
};

ShellExchange& exchange() {
    static ShellExchange ex;
    return ex;
}

// The bound of every exchange as a whole (the serial-number read, a command, a disk clean): the
// long silence time. Each silence has its own, shorter bound besides.
std::atomic<std::uint32_t>& exchangeLimit() {
    static std::atomic<std::uint32_t> ms{kLongSilenceMs};
    return ms;
}

bool portFailed() {
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.mutex);
    return ex.portFailed;
}

void clearReply() {
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.mutex);
    ex.reply.clear();
    ex.hasReply = false;
}

// A copy of the answer so far, every byte of it: a zero byte in it must not hide the echo or the
// prompt behind it.
std::optional<std::string> replySnapshot() {
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.mutex);
    if (!ex.hasReply) {
        return std::nullopt;
    }
    return ex.reply;
}

void dumpReply(const std::optional<std::string>& text) {
    if (text) {
        LogRxData(text->data(), 0, static_cast<int>(text->size()));
    } else {
        LogRxData("", 0, 0);
    }
}

bool promptAfterEcho(const std::optional<std::string>& reply, const char* command) {
    return reply && PromptAfterEcho(std::string_view(*reply), command);
}

// Runs the handle check, then the exchange with the port borrowed from the transfer cycle. The
// answer of a successful exchange is handed out in `reply`; a failed one hands out nothing.
std::uint32_t runExchange(std::uint32_t handle, const char* command, bool logCall, std::uint32_t limitMs,
                          std::optional<std::string>& reply) {
    reply.reset();
    // The answer arrives through the receive thread; waiting for it there would stall all reception.
    if (RefusedOnReceiveThread("SendRemoteCmd")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    if (std::uint32_t rc = CheckDeviceHandle(handle); rc != 0) {
        return rc;
    }
    // The command line "\r%s\r" has 80 bytes with its terminator; a longer command would not fit.
    if (command == nullptr || BoundedLength(command, kMaxShellCommandLength + 1) > kMaxShellCommandLength) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    // One shell service at a time holds the port: while an upload or another command has it, this
    // one is refused rather than queued behind a wait of unknown length.
    ShellServiceLease service;
    if (!service.granted()) {
        LogMsg(LOG_TIME, "SendRemoteCmd, refused: the port is held by another shell service");
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    ShellExchange& ex = exchange();
    clearReply();
    platform::ManualResetEvent event;
    {
        std::lock_guard lock(ex.mutex);
        ex.event = &event;
        ex.portFailed = false;
    }
    ex.overallLimitMs.store(limitMs);
    PauseTransferCycle();
    if (logCall) {
        LogMsg(LOG_INFO, "KvRemoteCmd, kvCmd= %s", LogText(command, kMaxShellCommandLength).c_str());
    }
    const std::uint32_t rc = SendRemoteCmd(command);
    {
        std::lock_guard lock(ex.mutex);
        ex.event = nullptr;
    }
    ResumeTransferCycle();
    if (rc == 0) {
        reply = replySnapshot();
    }
    clearReply();
    return rc;
}

}  // namespace

void FailRemoteCmdInFlight() {
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.mutex);
    if (ex.event != nullptr) {
        ex.portFailed = true;
        ex.event->set();
    }
}

void SetShellExchangeLimitForTesting(std::uint32_t ms) {
    exchangeLimit().store(ms);
}

std::uint32_t SilenceTimeoutFor(const char* command) {
    if (command != nullptr &&
        (std::strstr(command, "flash") != nullptr || std::strstr(command, "system") != nullptr)) {
        return kLongSilenceMs;
    }
    return kShortSilenceMs;
}

void RemoteCmdInputData(const std::uint8_t* bytes, std::int32_t count) {
    if (count <= 0 || bytes == nullptr) {
        return;
    }
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.mutex);
    ex.reply.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(count));
    ex.hasReply = true;
    if (ex.event != nullptr) {
        ex.event->set();
    }
}

std::uint32_t SendRemoteCmd(const char* command) {
    ShellExchange& ex = exchange();
    platform::ManualResetEvent* event = nullptr;
    {
        std::lock_guard lock(ex.mutex);
        event = ex.event;
    }
    if (event == nullptr) {
        LogMsg(LOG_TIME, "send 'Remote Command' failed...");
        return KVLIB_ERR_REM_CMD_FAILED;
    }
    // The first wait returns at once and sends the line.
    event->set();
    int state = XM_START;
    const std::uint32_t silenceMs = SilenceTimeoutFor(command);
    const std::uint32_t limitMs = ex.overallLimitMs.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);

    for (;;) {
        std::uint32_t waitMs = silenceMs;
        bool overall = false;
        if (limitMs != 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                           std::chrono::steady_clock::now())
                                  .count();
            if (left <= static_cast<long long>(waitMs)) {
                waitMs = static_cast<std::uint32_t>(std::max<long long>(left, 0));
                overall = true;
            }
        }
        const platform::WaitResult w = event->wait(waitMs);
        if (w == platform::WaitResult::failed) {
            continue;
        }
        if (state != XM_DONE && (portFailed() || PortLinkDown())) {
            // Nothing more will come from this port.
            LogMsg(LOG_TIME, "SendRemoteCmd, the port failed or was closed...");
            dumpReply(replySnapshot());
            return KVLIB_ERR_DEVICE_NOT_OPEN;
        }
        if (overall && state != XM_DONE && std::chrono::steady_clock::now() >= deadline &&
            !promptAfterEcho(replySnapshot(), command)) {
            LogMsg(LOG_TIME, "INFO: Remote mode, no prompt within %u s...", limitMs / 1000);
            dumpReply(replySnapshot());
            return KVLIB_ERR_TIMEOUT;
        }
        if (w == platform::WaitResult::timedOut) {
            const std::optional<std::string> reply = replySnapshot();
            if (promptAfterEcho(reply, command)) {
                state = XM_DONE;
            } else {
                LogMsg(LOG_TIME, "INFO: Remote mode, Timeout is occurred... (%u s)", silenceMs / 1000);
                dumpReply(reply);
                return KVLIB_ERR_TIMEOUT;
            }
        }
        switch (state) {
            case XM_START: {
                LogMsg(LOG_TIME, "SendRemoteCmd, XM_START: send remote command: '%s'",
                       LogText(command, kMaxShellCommandLength).c_str());
                SetRxHandler(RX_SHELL);
                clearReply();
                char line[kMaxShellCommandLength + 3];
                const int n = std::snprintf(line, sizeof line, "\r%s\r", command);
                event->reset();
                // A line that does not go out ends in the silence time-out.
                comPort().SendData(line, static_cast<std::uint32_t>(n), nullptr);
                state = XM_GET_PROMPT;
                break;
            }
            case XM_GET_PROMPT: {
                const std::optional<std::string> reply = replySnapshot();
                dumpReply(reply);
                if (promptAfterEcho(reply, command)) {
                    // The event stays set, so the next wait returns at once.
                    state = XM_DONE;
                } else {
                    event->reset();
                    // An arrival between the snapshot and the reset would be lost until the
                    // time-out; test once more now that the reset is done.
                    if (promptAfterEcho(replySnapshot(), command)) {
                        event->set();
                        state = XM_DONE;
                    }
                }
                break;
            }
            case XM_DONE:
                LogMsg(LOG_TIME, "SendRemoteCmd, XM_GET_PROMPT: VORI KQ prompt received...");
                return 0;
            default:
                LogMsg(LOG_TIME, "send 'Remote Command' failed...");
                return KVLIB_ERR_REM_CMD_FAILED;
        }
    }
}

std::uint32_t RemoteCmdWithReply(std::uint32_t handle, const char* command,
                                 std::optional<std::string>& reply) {
    return runExchange(handle, command, false, exchangeLimit().load(), reply);
}

bool PromptAfterEcho(const char* reply, const char* command) {
    if (reply == nullptr) {
        return false;
    }
    return PromptAfterEcho(std::string_view(reply), command);
}

bool PromptAfterEcho(std::string_view reply, const char* command) {
    if (command == nullptr) {
        return false;
    }
    const std::size_t echo = reply.find(command);
    if (echo == std::string_view::npos) {
        return false;
    }
    const std::string_view after = reply.substr(echo + std::strlen(command));
    if (after.empty()) {
        return false;
    }
    LogLevelMsg(1, "waiting for VORI KQ prompt...");
    LogRxData(after.data(), 0, static_cast<int>(after.size()));
    std::size_t prompt = after.find(kUsbPrompt);
    if (prompt == std::string_view::npos) {
        prompt = after.find(kBluetoothPrompt);
    }
    if (prompt == std::string_view::npos) {
        return false;
    }
    LogRxData(after.data() + prompt, 0, static_cast<int>(after.size() - prompt));
    return true;
}

std::uint32_t LastPromptEnd(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const char* prompt = nullptr;
    if (std::strstr(text, kUsbPrompt) != nullptr) {
        prompt = kUsbPrompt;
    } else if (std::strstr(text, kBluetoothPrompt) != nullptr) {
        prompt = kBluetoothPrompt;
    } else {
        return 0;
    }
    const std::size_t len = std::strlen(prompt);
    const char* end = text;
    for (const char* p = std::strstr(end, prompt); p != nullptr; p = std::strstr(end, prompt)) {
        end = p + len;
    }
    return static_cast<std::uint32_t>(end - text);
}

std::uint32_t ReadSerialNumber(std::uint32_t handle) {
    std::optional<std::string> reply;
    // The open waits for this answer: a controller whose output never reaches a prompt must not
    // hold the open for ever, so the whole exchange is bounded too, not only each silence.
    const std::uint32_t rc = runExchange(handle, "get_ser_num", false, exchangeLimit().load(), reply);
    if (rc != 0) {
        return rc;
    }
    const std::string serial = reply ? ParseSerialNumber(std::string_view(*reply)) : ParseSerialNumber(nullptr);
    LogMsg(LOG_TIME, "serial_number= [%s]", serial.c_str());
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.serialMutex);
    ex.serialNumber = serial;
    return 0;
}

std::string ParseSerialNumber(const char* reply) {
    return reply != nullptr ? ParseSerialNumber(std::string_view(reply)) : std::string(kNoSerialNumber);
}

std::string ParseSerialNumber(std::string_view reply) {
    char serial[11] = "0000000000";
    if (const std::size_t echo = reply.find("get_ser_num"); echo != std::string_view::npos) {
        // After the echo and any white space, one word of at most 10 characters; a longer word
        // is cut.
        const std::string from(reply.substr(echo));
        (void)std::sscanf(from.c_str(), "get_ser_num\r%10s\r", serial);
    }
    return serial;
}

std::string SerialNumberText() {
    ShellExchange& ex = exchange();
    std::lock_guard lock(ex.serialMutex);
    return ex.serialNumber;
}

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t KvRemoteCmd(std::uint32_t deviceHandle, const char* command,
                                    KvRemoteCmdCallback callback) {
    std::optional<std::string> reply;
    // Output that never reaches a prompt must not hold the caller for ever: the whole exchange is
    // bounded as well as each silence.
    const std::uint32_t rc = kv::runExchange(deviceHandle, command, true, kv::exchangeLimit().load(), reply);
    if (callback != nullptr) {
        if (reply) {
            callback(reply->c_str(), static_cast<std::uint32_t>(reply->size()));
        } else {
            callback(nullptr, 0);
        }
    }
    return rc;
}

KVLIB_API std::uint32_t VKqCleanDisk(std::uint32_t deviceHandle, std::int32_t area) {
    kv::LogMsg(kv::LOG_TIME, "VKqCleanDisk, device= %d", area);
    if (std::uint32_t rc = kv::CheckDeviceHandle(deviceHandle); rc != 0) {
        return rc;
    }
    if (area == 2) {
        return KVLIB_ERR_CLEAN_SYSTEM_REFUSED;
    }
    char command[32];
    std::snprintf(command, sizeof command, "clean_disk %s", area == 0 ? "ramdisk" : "flash");
    std::optional<std::string> reply;
    return kv::RemoteCmdWithReply(deviceHandle, command, reply);
}

}  // extern "C"
