// The receive thread and the seam through which it hands received bytes to whoever owns the port:
// the telegram parser, the file upload or a shell exchange.
#pragma once

#include <cstdint>

namespace kv {

using RxHandler = void (*)(const std::uint8_t* bytes, std::int32_t count);

enum RxMode : int {
    RX_TELEGRAM = 0,  // also every value other than 1 and 2
    RX_UPLOAD = 1,
    RX_SHELL = 2,
};

// The largest chunk the receive thread hands to a handler at once.
inline constexpr std::uint32_t kRxChunkBytes = 2048;

// Starts the receive thread. A thread that was asked to stop from its own handler (a callback that
// closed the device) is waited for first, so that never two threads read the port.
std::uint32_t StartComReadThread();
// Asks the receive thread to stop, wakes it and returns once it has ended: no handler runs after.
// Asked on the receive thread itself (from a handler), it returns at once and the thread ends when
// the handler returns; it reads nothing more.
std::uint32_t StopComReadThread();
// True while a receive thread runs that has not been asked to stop.
bool ComReadThreadRunning();
// How many receive threads exist at this moment, stopping ones included (never more than one).
int ReceiveThreadsAlive();
// True when the receive thread runs no more although nobody stopped it: the process is ending and the
// system has ended it (see WorkerThreadsEndedBySystem).
bool ComReadThreadEndedBySystem();

// True on the receive thread, that is inside a receive handler and so inside every transfer and
// Bluetooth callback. A call made there that waits for a reply would wait for its own thread.
bool OnReceiveThread();
// True on the receive thread once it has been asked to stop (a callback closed the device): the
// rest of the chunk in hand belongs to the closed connection and is not dispatched.
bool ReceiveThreadStopping();
// The check at the top of every exported call that waits for the receive thread: true (and a log
// line naming `caller`) when it runs on the receive thread and must be refused.
bool RefusedOnReceiveThread(const char* caller);

// The receiver while a shell command holds the port. The controller's shell writes text and never
// the frame start 0x02 0x55, but a telegram can still arrive then: the late answer to a request the
// transfer cycle sent before the pause, or a Bluetooth message. Such a frame, from its start to its
// end as the telegram parser sees it, goes to the parser (and so to its reply handler); every other
// byte goes to `text`, in order. A frame may be split over chunks anywhere, between its two start
// marks too. Receive thread only (and tests while none runs).
void SplitTelegramFrames(const std::uint8_t* bytes, std::int32_t count, RxHandler text);

// The receiver that the shell layer registers for RX_SHELL or RX_UPLOAD: `input` takes the received
// bytes (in shell mode only the text; the telegram frames go to the parser) and `failInFlight` wakes
// the exchange that waits for an answer when the link goes down (FailExchangesInFlight).
struct ModeReceiver {
    RxHandler input = nullptr;
    void (*failInFlight)() = nullptr;
};
// Registers the receiver of RX_SHELL or RX_UPLOAD (other modes are ignored). The connection sets
// them before it starts the receive thread and empties them once it has ended; while one is empty,
// its mode drops what it would have handed on and has nothing to wake.
void SetModeReceiver(int mode, const ModeReceiver& receiver);

// Installs the handler of `mode` and returns the mode.
int SetRxHandler(int mode);
// The handler that SetRxHandler installs for `mode`: the parser, or the receive thread's own handler
// of the shell or upload mode, which passes the bytes to the registered receiver.
RxHandler RxHandlerForMode(int mode);
RxHandler CurrentRxHandler();
// Installs any handler; for tests that need to see the raw chunks.
void SetRxHandlerForTesting(RxHandler handler);

// Runs one chunk's handler. The transfer layer's holds the transfer area while the handler runs, so
// that the area is never freed under a reply handler; without one the handler runs by itself.
using RxDispatch = void (*)(RxHandler handler, const std::uint8_t* bytes, std::int32_t count);
// What a failed read of the port does besides failing the exchanges in flight; the transfer layer's
// stops the transfer and records the error. `osError` is the system's error code.
using ReadFailureHook = void (*)(std::uint32_t osError);
// The connection sets both before it starts the receive thread and clears them once it has ended.
void SetRxDispatch(RxDispatch dispatch);
void SetReadFailureHook(ReadFailureHook hook);

// The connection's port failed or is being closed: marks the link down and wakes every exchange
// that waits for an answer (a shell command, a single telegram exchange, an upload), each of which
// then ends at once with a failure code instead of waiting out its time-out. Any thread may call it.
void FailExchangesInFlight();
// True from a port failure or close until the next connection is opened; an exchange that begins
// meanwhile fails at once.
bool PortLinkDown();
// A new connection: its exchanges may wait again.
void ClearPortLinkDown();

}  // namespace kv
