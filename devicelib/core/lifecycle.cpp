#include "core/lifecycle.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "base/events.h"
#include "base/log.h"
#include "bluetooth/relay.h"
#include "core/connection.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "serial/receive.h"
#include "shell/remote_cmd.h"
#include "shell/service.h"
#include "shell/upload.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/transfer_area.h"
#include "transfer/transfer_cycle.h"
#include "transfer/transfer_state.h"

namespace kv {
namespace {

struct LifecycleState {
    std::mutex mutex;  // one initialisation or close at a time
    std::atomic<std::int32_t> initialised{0};
};

LifecycleState& lifecycle() {
    static LifecycleState state;
    return state;
}

void openEvents() {
    LibraryEvents& ev = libraryEvents();
    for (platform::ManualResetEvent* e :
         {&ev.mmTimer, &ev.mmWait, &ev.request, &ev.reply, &ev.transferReply}) {
        e->open();
        e->reset();
    }
}

void closeEvents() {
    LibraryEvents& ev = libraryEvents();
    for (platform::ManualResetEvent* e :
         {&ev.transferReply, &ev.reply, &ev.request, &ev.mmWait, &ev.mmTimer}) {
        e->close();
    }
}

// What the lower layers call in the upper ones while the library's threads run: the Bluetooth senders
// in the request table, the engine's work around each reply, and the connection's close on a port
// failure (the transfer engine stands below the connection). Set before the worker threads start and
// cleared once they have stopped, so that no thread finds a slot empty or calls a stale one.
void installLayerHooks() {
    InstallBtSenders();
    InstallCycleReplyHooks();
    SetPortFailureHook(CloseComDevice);
}

void clearLayerHooks() {
    SetPortFailureHook(nullptr);
    ClearBtSenders();
    ClearCycleReplyHooks();
}

// A start that failed after its events: releases what it had created, so that a later kvxInitLib
// starts clean.
void undoFailedStart() {
    StopWorkerThreads();
    clearLayerHooks();
    closeEvents();
    ReleaseTransferArea();
}

// The steps of kvxCloseLib, with the lifecycle lock held. `releaseArea` is false only on the receive
// thread, whose reply handler is using the transfer area: the block is then left to the process's end.
void closeLibraryLocked(LifecycleState& st, bool releaseArea) {
    StopKvMmTimer();
    StopWorkerThreads();
    clearLayerHooks();
    LogMsg(LOG_TIME, "Closing event handles...");
    closeEvents();
    if (releaseArea) {
        ReleaseTransferArea();
    }
    st.initialised.store(0);
    LogMsg(LOG_TIME, "kvAroLib closed.");
}

// A program that returns from main (or calls exit) without closing the library: its transfer is
// stopped, its port released and the library closed, as kvxCloseDevice and kvxCloseLib would, before
// the library's own state is torn down under threads that still use it.
void stopAtProcessExit() {
    if (platform::processEnding() || WorkerThreadsEndedBySystem() || ComReadThreadEndedBySystem()) {
        // The system ends the threads itself (Windows, before a DLL's exit handlers), perhaps in the
        // middle of holding a lock: nothing is left to stop, and nothing may be waited for. Their
        // ending need not be complete when the handlers run (Wine ends them asynchronously), so
        // the loader's flag is asked first; the threads' handles only cover a loader without it.
        return;
    }
    StopKolvX1Transfer();
    if (deviceHandle().load() != 0) {
        if (!OnReceiveThread()) {
            WaitForUploadEnd();
        }
        CloseComDevice();
    }
    LifecycleState& st = lifecycle();
    std::lock_guard lock(st.mutex);
    if (st.initialised.load() != 0) {
        closeLibraryLocked(st, !OnReceiveThread());
    }
}

// Exit handlers and the destructors of function-local statics run in the reverse order of their
// registration and construction. The state that the library's threads use is therefore constructed
// first and the stop registered after it, so that the stop runs before any of it is destroyed.
void arrangeStopAtProcessExit() {
    static std::once_flag once;
    std::call_once(once, [] {
        (void)comPort().isOpen();
        (void)libraryEvents();
        (void)SerialNumberText();
        (void)ShellServiceActive();
        (void)UploadThreadRunning();
        (void)ComReadThreadRunning();
        SignalTransferStarted();
        std::atexit(stopAtProcessExit);
    });
}

}  // namespace

bool LibraryInitialised() {
    return lifecycle().initialised.load() != 0;
}

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t kvxInitLib(void) {
    // Its failure path frees the transfer area, which a receive handler holds while it runs.
    if (kv::RefusedOnReceiveThread("kvxInitLib")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    kv::LifecycleState& st = kv::lifecycle();
    std::lock_guard lock(st.mutex);
    if (st.initialised.load() != 0) {
        return KVLIB_ERR_LIB_IS_INITIALIZED;
    }
    kv::InitLog();
    kv::LogMsg(kv::LOG_TIME, "Initialization of Library 'kvAroLib.dll' ...");
    // A connection left open across kvxCloseLib stays usable (and closable): forgetting its handle
    // would orphan the port and its receive thread.
    if (!kv::comPort().isOpen()) {
        kv::deviceHandle().store(0);
    }
    if (!kv::AllocateTransferArea()) {
        return KVLIB_ERR_NO_MEMORY;
    }
    kv::transferFlags().portError.store(0);
    kv::ClearBtCallbacks();
    kv::InstallReplyHandlers();
    kv::InstallBtReplyHandlers();
    kv::LogMsg(kv::LOG_TIME, "Creating event objects...");
    kv::openEvents();
    kv::installLayerHooks();
    if (std::uint32_t rc = kv::StartWorkerThreads(); rc != 0) {
        kv::undoFailedStart();
        return rc;
    }
    if (kv::SetKvMmTimer() == 0) {
        kv::undoFailedStart();
        return KVLIB_ERR_CREATE_MM_TIMER;
    }
    kv::transferFlags().threadWriteFlag.store(0);
    st.initialised.store(1);
    kv::arrangeStopAtProcessExit();
    kv::LogMsg(kv::LOG_TIME, "kvAroLib is initialized ...");
    return 0;
}

KVLIB_API std::uint32_t kvxCloseLib(void) {
    // It waits for the worker threads, which may be waiting for this thread (a close of the
    // connection after a port error), and frees the transfer area that the running reply handler uses.
    if (kv::RefusedOnReceiveThread("kvxCloseLib")) {
        return KVLIB_ERR_THREAD_IS_RUNNING;
    }
    // The upload thread uses the library's state to its end; it never outlives the library.
    kv::WaitForUploadEnd();
    kv::LifecycleState& st = kv::lifecycle();
    std::lock_guard lock(st.mutex);
    if (st.initialised.load() == 0) {
        return 0;
    }
    kv::closeLibraryLocked(st, true);
    return 0;
}

KVLIB_API std::uint32_t kvxIsLibInit(void) {
    return kv::LibraryInitialised() ? KVLIB_ERR_LIB_IS_INITIALIZED : KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
}

}  // extern "C"
