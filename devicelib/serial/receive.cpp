#include "serial/receive.h"

#include <array>
#include <atomic>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "kvarolib.h"
#include "platform/platform.h"
#include "serial/com_port.h"
#include "serial/exchange.h"
#include "serial/parser.h"
#include "serial/telegram.h"

namespace kv {
namespace {

struct ReceiveState {
    std::atomic<RxHandler> handler{IFInputData};
    // Set by the connection around the thread's life; read by the thread.
    std::atomic<RxDispatch> dispatch{nullptr};
    std::atomic<ReadFailureHook> readFailure{nullptr};
    std::atomic<RxHandler> shellText{nullptr};
    std::atomic<void (*)()> shellFail{nullptr};
    std::atomic<RxHandler> uploadInput{nullptr};
    std::atomic<void (*)()> uploadFail{nullptr};
    std::atomic<bool> linkDown{false};

    // Starting and stopping from outside the receive thread, one at a time, joins included. The
    // receive thread itself never takes it: a handler (an application callback) that closes the
    // device must not wait for a stop that waits for this very handler.
    std::mutex lifeMutex;
    std::mutex threadMutex;  // guards `thread`; held only briefly, never across a join
    std::thread thread;
    std::atomic<bool> stopRequested{false};
    platform::Wakeup wakeup;
    std::atomic<int> alive{0};  // receive threads between their first and last step
    // A frame start mark that ended a chunk in shell mode; the next chunk's first byte decides
    // whether it begins a telegram or is text.
    std::atomic<bool> heldStart{false};
};

// Set on the receive thread for its whole life.
thread_local bool tOnReceiveThread = false;

// Never destroyed: a connection the application did not close must not take the process down at
// exit by destroying a running thread's object.
ReceiveState& receiveState() {
    static ReceiveState* const state = new ReceiveState();
    return *state;
}

void recordReadFailure(std::uint32_t osError) {
    LogMsg(LOG_TIME, "ReadComThread, ReadData failed... !");
    // Nothing more will arrive: whoever waits for an answer is told now, not after its time-out.
    FailExchangesInFlight();
    if (ReadFailureHook hook = receiveState().readFailure.load()) {
        hook(osError);
    }
}

void ReadComThread() {
    tOnReceiveThread = true;
    ReceiveState& st = receiveState();
    st.alive.fetch_add(1);
    struct Leaving {
        ReceiveState& st;
        ~Leaving() { st.alive.fetch_sub(1); }
    } leaving{st};
    ComPort& port = comPort();
    std::array<std::uint8_t, kRxChunkBytes> buffer{};
    bool failed = false;

    while (!st.stopRequested.load()) {
        const platform::PortHandle h = port.handle();
        if (h == platform::kNoPort) {
            LogMsg(LOG_TIME, "thread [ReadComThread] stopped while port handle= NULL...");
            return;
        }
        if (failed) {
            // A failed line does not come back by itself; wait for the stop request instead of
            // spinning on an error that repeats at once.
            platform::waitWakeup(st.wakeup, -1);
            continue;
        }
        std::uint32_t queued = 0;
        int osError = 0;
        if (!platform::serialRxQueueCount(h, queued, osError)) {
            recordReadFailure(static_cast<std::uint32_t>(osError));
            failed = true;
            continue;
        }
        if (queued == 0) {
            const platform::PortWait w = platform::serialWaitReadable(h, st.wakeup, -1, osError);
            if (w == platform::PortWait::hungUp || w == platform::PortWait::failed) {
                recordReadFailure(static_cast<std::uint32_t>(osError));
                failed = true;
            }
            continue;
        }
        if (queued > kRxChunkBytes) {
            LogMsg(LOG_TIME, "ReadComThread, rxBytes= %u, new rxBytes= %u", queued, kRxChunkBytes);
            queued = kRxChunkBytes;
        }
        std::uint32_t got = 0;
        std::uint32_t error = 0;
        if (!port.ReadData(buffer.data(), queued, &got, &error)) {
            recordReadFailure(error);
            failed = true;
            continue;
        }
        if (RxHandler handler = st.handler.load()) {
            if (RxDispatch dispatch = st.dispatch.load()) {
                dispatch(handler, buffer.data(), static_cast<std::int32_t>(got));
            } else {
                handler(buffer.data(), static_cast<std::int32_t>(got));
            }
        }
    }
}

// True while the telegram parser is inside a frame: from the start mark to the end mark.
bool parserInFrame() {
    const std::uint32_t state = CurrentParserState();
    return state >= GET_SYNC_STATE && state <= GET_ETX_STATE;
}

void dropText(const std::uint8_t*, std::int32_t) {}

// The receive handler while a shell command holds the port.
void shellInputData(const std::uint8_t* bytes, std::int32_t count) {
    const RxHandler text = receiveState().shellText.load();
    SplitTelegramFrames(bytes, count, text != nullptr ? text : dropText);
}

// The receive handler while an upload holds the port.
void uploadInputData(const std::uint8_t* bytes, std::int32_t count) {
    if (const RxHandler input = receiveState().uploadInput.load()) {
        input(bytes, count);
    }
}

void wake(const std::atomic<void (*)()>& failInFlight) {
    if (void (*fail)() = failInFlight.load()) {
        fail();
    }
}

}  // namespace

void SplitTelegramFrames(const std::uint8_t* bytes, std::int32_t count, RxHandler text) {
    if (bytes == nullptr || count <= 0) {
        return;
    }
    ReceiveState& st = receiveState();
    std::int32_t i = 0;
    std::int32_t textStart = 0;
    const auto giveText = [&](std::int32_t end) {
        if (end > textStart) {
            text(bytes + textStart, end - textStart);
        }
        textStart = end;
    };
    if (st.heldStart.exchange(false)) {
        static constexpr std::uint8_t kStart = kTelegramStx;
        if (bytes[0] == kTelegramSync) {
            IFInputData(&kStart, 1);
        } else {
            text(&kStart, 1);
        }
    }
    while (i < count) {
        if (parserInFrame()) {
            giveText(i);
            while (i < count && parserInFrame()) {
                IFInputData(bytes + i, 1);
                ++i;
                if (ReceiveThreadStopping()) {
                    return;
                }
            }
            textStart = i;
            continue;
        }
        if (bytes[i] == kTelegramStx) {
            if (i + 1 == count) {
                giveText(i);
                textStart = count;
                st.heldStart.store(true);
                return;
            }
            if (bytes[i + 1] == kTelegramSync) {
                giveText(i);
                IFInputData(bytes + i, 1);
                ++i;
                textStart = i;
                continue;
            }
        }
        ++i;
    }
    giveText(count);
}

std::uint32_t StartComReadThread() {
    ReceiveState& st = receiveState();
    if (tOnReceiveThread) {
        // A thread cannot start its own successor: it would have to wait for itself to end.
        LogMsg(LOG_ERROR, "StartComReadThread, CreateThread() failed with error %d", 0);
        return KVLIB_ERR_THREAD_NOT_STARTABLE;
    }
    std::lock_guard life(st.lifeMutex);
    LogMsg(LOG_TIME, "Starting thread [ReadComThread]...");
    std::thread finished;
    {
        std::lock_guard lock(st.threadMutex);
        if (st.thread.joinable() && !st.stopRequested.load()) {
            // One receive thread per connection; a second start finds it running.
            return 0;
        }
        // A thread stopped from its own handler may still be in that handler.
        finished = std::move(st.thread);
    }
    if (finished.joinable()) {
        finished.join();
    }
    if (!st.wakeup.valid()) {
        LogMsg(LOG_ERROR, "StartComReadThread, CreateThread() failed with error %d", 0);
        return KVLIB_ERR_THREAD_NOT_STARTABLE;
    }
    st.wakeup.drain();
    st.stopRequested.store(false);
    // A frame cut off by the last connection must not be taken up by this one.
    ResetParser();
    std::lock_guard lock(st.threadMutex);
    try {
        st.thread = std::thread(ReadComThread);
    } catch (const std::system_error& e) {
        LogMsg(LOG_ERROR, "StartComReadThread, CreateThread() failed with error %d", e.code().value());
        return KVLIB_ERR_THREAD_NOT_STARTABLE;
    }
    const auto id = std::hash<std::thread::id>{}(st.thread.get_id());
    LogMsg(LOG_TIME, "Thread [ReadComThread] started..., hComRead= %d, IdComReadThread= %d",
           static_cast<int>(comPort().handle()), static_cast<int>(id & 0x7FFFFFFF));
    platform::setTimeCriticalPriority(st.thread);
    return 0;
}

std::uint32_t StopComReadThread() {
    ReceiveState& st = receiveState();
    if (tOnReceiveThread) {
        // Asked from a receive handler: the thread ends once the handler returns and reads nothing
        // more. Its object stays behind for the next start (or stop) to join.
        st.stopRequested.store(true);
        st.wakeup.signal();
        LogMsg(LOG_TIME, "cancel thread [ReadComThread]...");
        return 0;
    }
    std::lock_guard life(st.lifeMutex);
    std::thread running;
    {
        std::lock_guard lock(st.threadMutex);
        if (!st.thread.joinable()) {
            return 0;
        }
        running = std::move(st.thread);
    }
    st.stopRequested.store(true);
    st.wakeup.signal();
    running.join();
    st.wakeup.drain();
    LogMsg(LOG_TIME, "cancel thread [ReadComThread]...");
    return 0;
}

bool ComReadThreadRunning() {
    ReceiveState& st = receiveState();
    std::lock_guard lock(st.threadMutex);
    return st.thread.joinable() && !st.stopRequested.load();
}

bool ComReadThreadEndedBySystem() {
    ReceiveState& st = receiveState();
    std::lock_guard lock(st.threadMutex);
    return st.thread.joinable() && !st.stopRequested.load() && platform::threadEndedBySystem(st.thread);
}

int ReceiveThreadsAlive() {
    return receiveState().alive.load();
}

bool OnReceiveThread() {
    return tOnReceiveThread;
}

bool ReceiveThreadStopping() {
    return tOnReceiveThread && receiveState().stopRequested.load();
}

bool RefusedOnReceiveThread(const char* caller) {
    if (!tOnReceiveThread) {
        return false;
    }
    LogMsg(LOG_TIME, "%s, refused: called on the receive thread (from a callback)", caller);
    return true;
}

RxHandler RxHandlerForMode(int mode) {
    switch (mode) {
        case RX_SHELL:
            return shellInputData;
        case RX_UPLOAD:
            return uploadInputData;
        default:
            return IFInputData;
    }
}

void SetModeReceiver(int mode, const ModeReceiver& receiver) {
    ReceiveState& st = receiveState();
    switch (mode) {
        case RX_SHELL:
            st.shellText.store(receiver.input);
            st.shellFail.store(receiver.failInFlight);
            break;
        case RX_UPLOAD:
            st.uploadInput.store(receiver.input);
            st.uploadFail.store(receiver.failInFlight);
            break;
        default:
            break;
    }
}

int SetRxHandler(int mode) {
    // A start mark held back belongs to the mode that is ending.
    receiveState().heldStart.store(false);
    receiveState().handler.store(RxHandlerForMode(mode));
    return mode;
}

RxHandler CurrentRxHandler() {
    return receiveState().handler.load();
}

void SetRxHandlerForTesting(RxHandler handler) {
    receiveState().handler.store(handler);
}

void SetRxDispatch(RxDispatch dispatch) {
    receiveState().dispatch.store(dispatch);
}

void SetReadFailureHook(ReadFailureHook hook) {
    receiveState().readFailure.store(hook);
}

void FailExchangesInFlight() {
    // The flag first: an exchange that registers after the wake-ups below sees it.
    ReceiveState& st = receiveState();
    st.linkDown.store(true);
    wake(st.shellFail);
    FailSingleExchangesInFlight();
    wake(st.uploadFail);
}

bool PortLinkDown() {
    return receiveState().linkDown.load();
}

void ClearPortLinkDown() {
    receiveState().linkDown.store(false);
}

}  // namespace kv
