// File upload: a file, or a block of memory, goes to one of the controller's storage areas. The
// shell command xrecv starts the controller's receiver; the blocks then follow as XMODEM(-1K) frames
// on the same line. The exported calls (KvFileUpload, KvRamFileUpload) only check and prepare; the
// thread IfUploadFile runs the transfer and reports each step to the caller's status callback.
//
// While the thread runs it holds the shell service (shell/service.h), the transfer cycle is paused
// and received bytes go to UploadInputData. It ends by itself: every wait has a time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

// The states of IfUploadFile, in the order an upload passes them (XM_SEND_BLOCK and XM_REPLY
// alternate once per block).
enum class UploadState {
    XM_START,
    XM_GET_PROMPT,
    XM_WAIT_UPLOAD,
    XM_SEND_BLOCK,
    XM_REPLY,
    XM_SEND_EOT,
    XM_WAIT_END,
};

// How the receiver asked for the blocks to be checked.
enum ChecksumMode : int {
    kChecksumSum = 1,  // it asked with NAK: one byte, the sum of the data
    kChecksumCrc = 2,  // it asked with 'C': CRC-16/XMODEM, high byte first
};

inline constexpr std::uint8_t kSoh = 0x01;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::uint8_t kCrcRequest = 0x43;  // 'C'

// The receive buffer keeps this many received bytes (plus a terminator); more are dropped.
inline constexpr std::size_t kUploadRxBytes = 1032;
// The longest name the controller is given ("/area/name" stays well inside its command line).
inline constexpr std::size_t kMaxUploadNameLength = 83;
// The longest frame: STX, number, its complement, 1024 data bytes and a 2-byte CRC.
inline constexpr std::size_t kMaxBlockFrameBytes = 1029;

// The receive handler while an upload runs: appends to the receive buffer and wakes the upload
// thread. Runs on the receive thread.
void UploadInputData(const std::uint8_t* bytes, std::int32_t count);
// The bytes in the receive buffer (a zero byte among them ends the text that the prompt tests see).
std::string UploadReceivedBytes();
void ClearUploadReceiveBuffer();

// The name the controller is given for a file: what follows the last `separator` of `path`, or
// the whole path when there is none.
std::string UploadNameFromPath(const std::string& path, char separator);
// True when `name` can stand in the quoted path of the xrecv command as a plain file name: 1 to 83
// characters, no double quote, no '/' and no control character, and neither "." nor "..".
bool ValidUploadName(const char* name);
// The storage area word of the command: "flash" (1), "system" (2), "ramdisk" (anything else).
const char* UploadAreaWord(std::int32_t target);

// What the receiver said after the last prompt in `received`. None while nothing follows the
// prompt (or there is no prompt); otherwise its newest byte decides, and `byte` is that byte.
enum class ReceiverRequest { none, checksum, crc, cancel, other };
struct ReceiverAnswer {
    ReceiverRequest request = ReceiverRequest::none;
    std::uint8_t byte = 0;
};
ReceiverAnswer JudgeReceiverRequest(const std::string& received);

// 1024 while more than 1024 bytes remain, else 128.
std::uint32_t BlockSizeFor(std::uint32_t remaining);
// Builds the frame of block `blockNumber` from the `obtained` bytes at `data` into `frame` (at
// least kMaxBlockFrameBytes) and returns its length: a 1024-byte block (STX) when more than 128
// bytes were obtained, else a 128-byte block (SOH); zero padding; the checksum of `mode`.
std::size_t BuildBlockFrame(std::uint32_t blockNumber, const std::uint8_t* data, std::size_t obtained,
                            int mode, std::uint8_t* frame);

// Returns once no upload thread runs but the caller's own, joining them (also an upload that a final
// status callback started meanwhile). Called on an upload thread (from a status callback) it does
// not wait for that thread, which cannot wait for its own end.
void WaitForUploadEnd();
// Wakes the running upload, if any: its port failed or was closed, and it ends at once with
// KVLIB_ERR_UPLOAD_FAILED.
void FailUploadInFlight();
// Called while the port closes: a running upload writes nothing more (it then ends in a time-out).
// Once it returns, no upload write is in progress.
void UploadReleasePort();
// True from the start of an upload thread to its end.
bool UploadThreadRunning();

// How long the receiver may take, from the start command on, to ask for the first block: 60 s
// unless a test shortens it.
void SetUploadFirstRequestLimitForTesting(std::uint32_t ms);
// Makes the next start of an upload thread fail as if the system had refused to create it.
void FailNextUploadThreadStartForTesting();

}  // namespace kv
