#include <windows.h>
// std::thread of the MinGW runtime (posix threads) runs on winpthreads, whose native handle is a
// pthread_t; Microsoft's runtime hands out the thread's HANDLE itself.
#if defined(__MINGW32__)
#include <pthread.h>
#endif

#include "platform/platform.h"

namespace kv::platform {
namespace {

HANDLE threadHandle(std::thread& t) {
#if defined(__MINGW32__)
    return pthread_gethandle(t.native_handle());
#else
    return t.native_handle();
#endif
}

}  // namespace

void setTimeCriticalPriority(std::thread& t) {
    // Time-critical is within reach of every user on Windows; should it be refused all the same,
    // the thread keeps the normal priority.
    if (HANDLE h = threadHandle(t)) {
        SetThreadPriority(h, THREAD_PRIORITY_TIME_CRITICAL);
    }
}

bool threadEndedBySystem(std::thread& t) {
    // A thread's handle is signalled once the thread has ended. The library's threads end on their
    // own only after a stop request, whose caller joins them at once.
    HANDLE h = threadHandle(t);
    return h != nullptr && WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
}

bool processEnding() {
    // The loader's own flag, set before any DLL is detached at process end and not for a DLL
    // unloaded while the process runs. Every Windows since XP has it; without it, the caller
    // falls back to looking at its threads.
    using ShutdownInProgress = BOOLEAN(WINAPI*)();
    static const ShutdownInProgress inProgress = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        // GetProcAddress hands out a generic function pointer; the name says which type it really has.
        return ntdll != nullptr ? reinterpret_cast<ShutdownInProgress>(
                                      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                                : nullptr;
    }();
    return inProgress != nullptr && inProgress() != 0;
}

}  // namespace kv::platform
