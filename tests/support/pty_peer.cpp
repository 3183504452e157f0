#include "support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kvtest {

PtyPeer::PtyPeer() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        return;
    }
    const char* slave = nullptr;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || (slave = ::ptsname(master_)) == nullptr ||
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    slave_ = slave;
}

PtyPeer::~PtyPeer() {
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool PtyPeer::readSome(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
        return false;
    }
    std::uint8_t chunk[512];
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) {
        return false;
    }
    received_.insert(received_.end(), chunk, chunk + n);
    return true;
}

std::vector<std::uint8_t> PtyPeer::nextTelegram(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (received_.size() >= 4) {
            const std::size_t total = ((std::size_t{received_[2]} << 8) | received_[3]) + 7;
            if (received_.size() >= total) {
                std::vector<std::uint8_t> frame(received_.begin(),
                                                received_.begin() + static_cast<std::ptrdiff_t>(total));
                received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(total));
                return frame;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "no whole telegram within the deadline; " << received_.size() << " bytes received";
            return {};
        }
        readSome(static_cast<int>(left.count()));
    }
}

bool PtyPeer::silentFor(std::chrono::milliseconds quiet) {
    const std::size_t before = received_.size();
    while (readSome(static_cast<int>(quiet.count()))) {
    }
    return received_.size() == before;
}

}  // namespace kvtest
