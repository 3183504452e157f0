#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kqsim {
namespace {

std::string failure(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool add_fd_flags(int fd, int status_flags) {
    const int fl = ::fcntl(fd, F_GETFL);
    return fl >= 0 && ::fcntl(fd, F_SETFL, fl | status_flags) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

bool Pty::open(std::string& error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        error = failure("posix_openpt");
        return false;
    }
    // ptsname() hands back a static buffer, which is fine in this single-threaded program.
    const char* name = nullptr;
    if (!add_fd_flags(master_, O_NONBLOCK) || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        (name = ::ptsname(master_)) == nullptr) {
        error = failure("setting up the pty master");
        hang_up();
        return false;
    }
    slave_path_ = name;

    slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) {
        error = failure(slave_path_.c_str());
        hang_up();
        return false;
    }
    // What the line looks like before any client configures it: raw bytes at 38400 baud, so
    // nothing the controller sends gets translated or echoed by the tty layer.
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B38400);
    ::cfsetospeed(&tio, B38400);
    if (::tcsetattr(slave_, TCSANOW, &tio) != 0) {
        error = failure("tcsetattr");
        hang_up();
        return false;
    }
    return true;
}

void Pty::hang_up() {
    for (int* fd : {&master_, &slave_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

int Pty::unread_by_client() const {
    int n = 0;
    return slave_ >= 0 && ::ioctl(slave_, FIONREAD, &n) == 0 ? n : 0;
}

bool Link::create(const std::string& path, const std::string& target, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        // Replace a link left behind by an earlier run, but never clobber a real file.
        if (!S_ISLNK(st.st_mode)) {
            error = path + ": exists and is not a symlink";
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            error = failure(path.c_str());
            return false;
        }
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        error = failure(path.c_str());
        return false;
    }
    path_ = path;
    target_ = target;
    return true;
}

Link::~Link() {
    if (path_.empty()) {
        return;
    }
    // Someone may have pointed the path elsewhere meanwhile; only remove what is still ours.
    std::vector<char> buf(target_.size() + 2);
    const ssize_t n = ::readlink(path_.c_str(), buf.data(), buf.size());
    if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == target_) {
        ::unlink(path_.c_str());
    }
}

}  // namespace kqsim
