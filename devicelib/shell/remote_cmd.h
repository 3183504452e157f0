// Command lines to the controller's text shell: the answer is collected until the prompt follows
// the echo of the command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

enum ShellState : int { XM_START = 1, XM_GET_PROMPT = 2, XM_DONE = 3 };

// The longest command that fits the 80-byte command line "\r%s\r" with its terminator.
inline constexpr std::size_t kMaxShellCommandLength = 77;

inline constexpr const char* kUsbPrompt = "USB>";
inline constexpr const char* kBluetoothPrompt = "Bluetooth>";

// How long one wait for more of the answer may last: longer for commands that write flash.
std::uint32_t SilenceTimeoutFor(const char* command);

// Runs one exchange on the open port. On success `reply` holds every byte of the answer (a zero byte
// included), or nothing when no byte arrived; on failure it is empty. Telegram frames that came
// meanwhile went to the telegram parser and are not part of it.
std::uint32_t RemoteCmdWithReply(std::uint32_t handle, const char* command,
                                 std::optional<std::string>& reply);

// Reads the controller's serial number with "get_ser_num" into the stored serial-number text.
std::uint32_t ReadSerialNumber(std::uint32_t handle);
// Every exchange (this read, KvRemoteCmd, VKqCleanDisk) as a whole is bounded by the long silence
// time (output that never reaches a prompt ends in KVLIB_ERR_TIMEOUT then), each silence by the
// silence time of its command. Shortens the bound as a whole, for tests.
void SetShellExchangeLimitForTesting(std::uint32_t ms);

// Wakes the exchange in flight, if any, which returns KVLIB_ERR_DEVICE_NOT_OPEN: its port failed
// or was closed.
void FailRemoteCmdInFlight();
// The serial-number word after the echo of "get_ser_num" in `reply`, at most 10 characters;
// "0000000000" when the echo is missing.
std::string ParseSerialNumber(const char* reply);
std::string ParseSerialNumber(std::string_view reply);
// The stored serial number, "0000000000" until a read succeeded.
std::string SerialNumberText();

// The state machine of one exchange; the answer stays in the library's reply buffer.
std::uint32_t SendRemoteCmd(const char* command);

// The receive handler while an exchange runs.
void RemoteCmdInputData(const std::uint8_t* bytes, std::int32_t count);

// True when a prompt stands after the first echo of `command` in `reply`.
bool PromptAfterEcho(const char* reply, const char* command);
// The same over every byte of `reply`, zero bytes included.
bool PromptAfterEcho(std::string_view reply, const char* command);
// The offset just past the last prompt in `text`, 0 when there is none.
std::uint32_t LastPromptEnd(const char* text);

}  // namespace kv
