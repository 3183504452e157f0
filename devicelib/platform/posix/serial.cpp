// Serial ports on POSIX: termios in raw mode, an exclusive open, and a receive wait in poll() that a
// wake-up descriptor can interrupt.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/platform.h"

namespace kv::platform {
namespace {

int toFd(PortHandle h) {
    return static_cast<int>(h);
}

// The write time-out of each open port. Set by serialSetTimeouts, read by serialWrite; a port is
// written from several threads, so the table is guarded.
std::mutex gTimeoutMutex;
std::map<int, std::uint32_t> gWriteTimeoutMs;

std::uint32_t writeTimeoutOf(int fd) {
    std::lock_guard lock(gTimeoutMutex);
    auto it = gWriteTimeoutMs.find(fd);
    return it == gWriteTimeoutMs.end() ? 2000u : it->second;
}

// "COMn" in any case names the n-th DOS port, which Linux calls /dev/ttyS<n-1>; a name that begins
// with '/' is a device path and is used exactly as given.
std::string devicePathFor(const std::string& name) {
    if (!name.empty() && name.front() == '/') {
        return name;
    }
    if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M') {
        bool digits = true;
        for (std::size_t i = 3; i < name.size(); ++i) {
            digits = digits && std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        }
        if (digits && name.size() <= 8) {
            long n = std::strtol(name.c_str() + 3, nullptr, 10);
            if (n >= 1) {
                return "/dev/ttyS" + std::to_string(n - 1);
            }
        }
    }
    return "/dev/" + name;
}

bool isAccessDenied(int err) {
    return err == EACCES || err == EPERM || err == EBUSY || err == EWOULDBLOCK;
}

}  // namespace

PortOpenResult serialOpen(const std::string& name) {
    PortOpenResult result;
    const std::string path = devicePathFor(name);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.osError = errno;
        result.accessDenied = isAccessDenied(result.osError);
        return result;
    }
    // The device handle handed to applications must never be 0, and descriptors 0 to 2 may be
    // closed in a daemon: keep the port above them.
    if (fd <= 2) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        int err = errno;
        ::close(fd);
        if (moved < 0) {
            result.osError = err;
            return result;
        }
        fd = moved;
    }
    // Windows opens a COM port unshared. TIOCEXCL refuses further opens to everyone but root; the
    // lock also holds against root, as long as the other program locks too.
    if (::isatty(fd) == 1 && ::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        result.osError = errno;
        ::close(fd);
        return result;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result.osError = errno;
        result.accessDenied = isAccessDenied(result.osError);
        ::close(fd);
        return result;
    }
    result.handle = fd;
    return result;
}

bool serialConfigure(PortHandle h, int& osError) {
    termios tio{};
    if (::tcgetattr(toFd(h), &tio) != 0) {
        osError = errno;
        return false;
    }
    // Raw bytes in both directions, 8 data bits, no parity, one stop bit. Hardware flow control
    // stays as the driver has it, but XON/XOFF goes: Linux ttys start with it on, and it would
    // swallow the bytes 0x11 and 0x13 of telegrams and file blocks.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B38400) != 0 || ::cfsetospeed(&tio, B38400) != 0 ||
        ::tcsetattr(toFd(h), TCSANOW, &tio) != 0) {
        osError = errno;
        return false;
    }
    return true;
}

bool serialSetQueues(PortHandle, std::uint32_t, std::uint32_t, int&) {
    // The tty layer sizes its own buffers.
    return true;
}

bool serialSetTimeouts(PortHandle h, std::uint32_t, std::uint32_t writeTotalMs, int&) {
    // Reads never wait here (the receive thread asks only for queued bytes), so only the write
    // time-out has a use.
    std::lock_guard lock(gTimeoutMutex);
    gWriteTimeoutMs[toFd(h)] = writeTotalMs;
    return true;
}

bool serialPurge(PortHandle h) {
    return ::tcflush(toFd(h), TCIOFLUSH) == 0;
}

bool serialClearBreak(PortHandle h) {
    // A pty has no break condition to clear; that is not a failure.
    return ::ioctl(toFd(h), TIOCCBRK) == 0 || errno == ENOTTY || errno == EINVAL;
}

bool serialRxQueueCount(PortHandle h, std::uint32_t& count, int& osError) {
    count = 0;
    int queued = 0;
    if (::ioctl(toFd(h), FIONREAD, &queued) != 0) {
        osError = errno;
        return false;
    }
    count = queued > 0 ? static_cast<std::uint32_t>(queued) : 0u;
    return true;
}

bool serialRead(PortHandle h, void* buffer, std::uint32_t count, std::uint32_t& got, int& osError) {
    got = 0;
    if (count == 0) {
        return true;
    }
    for (;;) {
        ssize_t n = ::read(toFd(h), buffer, count);
        if (n > 0) {
            got = static_cast<std::uint32_t>(n);
            return true;
        }
        if (n == 0) {
            // End of file on a terminal: the other side is gone.
            osError = EIO;
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        osError = errno;
        return false;
    }
}

bool serialWrite(PortHandle h, const void* bytes, std::uint32_t count, int& osError) {
    const int fd = toFd(h);
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::uint32_t left = count;
    const std::uint32_t timeoutMs = writeTimeoutOf(fd);
    const std::uint32_t start = tickCountMs();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            osError = errno;
            return false;
        }
        const std::uint32_t spent = tickCountMs() - start;
        if (spent >= timeoutMs) {
            osError = ETIMEDOUT;
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        int rc = ::poll(&pfd, 1, static_cast<int>(timeoutMs - spent));
        if (rc < 0 && errno != EINTR) {
            osError = errno;
            return false;
        }
        if (rc > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            osError = EIO;
            return false;
        }
    }
    return true;
}

void serialClose(PortHandle h) {
    {
        std::lock_guard lock(gTimeoutMutex);
        gWriteTimeoutMs.erase(toFd(h));
    }
    ::flock(toFd(h), LOCK_UN);
    ::close(toFd(h));
}

PortWait serialWaitReadable(PortHandle h, Wakeup& wakeup, int timeoutMs, int& osError) {
    pollfd fds[2] = {{toFd(h), POLLIN, 0}, {static_cast<int>(wakeup.waitSide()), POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, timeoutMs);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            osError = errno;
            return PortWait::failed;
        }
        if (rc == 0) {
            return PortWait::timedOut;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return PortWait::woken;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return PortWait::readable;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            osError = EIO;
            return PortWait::hungUp;
        }
    }
}

bool waitWakeup(Wakeup& wakeup, int timeoutMs) {
    pollfd pfd{static_cast<int>(wakeup.waitSide()), POLLIN, 0};
    for (;;) {
        int rc = ::poll(&pfd, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        return rc > 0;
    }
}

int hangupError() {
    return EIO;
}
int writeTimeoutError() {
    return ETIMEDOUT;
}

// ---- Wake-up pipe ----------------------------------------------------------------------------

Wakeup::Wakeup() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        waitSide_ = fds[0];
        signalSide_ = fds[1];
    }
}

Wakeup::~Wakeup() {
    if (waitSide_ >= 0) {
        ::close(static_cast<int>(waitSide_));
        ::close(static_cast<int>(signalSide_));
    }
}

void Wakeup::signal() {
    if (signalSide_ >= 0) {
        const char one = 1;
        // A full pipe already means "signalled".
        [[maybe_unused]] ssize_t n = ::write(static_cast<int>(signalSide_), &one, 1);
    }
}

void Wakeup::drain() {
    if (waitSide_ >= 0) {
        char sink[64];
        while (::read(static_cast<int>(waitSide_), sink, sizeof sink) > 0) {
        }
    }
}

}  // namespace kv::platform
