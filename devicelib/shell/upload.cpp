#include "shell/upload.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "shell/crc.h"
#include "shell/remote_cmd.h"
#include "shell/service.h"
#include "transfer/transfer_cycle.h"

namespace kv {
namespace {

using Clock = std::chrono::steady_clock;

// Before the start command the only wait is the one that returns at once; from the command on the
// receiver has 5 s per answer; a flash or system target may take 30 s after EOT to update its
// cached copy before it answers.
constexpr std::uint32_t kInitialWaitMs = 8000;
constexpr std::uint32_t kAnswerWaitMs = 5000;
constexpr std::uint32_t kCacheUpdateWaitMs = 30000;
// A block is sent at most this many times more after its first NAK.
constexpr int kMaxNaksPerBlock = 5;
constexpr std::uint32_t kSmallBlock = 128;
constexpr std::uint32_t kLargeBlock = 1024;

// Everything the upload thread shares with other threads. One upload at a time (the shell service
// guard sees to it), so this is library-wide.
struct UploadShared {
    // The receive buffer: the receive thread appends, the upload thread reads and clears. The
    // generation moves with every change, so that the upload thread can tell whether anything
    // arrived since it last looked before it resets its event (an arrival is never slept through).
    std::mutex rxMutex;
    std::array<char, kUploadRxBytes + 1> rx{};
    std::size_t rxCount = 0;
    std::uint64_t rxGeneration = 0;
    platform::ManualResetEvent* event = nullptr;
    // Set with the event when the port failed or was closed under the upload.
    bool portFailed = false;

    // Every write of the upload happens under portMutex and only while the port is its own; closing
    // the port withdraws it, so a write never reaches a closed descriptor or one reused by a new
    // connection.
    std::mutex portMutex;
    bool portWithdrawn = false;

    // Upload threads not yet joined: the running one and those that have handed the port back and
    // are at most delivering their final status (whose callback may have started the next upload,
    // so there can be more than one). Guarded by threadMutex, which is never held while joining:
    // a final status callback may start an upload, and must not wait for the joiner.
    std::mutex threadMutex;
    std::vector<std::thread> threads;
    std::atomic<int> liveThreads{0};

    std::atomic<std::uint32_t> firstRequestLimitMs{60000};
    std::atomic<bool> failNextStart{false};

    ~UploadShared() {
        // A program that ends without kvxCloseLib: let the threads finish rather than terminate.
        std::lock_guard lock(threadMutex);
        for (std::thread& t : threads) {
            if (t.get_id() == std::this_thread::get_id()) {
                t.detach();
            } else if (t.joinable()) {
                t.join();
            }
        }
    }
};

UploadShared& shared() {
    static UploadShared s;
    return s;
}

struct RxSnapshot {
    std::string bytes;
    std::uint64_t generation = 0;
    const char* text() const { return bytes.c_str(); }
};

RxSnapshot rxSnapshot() {
    UploadShared& s = shared();
    std::lock_guard lock(s.rxMutex);
    return RxSnapshot{std::string(s.rx.data(), s.rxCount), s.rxGeneration};
}

void clearRxLocked(UploadShared& s) {
    s.rxCount = 0;
    s.rx[0] = '\0';
    ++s.rxGeneration;
}

// Where an upload reads its bytes: an open file or a caller's memory.
class UploadSource {
  public:
    UploadSource(std::unique_ptr<std::ifstream> file, const std::uint8_t* data)
        : file_(std::move(file)), data_(data) {}

    // ReadProgData: at most `maxBytes` from `offset` on into `dest`.
    bool read(std::uint32_t offset, std::uint32_t maxBytes, std::uint8_t* dest, std::uint32_t& obtained) {
        obtained = 0;
        if (file_ != nullptr) {
            file_->clear();
            errno = 0;
            file_->seekg(static_cast<std::streamoff>(offset), std::ios::beg);
            if (!*file_) {
                LogMsg(LOG_TIME, "ReadProgData, SetFilePointer() failed with error= %d\n", errno);
                return false;
            }
            file_->read(reinterpret_cast<char*>(dest), static_cast<std::streamsize>(maxBytes));
            if (file_->bad()) {
                LogMsg(LOG_TIME, "ReadProgData, ReadFile() failed with error= %d", errno);
                return false;
            }
            obtained = static_cast<std::uint32_t>(file_->gcount());
            return true;
        }
        if (data_ == nullptr) {
            return maxBytes == 0;
        }
        std::memcpy(dest, data_ + offset, maxBytes);
        obtained = maxBytes;
        return true;
    }

    void close() { file_.reset(); }

  private:
    std::unique_ptr<std::ifstream> file_;
    const std::uint8_t* data_;
};

// The request an exported call hands to the upload thread.
struct UploadJob {
    std::string name;
    std::int32_t target = 0;
    std::uint32_t size = 0;
    UploadSource source{nullptr, nullptr};
    UploadStatusCallback callback = nullptr;
};

bool writeToPort(const void* bytes, std::uint32_t count) {
    UploadShared& s = shared();
    std::lock_guard lock(s.portMutex);
    if (s.portWithdrawn) {
        return false;
    }
    // A failed write is not examined: the missing answer ends the upload in a time-out.
    return comPort().SendData(bytes, count, nullptr);
}

// One run of IfUploadFile.
class UploadRun {
  public:
    explicit UploadRun(UploadJob job) : job_(std::move(job)) {}

    // Runs the transfer and returns the final status, which the caller delivers.
    std::uint32_t run() {
        {
            UploadShared& s = shared();
            std::lock_guard lock(s.rxMutex);
            s.event = &event_;
        }
        event_.set();
        state_ = UploadState::XM_START;
        nakCount_ = 0;
        for (;;) {
            std::uint32_t waitMs = waitMs_;
            if (firstRequestDeadline_) {
                const auto now = Clock::now();
                if (now >= *firstRequestDeadline_) {
                    return firstRequestOverdue();
                }
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*firstRequestDeadline_ - now).count();
                waitMs = static_cast<std::uint32_t>(std::min<long long>(waitMs, left));
            }
            const platform::WaitResult w = event_.wait(waitMs);
            if (portGone()) {
                // Nothing more will come, nor go out: no use waiting for the time-out.
                LogMsg(LOG_TIME, "IfUploadFile, the port failed or was closed...");
                LogMsg(LOG_TIME, "File Upload failed...");
                return KVLIB_ERR_UPLOAD_FAILED;
            }
            std::optional<std::uint32_t> final;
            if (w == platform::WaitResult::signalled) {
                final = step();
            } else if (w == platform::WaitResult::timedOut) {
                final = timeoutStep();
            }
            if (final) {
                return *final;
            }
        }
    }

    // Withdraws the event from the receive handler and closes the source.
    void finish() {
        {
            UploadShared& s = shared();
            std::lock_guard lock(s.rxMutex);
            s.event = nullptr;
        }
        job_.source.close();
    }

    void deliver(std::uint32_t status) const {
        if (job_.callback != nullptr) {
            job_.callback(status);
        }
    }

  private:
    std::optional<std::uint32_t> step() {
        switch (state_) {
            case UploadState::XM_START:
                return startStep();
            case UploadState::XM_GET_PROMPT:
                return getPromptStep();
            case UploadState::XM_WAIT_UPLOAD:
                return waitUploadStep();
            case UploadState::XM_SEND_BLOCK:
                return sendBlockStep();
            case UploadState::XM_REPLY:
                return replyStep();
            case UploadState::XM_SEND_EOT:
                return sendEotStep();
            case UploadState::XM_WAIT_END:
                return waitEndStep();
        }
        LogMsg(LOG_TIME, "File Upload failed...");
        return KVLIB_ERR_UPLOAD_FAILED;
    }

    // The port failed or was closed while this upload ran (or before it could begin).
    bool portGone() const {
        UploadShared& s = shared();
        {
            std::lock_guard lock(s.rxMutex);
            if (s.portFailed) {
                return true;
            }
        }
        return PortLinkDown();
    }

    // Resets the event unless something arrived after `seen` was taken.
    void waitForMore(const RxSnapshot& seen) {
        UploadShared& s = shared();
        std::lock_guard lock(s.rxMutex);
        if (s.rxGeneration == seen.generation) {
            event_.reset();
        }
    }

    void clearAndReset() {
        UploadShared& s = shared();
        std::lock_guard lock(s.rxMutex);
        event_.reset();
        clearRxLocked(s);
    }

    std::optional<std::uint32_t> startStep() {
        LogMsg(LOG_TIME, "IfUploadFile, XM_START: send upload command");
        char command[256];
        std::snprintf(command, sizeof command, "xrecv \"/%s/%s\" %u", UploadAreaWord(job_.target),
                      job_.name.c_str(), static_cast<unsigned>(job_.size));
        command_ = command;
        const std::string line = "\r" + command_ + "\r";
        LogMsg(LOG_TIME, "Starting Upload ...%s", command_.c_str());
        waitMs_ = kAnswerWaitMs;
        SetRxHandler(RX_UPLOAD);
        deliver(KVLIB_ERR_UPLOAD_START);
        clearAndReset();
        firstRequestDeadline_ = Clock::now() + std::chrono::milliseconds(shared().firstRequestLimitMs.load());
        (void)writeToPort(line.data(), static_cast<std::uint32_t>(line.size()));
        state_ = UploadState::XM_GET_PROMPT;
        return std::nullopt;
    }

    std::optional<std::uint32_t> getPromptStep() {
        const RxSnapshot rx = rxSnapshot();
        if (PromptAfterEcho(rx.text(), command_.c_str())) {
            state_ = UploadState::XM_WAIT_UPLOAD;
            return waitUploadStep();
        }
        waitForMore(rx);
        return std::nullopt;
    }

    std::optional<std::uint32_t> waitUploadStep() {
        const RxSnapshot rx = rxSnapshot();
        const std::uint32_t p = LastPromptEnd(rx.text());
        if (p >= rx.bytes.size()) {
            waitForMore(rx);
            return std::nullopt;
        }
        LogRxData(rx.bytes.data(), static_cast<int>(p), static_cast<int>(rx.bytes.size() - p));
        const ReceiverAnswer answer = JudgeReceiverRequest(rx.bytes);
        switch (answer.request) {
            case ReceiverRequest::checksum:
                LogMsg(LOG_TIME, "IfUploadFile, XM_WAIT_UPLOAD: received NAK...");
                mode_ = kChecksumSum;
                break;
            case ReceiverRequest::crc:
                LogMsg(LOG_TIME, "IfUploadFile, XM_WAIT_UPLOAD: received 'C'...");
                mode_ = kChecksumCrc;
                break;
            case ReceiverRequest::cancel:
                LogMsg(LOG_TIME, "IfUploadFile, XM_WAIT_UPLOAD: received CAN...");
                return KVLIB_ERR_UPLOAD_CANCELED;
            case ReceiverRequest::none:
            case ReceiverRequest::other:
                // Line noise or text after the prompt: the receiver's request is still to come.
                waitForMore(rx);
                LogMsg(LOG_TIME, "IfUploadFile, XM_WAIT_UPLOAD: received '%2X'...",
                       static_cast<unsigned>(answer.byte));
                return std::nullopt;
        }
        blockNumber_ = 1;
        offset_ = 0;
        firstRequestDeadline_.reset();
        state_ = UploadState::XM_SEND_BLOCK;
        return sendBlockStep();
    }

    std::optional<std::uint32_t> sendBlockStep() {
        const std::uint32_t remaining = job_.size - offset_;
        const std::uint32_t blockSize = BlockSizeFor(remaining);
        // Never more than the announced size, even from a file that has grown since.
        const std::uint32_t wanted = std::min(blockSize, remaining);
        if (!job_.source.read(offset_, wanted, source_.data(), obtained_) || (obtained_ == 0 && wanted > 0)) {
            if (obtained_ == 0 && wanted > 0) {
                // A file that shrank after its size was announced would otherwise send empty
                // blocks without end.
                LogMsg(LOG_TIME, "ReadProgData, file ends at %u of %u bytes", offset_, job_.size);
            }
            cancelReceiver();
            return KVLIB_ERR_UPLOAD_FILE_READ_ERR;
        }
        const std::size_t length =
            BuildBlockFrame(blockNumber_, source_.data(), obtained_, mode_, frame_.data());
        clearAndReset();
        (void)writeToPort(frame_.data(), static_cast<std::uint32_t>(length));
        state_ = UploadState::XM_REPLY;
        return std::nullopt;
    }

    // The receiver has asked for blocks that will not come: tell it to stop (two CANs, as an
    // XMODEM sender cancels), so that the controller's shell does not stay in its receive mode.
    // A receiver lets the line fall quiet before its shell prompts again, and a command sent before
    // that is lost: hand the port back only once the prompt is there (or the answer time is up).
    void cancelReceiver() {
        const std::uint8_t cancel[2] = {kCan, kCan};
        clearAndReset();
        (void)writeToPort(cancel, sizeof cancel);
        const auto until = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
        for (;;) {
            const RxSnapshot rx = rxSnapshot();
            if (LastPromptEnd(rx.text()) > 0 || portGone()) {
                return;
            }
            const auto now = Clock::now();
            if (now >= until) {
                LogMsg(LOG_TIME, "IfUploadFile, no prompt after cancelling the receiver");
                return;
            }
            waitForMore(rx);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
            (void)event_.wait(static_cast<std::uint32_t>(left));
        }
    }

    std::optional<std::uint32_t> replyStep() {
        const RxSnapshot rx = rxSnapshot();
        const std::uint8_t first = rx.bytes.empty() ? 0 : static_cast<std::uint8_t>(rx.bytes[0]);
        switch (first) {
            case kNak:
                LogMsg(LOG_TIME, "IfUploadFile, XM_REPLY: NAK, BlockNo= %u", blockNumber_);
                ++nakCount_;
                if (nakCount_ <= kMaxNaksPerBlock) {
                    deliver(KVLIB_ERR_UPLOAD_NAK);
                    state_ = UploadState::XM_SEND_BLOCK;
                } else {
                    LogMsg(LOG_TIME, "IfUploadFile, cancel file upload...");
                    state_ = UploadState::XM_SEND_EOT;
                }
                break;
            case kAck:
                nakCount_ = 0;
                offset_ += obtained_;
                if (offset_ < job_.size) {
                    deliver(KVLIB_ERR_UPLOAD_ACK);
                    ++blockNumber_;
                    state_ = UploadState::XM_SEND_BLOCK;
                } else {
                    state_ = UploadState::XM_SEND_EOT;
                }
                break;
            case kCan:
                LogMsg(LOG_TIME, "IfUploadFile, XM_REPLY: CAN, upload was canceld ...");
                deliver(KVLIB_ERR_UPLOAD_CANCELED);
                state_ = UploadState::XM_SEND_EOT;
                break;
            default:
                LogMsg(LOG_TIME, "IfUploadFile, received unknown data:  %0x", static_cast<unsigned>(first));
                state_ = UploadState::XM_SEND_EOT;
                break;
        }
        // The event is still set: the next state runs at once.
        return std::nullopt;
    }

    std::optional<std::uint32_t> sendEotStep() {
        const std::uint8_t eot = kEot;
        clearAndReset();
        (void)writeToPort(&eot, 1);
        if (job_.target == 1 || job_.target == 2) {
            waitMs_ = kCacheUpdateWaitMs;
            // Only a complete file makes the controller update its cached copy; after a refused or
            // cancelled transfer there is nothing to update, and the caller must not be told so.
            if (offset_ >= job_.size) {
                deliver(KVLIB_ERR_UPLOAD_CACHE_UPDATE);
            }
        }
        state_ = UploadState::XM_WAIT_END;
        return std::nullopt;
    }

    std::optional<std::uint32_t> waitEndStep() {
        const RxSnapshot rx = rxSnapshot();
        if (!rx.bytes.empty() && static_cast<std::uint8_t>(rx.bytes[0]) == kAck && offset_ >= job_.size) {
            LogMsg(LOG_TIME, "File Upload successful...");
            return KVLIB_ERR_UPLOAD_DONE;
        }
        LogMsg(LOG_TIME, "File Upload failed...");
        return KVLIB_ERR_UPLOAD_FAILED;
    }

    std::optional<std::uint32_t> timeoutStep() {
        const RxSnapshot rx = rxSnapshot();
        if (!PromptAfterEcho(rx.text(), command_.c_str())) {
            LogMsg(LOG_TIME, "INFO: Upload, Timeout is occurred ...");
            LogRxData(rx.bytes.data(), 0, static_cast<int>(rx.bytes.size()));
            return KVLIB_ERR_UPLOAD_TIMEOUT;
        }
        // The echo and a prompt are there: the receiver has yet to ask for the first block.
        state_ = UploadState::XM_WAIT_UPLOAD;
        return waitUploadStep();
    }

    std::uint32_t firstRequestOverdue() {
        LogMsg(LOG_TIME, "IfUploadFile, XM_WAIT_UPLOAD: no block request within %u ms",
               shared().firstRequestLimitMs.load());
        LogMsg(LOG_TIME, "INFO: Upload, Timeout is occurred ...");
        const RxSnapshot rx = rxSnapshot();
        LogRxData(rx.bytes.data(), 0, static_cast<int>(rx.bytes.size()));
        return KVLIB_ERR_UPLOAD_TIMEOUT;
    }

    UploadJob job_;
    platform::ManualResetEvent event_;
    UploadState state_ = UploadState::XM_START;
    std::uint32_t waitMs_ = kInitialWaitMs;
    int mode_ = kChecksumCrc;
    std::uint32_t blockNumber_ = 0;
    std::uint32_t offset_ = 0;
    std::uint32_t obtained_ = 0;
    int nakCount_ = 0;
    std::string command_;
    std::optional<Clock::time_point> firstRequestDeadline_;
    std::array<std::uint8_t, kMaxBlockFrameBytes> frame_{};
    std::array<std::uint8_t, kLargeBlock> source_{};
};

void IfUploadFile(std::unique_ptr<UploadRun> run) {
    LogMsg(LOG_TIME, "Starting Thread IfUploadFile...");
    const std::uint32_t final = run->run();
    LogMsg(LOG_TIME, "Closing thread IfUploadFile...");
    run->finish();
    ResumeTransferCycle();
    EndShellService();
    // The final status comes once the port is handed back, so that a caller that acts on it (closes
    // the device, sends the next command, starts the next upload) finds the library ready.
    run->deliver(final);
    run.reset();
    shared().liveThreads.fetch_sub(1);
}

// Joins every upload thread but the caller's own, none of them under threadMutex. Returns whether
// there was one to join.
bool joinOtherUploadThreads() {
    UploadShared& s = shared();
    std::vector<std::thread> others;
    {
        std::lock_guard lock(s.threadMutex);
        for (auto it = s.threads.begin(); it != s.threads.end();) {
            if (it->get_id() != std::this_thread::get_id()) {
                others.push_back(std::move(*it));
                it = s.threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (std::thread& t : others) {
        if (t.joinable()) {
            t.join();
        }
    }
    return !others.empty();
}

// Opens the file shared for reading; on failure `osError` is the system's error number. Only a
// regular file is opened: a FIFO would block the caller in the open, and a device such as /dev/zero
// has no size to announce. The check looks before opening, so it never waits itself.
std::unique_ptr<std::ifstream> openFileForUpload(const char* path, int& osError) {
    if (!platform::isRegularFile(path, osError)) {
        return nullptr;
    }
    std::error_code ec;
    errno = 0;
    auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!file->is_open()) {
        osError = errno;
        if (osError == 0) {
            (void)std::filesystem::status(path, ec);
            osError = ec ? ec.value() : ENOENT;
        }
        return nullptr;
    }
    return file;
}

// The size of the open file, when it can be read and fits the 32-bit size the command announces.
std::optional<std::uint32_t> fileSize(std::ifstream& file) {
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    file.clear();
    file.seekg(0, std::ios::beg);
    if (end < 0) {
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(end) > std::numeric_limits<std::uint32_t>::max()) {
        LogMsg(LOG_TIME, "OpenFileForUpload, file too large: %lld bytes", static_cast<long long>(end));
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(end);
}

// Hands the port to a new upload thread. `who` names the call in the log.
std::uint32_t startUpload(std::uint32_t handle, UploadJob job, const char* who) {
    UploadShared& s = shared();
    // A status callback before the final one runs while its upload holds the port, and is refused
    // here like everyone else; the final one runs after the port was handed back and may go on.
    if (!TryBeginShellService()) {
        LogMsg(LOG_TIME, "%s, refused: the port is held by another shell service", who);
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    // The earlier uploads have given the port back and are at most delivering their final status.
    (void)joinOtherUploadThreads();
    {
        // The port is this upload's from here on, unless it is already closing.
        std::lock_guard portLock(s.portMutex);
        s.portWithdrawn = false;
    }
    if (std::uint32_t rc = CheckDeviceHandle(handle); rc != 0) {
        EndShellService();
        return rc;
    }
    PauseTransferCycle();
    {
        std::lock_guard lock(s.rxMutex);
        clearRxLocked(s);
        s.portFailed = false;
    }
    s.liveThreads.fetch_add(1);
    std::lock_guard threadLock(s.threadMutex);
    try {
        auto run = std::make_unique<UploadRun>(std::move(job));
        if (s.failNextStart.exchange(false)) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        s.threads.emplace_back(IfUploadFile, std::move(run));
    } catch (const std::system_error& e) {
        LogMsg(LOG_INFO, "%s, CreateThread() failed with error= %d", who, e.code().value());
        s.liveThreads.fetch_sub(1);
        // Nothing else would ever hand the port back to the transfer cycle.
        ResumeTransferCycle();
        EndShellService();
        return KVLIB_ERR_THREAD_NOT_STARTABLE;
    }
    platform::setTimeCriticalPriority(s.threads.back());
    return 0;
}

}  // namespace

void UploadInputData(const std::uint8_t* bytes, std::int32_t count) {
    if (bytes == nullptr || count <= 0) {
        return;
    }
    UploadShared& s = shared();
    std::size_t dropped = 0;
    {
        std::lock_guard lock(s.rxMutex);
        const std::size_t room = kUploadRxBytes - s.rxCount;
        const std::size_t take = std::min(room, static_cast<std::size_t>(count));
        dropped = static_cast<std::size_t>(count) - take;
        if (take > 0) {
            std::memcpy(s.rx.data() + s.rxCount, bytes, take);
            s.rxCount += take;
            s.rx[s.rxCount] = '\0';
            ++s.rxGeneration;
            if (s.event != nullptr) {
                s.event->set();
            }
        }
    }
    if (dropped > 0) {
        LogMsg(LOG_TIME, "UploadInputData, receive buffer full, %zu bytes dropped", dropped);
    }
}

std::string UploadReceivedBytes() {
    return rxSnapshot().bytes;
}

void ClearUploadReceiveBuffer() {
    UploadShared& s = shared();
    std::lock_guard lock(s.rxMutex);
    clearRxLocked(s);
}

std::string UploadNameFromPath(const std::string& path, char separator) {
    const std::size_t last = path.find_last_of(separator);
    return last == std::string::npos ? path : path.substr(last + 1);
}

bool ValidUploadName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const std::size_t length = BoundedLength(name, kMaxUploadNameLength + 1);
    if (length == 0 || length > kMaxUploadNameLength) {
        return false;
    }
    // The controller takes a plain file name only: a '/' would point into another directory, and
    // "." or ".." name no file. It refuses them without ending its transfer mode, and the upload
    // would wait out its time-out.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return false;
    }
    return std::none_of(name, name + length, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || c == '"' || c == '/';
    });
}

const char* UploadAreaWord(std::int32_t target) {
    switch (target) {
        case 1:
            return "flash";
        case 2:
            return "system";
        default:
            return "ramdisk";
    }
}

ReceiverAnswer JudgeReceiverRequest(const std::string& received) {
    // A prompt ends at least 4 bytes in, so 0 means there is none.
    const std::uint32_t p = LastPromptEnd(received.c_str());
    if (p == 0 || p >= received.size()) {
        return {};
    }
    // The newest byte: what the receiver says now, past any text or noise after the prompt.
    const auto newest = static_cast<std::uint8_t>(received.back());
    switch (newest) {
        case kNak:
            return {ReceiverRequest::checksum, newest};
        case kCrcRequest:
            return {ReceiverRequest::crc, newest};
        case kCan:
            return {ReceiverRequest::cancel, newest};
        default:
            return {ReceiverRequest::other, newest};
    }
}

std::uint32_t BlockSizeFor(std::uint32_t remaining) {
    return remaining > kLargeBlock ? kLargeBlock : kSmallBlock;
}

std::size_t BuildBlockFrame(std::uint32_t blockNumber, const std::uint8_t* data, std::size_t obtained,
                            int mode, std::uint8_t* frame) {
    const bool large = obtained > kSmallBlock;
    const std::size_t n = large ? kLargeBlock : kSmallBlock;
    const std::size_t used = data == nullptr ? 0 : std::min(obtained, n);
    frame[0] = large ? kStx : kSoh;
    frame[1] = static_cast<std::uint8_t>(blockNumber & 0xFFu);
    frame[2] = static_cast<std::uint8_t>(~frame[1]);
    if (used > 0) {
        std::memcpy(frame + 3, data, used);
    }
    std::memset(frame + 3 + used, 0, n - used);
    if (mode == kChecksumCrc) {
        const std::uint32_t crc = ComputeCrc(kCrcModels[kCrcZmodem], frame + 3, n);
        frame[3 + n] = static_cast<std::uint8_t>((crc >> 8) & 0xFFu);
        frame[4 + n] = static_cast<std::uint8_t>(crc & 0xFFu);
        return n + 5;
    }
    frame[3 + n] = static_cast<std::uint8_t>(ComputeCrc(kCrcModels[kCrcModulo256], frame + 3, n));
    return n + 4;
}

void WaitForUploadEnd() {
    // A final status callback may have started another upload meanwhile: wait for that one too.
    while (joinOtherUploadThreads()) {
    }
}

void FailUploadInFlight() {
    UploadShared& s = shared();
    std::lock_guard lock(s.rxMutex);
    if (s.event != nullptr) {
        s.portFailed = true;
        s.event->set();
    }
}

void UploadReleasePort() {
    UploadShared& s = shared();
    std::lock_guard lock(s.portMutex);
    s.portWithdrawn = true;
}

bool UploadThreadRunning() {
    return shared().liveThreads.load() > 0;
}

void SetUploadFirstRequestLimitForTesting(std::uint32_t ms) {
    shared().firstRequestLimitMs.store(ms);
}

void FailNextUploadThreadStartForTesting() {
    shared().failNextStart.store(true);
}

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t KvFileUpload(std::uint32_t deviceHandle, const char* fileName, std::int32_t target,
                                     UploadStatusCallback callback) {
    // Its start waits for the transfer cycle's request in flight, whose reply the receive thread
    // delivers; the upload itself lives on the controller's answers.
    if (kv::RefusedOnReceiveThread("KvFileUpload")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    if (std::uint32_t rc = kv::CheckDeviceHandle(deviceHandle); rc != 0) {
        return rc;
    }
    kv::LogMsg(kv::LOG_INFO, "KvFileUpload, fname= %s", kv::LogText(fileName, kv::kMaxLoggedText).c_str());
    if (fileName == nullptr) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    int osError = 0;
    std::unique_ptr<std::ifstream> file = kv::openFileForUpload(fileName, osError);
    if (file == nullptr) {
        kv::LogMsg(kv::LOG_TIME, "OpenFileForUpload, Could not open file (error %d)", osError);
        return KVLIB_ERR_UPLOAD_FILE_NOT_OPEN;
    }
    const std::optional<std::uint32_t> size = kv::fileSize(*file);
    if (!size) {
        return KVLIB_ERR_UPLOAD_INVALID_FSIZE;
    }
    // The controller gets the file's own name, never the computer's directories.
    const std::string name = kv::UploadNameFromPath(fileName, kv::platform::pathSeparator());
    if (!kv::ValidUploadName(name.c_str())) {
        kv::LogMsg(kv::LOG_TIME, "KvFileUpload, unusable name for the controller: '%s'",
                   kv::LogText(name.c_str(), kv::kMaxLoggedText).c_str());
        return KVLIB_ERR_INVALID_PARAM;
    }
    kv::LogMsg(kv::LOG_INFO, "KvFileUpload, Device= %d, FileName= %s, size= %u", static_cast<int>(target),
               name.c_str(), static_cast<unsigned>(*size));
    kv::UploadJob job;
    job.name = name;
    job.target = target;
    job.size = *size;
    job.source = kv::UploadSource(std::move(file), nullptr);
    job.callback = callback;
    return kv::startUpload(deviceHandle, std::move(job), "KvFileUpload");
}

KVLIB_API std::uint32_t KvRamFileUpload(std::uint32_t deviceHandle, std::int32_t target, const void* data,
                                        std::uint32_t size, const char* name, UploadStatusCallback callback) {
    if (kv::RefusedOnReceiveThread("KvProgUpload")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    if (std::uint32_t rc = kv::CheckDeviceHandle(deviceHandle); rc != 0) {
        return rc;
    }
    kv::LogMsg(kv::LOG_INFO, "KvRamFileUpload, Device= %d, ProgName= %s, size= %u", static_cast<int>(target),
               kv::LogText(name, kv::kMaxUploadNameLength + 1).c_str(), static_cast<unsigned>(size));
    // Refused before anything is announced: a name the command cannot carry, or bytes that are not
    // there.
    if (!kv::ValidUploadName(name) || (data == nullptr && size > 0)) {
        return KVLIB_ERR_INVALID_PARAM;
    }
    kv::UploadJob job;
    job.name = name;
    job.target = target;
    job.size = size;
    job.source = kv::UploadSource(nullptr, static_cast<const std::uint8_t*>(data));
    job.callback = callback;
    return kv::startUpload(deviceHandle, std::move(job), "KvProgUpload");
}

}  // extern "C"
