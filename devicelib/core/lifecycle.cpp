#include "core/lifecycle.h"

#include <atomic>
#include <mutex>

#include "bluetooth/relay.h"
#include "core/events.h"
#include "core/log.h"
#include "kvarolib.h"
#include "serial/com_port.h"
#include "shell/upload.h"
#include "transfer/engine.h"
#include "transfer/replies.h"
#include "transfer/transfer_area.h"
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

}  // namespace

LibraryEvents& libraryEvents() {
    static LibraryEvents events;
    return events;
}

bool LibraryInitialised() {
    return lifecycle().initialised.load() != 0;
}

}  // namespace kv

extern "C" {

KVLIB_API std::uint32_t kvxInitLib(void) {
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
    // A failed start releases what it had created, so that a later kvxInitLib starts clean.
    if (std::uint32_t rc = kv::StartWorkerThreads(); rc != 0) {
        kv::StopWorkerThreads();
        kv::closeEvents();
        kv::ReleaseTransferArea();
        return rc;
    }
    if (kv::SetKvMmTimer() == 0) {
        kv::StopWorkerThreads();
        kv::closeEvents();
        kv::ReleaseTransferArea();
        return KVLIB_ERR_CREATE_MM_TIMER;
    }
    kv::transferFlags().threadWriteFlag.store(0);
    st.initialised.store(1);
    kv::LogMsg(kv::LOG_TIME, "kvAroLib is initialized ...");
    return 0;
}

KVLIB_API std::uint32_t kvxCloseLib(void) {
    // The upload thread uses the library's state to its end; it never outlives the library.
    kv::WaitForUploadEnd();
    kv::LifecycleState& st = kv::lifecycle();
    std::lock_guard lock(st.mutex);
    if (st.initialised.load() == 0) {
        return 0;
    }
    kv::StopKvMmTimer();
    kv::StopWorkerThreads();
    kv::LogMsg(kv::LOG_TIME, "Closing event handles...");
    kv::closeEvents();
    kv::ReleaseTransferArea();
    st.initialised.store(0);
    kv::LogMsg(kv::LOG_TIME, "kvAroLib closed.");
    return 0;
}

KVLIB_API std::uint32_t kvxIsLibInit(void) {
    return kv::LibraryInitialised() ? KVLIB_ERR_LIB_IS_INITIALIZED : KVLIB_ERR_LIB_IS_NOT_INITIALIZED;
}

}  // extern "C"
