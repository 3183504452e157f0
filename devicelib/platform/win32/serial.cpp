// Serial ports on Windows: a COM device opened unshared through its "\\.\" path, blocking
// (not overlapped) reads and writes, and a receive wait that looks at the driver's input queue once
// a millisecond while it waits on a wake-up event, so a stop request ends it at once.
#include <windows.h>

#include <cctype>

#include "platform/platform.h"

namespace kv::platform {
namespace {

// Port handles and the wake-up's event travel as integers through the platform interface.
HANDLE toHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

int lastError() {
    return static_cast<int>(GetLastError());
}

// How long the receive wait sleeps between two looks at the input queue. With the 1 ms timer
// resolution the library asks for while it runs, this is the latency of the original design.
constexpr DWORD kQueuePollMs = 1;

}  // namespace

PortOpenResult serialOpen(const std::string& name) {
    PortOpenResult result;
    // "\\.\COM12": the device namespace, so that ports above COM9 open like COM1.
    const std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        result.osError = lastError();
        // A port held by another program answers with "access denied"; Wine (and a few drivers)
        // say "sharing violation" for the same situation.
        result.accessDenied = result.osError == ERROR_ACCESS_DENIED || result.osError == ERROR_SHARING_VIOLATION;
        return result;
    }
    result.handle = reinterpret_cast<PortHandle>(h);
    return result;
}

bool serialConfigure(PortHandle h, int& osError) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(toHandle(h), &dcb)) {
        osError = lastError();
        return false;
    }
    dcb.BaudRate = CBR_38400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Raw bytes: hardware flow control stays as the driver has it, but software flow control, the
    // parity and error characters and the abort on error go. XON/XOFF would swallow the bytes 0x11
    // and 0x13 of telegrams and file blocks; an abort on error would fail every read after a line
    // error until the error is cleared.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(toHandle(h), &dcb)) {
        osError = lastError();
        return false;
    }
    return true;
}

bool serialSetQueues(PortHandle h, std::uint32_t inBytes, std::uint32_t outBytes, int& osError) {
    if (!SetupComm(toHandle(h), inBytes, outBytes)) {
        osError = lastError();
        return false;
    }
    return true;
}

bool serialSetTimeouts(PortHandle h, std::uint32_t readTotalMs, std::uint32_t writeTotalMs, int& osError) {
    COMMTIMEOUTS t{};
    // 2 x (1000 div baud) x bits per character is 0 at 38400 baud: no interval time-out.
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = readTotalMs;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = writeTotalMs;
    if (!SetCommTimeouts(toHandle(h), &t)) {
        osError = lastError();
        return false;
    }
    return true;
}

bool serialPurge(PortHandle h) {
    return PurgeComm(toHandle(h), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool serialClearBreak(PortHandle h) {
    return ClearCommBreak(toHandle(h)) != 0;
}

bool serialRxQueueCount(PortHandle h, std::uint32_t& count, int& osError) {
    count = 0;
    DWORD errors = 0;
    COMSTAT status{};
    // Also clears the port's error state, which would otherwise hold back further reads.
    if (!ClearCommError(toHandle(h), &errors, &status)) {
        osError = lastError();
        return false;
    }
    count = status.cbInQue;
    return true;
}

bool serialRead(PortHandle h, void* buffer, std::uint32_t count, std::uint32_t& got, int& osError) {
    got = 0;
    if (count == 0) {
        return true;
    }
    // Asking for no more than is queued keeps ReadFile from waiting out its total time-out.
    std::uint32_t queued = 0;
    if (!serialRxQueueCount(h, queued, osError)) {
        return false;
    }
    if (queued == 0) {
        return true;
    }
    DWORD n = 0;
    if (!ReadFile(toHandle(h), buffer, queued < count ? queued : count, &n, nullptr)) {
        osError = lastError();
        return false;
    }
    got = n;
    return true;
}

bool serialWrite(PortHandle h, const void* bytes, std::uint32_t count, int& osError) {
    if (count == 0) {
        return true;
    }
    DWORD written = 0;
    if (!WriteFile(toHandle(h), bytes, count, &written, nullptr)) {
        osError = lastError();
        return false;
    }
    // A write whose total time-out ran out reports success with fewer bytes written; for the caller
    // that is a failed write, not a sent telegram.
    if (written != count) {
        osError = ERROR_TIMEOUT;
        return false;
    }
    return true;
}

void serialClose(PortHandle h) {
    CloseHandle(toHandle(h));
}

PortWait serialWaitReadable(PortHandle h, Wakeup& wakeup, int timeoutMs, int& osError) {
    const DWORD start = GetTickCount();
    for (;;) {
        std::uint32_t queued = 0;
        if (!serialRxQueueCount(h, queued, osError)) {
            return PortWait::failed;
        }
        if (queued > 0) {
            return PortWait::readable;
        }
        DWORD slice = kQueuePollMs;
        if (timeoutMs >= 0) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= static_cast<DWORD>(timeoutMs)) {
                return PortWait::timedOut;
            }
            slice = static_cast<DWORD>(timeoutMs) - spent < slice ? static_cast<DWORD>(timeoutMs) - spent : slice;
        }
        const DWORD w = WaitForSingleObject(toHandle(wakeup.waitSide()), slice);
        if (w == WAIT_OBJECT_0) {
            return PortWait::woken;
        }
        if (w != WAIT_TIMEOUT) {
            osError = lastError();
            return PortWait::failed;
        }
    }
}

bool waitWakeup(Wakeup& wakeup, int timeoutMs) {
    const DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(toHandle(wakeup.waitSide()), ms) == WAIT_OBJECT_0;
}

int hangupError() {
    // What a serial port whose device went away (an unplugged USB controller) answers with.
    return ERROR_BAD_COMMAND;
}
int writeTimeoutError() {
    return ERROR_TIMEOUT;
}

// ---- Wake-up event ---------------------------------------------------------------------------

Wakeup::Wakeup() {
    // Manual reset: it stays signalled until drained, so a signal given before the wait is not lost.
    if (HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        waitSide_ = reinterpret_cast<std::intptr_t>(e);
        signalSide_ = waitSide_;
    }
}

Wakeup::~Wakeup() {
    if (waitSide_ >= 0) {
        CloseHandle(toHandle(waitSide_));
    }
}

void Wakeup::signal() {
    if (signalSide_ >= 0) {
        SetEvent(toHandle(signalSide_));
    }
}

void Wakeup::drain() {
    if (waitSide_ >= 0) {
        ResetEvent(toHandle(waitSide_));
    }
}

}  // namespace kv::platform
