// Time, files and environment on POSIX.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace kv::platform {

std::uint32_t tickCountMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec / 1000000);
    // Like the Windows tick count the value wraps at 2^32; callers only ever take differences.
    return static_cast<std::uint32_t>(ms & 0xFFFFFFFFu);
}

void sleepMs(std::uint32_t ms) {
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(ms / 1000u);
    remaining.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    // A signal handler must not shorten the sleep: continue with what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

LocalTime localTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t seconds = now.tv_sec;
    tm parts{};
    if (localtime_r(&seconds, &parts) == nullptr) {
        return LocalTime{1970, 1, 1, 0, 0, 0, 0};
    }
    return LocalTime{parts.tm_year + 1900,
                     parts.tm_mon + 1,
                     parts.tm_mday,
                     parts.tm_hour,
                     parts.tm_min,
                     parts.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
}

std::string programDirectory() {
    // readlink does not say whether it cut the path, so grow the buffer until the result fits.
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        if (path.size() >= 65536) {
            return {};
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    // The root directory keeps its slash: an empty text would mean "unknown".
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::vector<std::string> defaultLogDirectories() {
    // The per-user state directory of the XDG base directory rules; a relative XDG_STATE_HOME is to be
    // ignored, as is a HOME that is not an absolute path (it would put the log somewhere under
    // whatever the current directory happens to be). Then the current directory, where a program
    // started without a home (cron, a service, a CI runner) is usually meant to leave its files.
    std::vector<std::string> dirs;
    if (std::optional<std::string> state = environmentValue("XDG_STATE_HOME");
        state && !state->empty() && state->front() == '/') {
        dirs.push_back(*state + "/kvarolib");
    } else if (std::optional<std::string> home = environmentValue("HOME");
               home && !home->empty() && home->front() == '/') {
        dirs.push_back(*home + "/.local/state/kvarolib");
    }
    dirs.emplace_back(".");
    return dirs;
}

std::optional<std::string> privateTemporaryLogDirectory() {
    std::string base = "/tmp";
    if (std::optional<std::string> tmp = environmentValue("TMPDIR");
        tmp && !tmp->empty() && tmp->front() == '/') {
        base = *tmp;
    }
    const uid_t me = geteuid();
    const std::string dir = base + "/kvarolib-" + std::to_string(me);
    if (mkdir(dir.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        return std::nullopt;
    }
    // Others can write the temporary directory: what stands under our name may have been put there by
    // someone else, to read our log or to have us write through a link. Only a real directory of our
    // own is used, and nobody else keeps access to it.
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me) {
        return std::nullopt;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0 && chmod(dir.c_str(), S_IRWXU) != 0) {
        return std::nullopt;
    }
    return dir;
}

char pathSeparator() {
    return '/';
}

bool isRegularFile(const std::string& path, int& osError) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        osError = errno;
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        return true;
    }
    osError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
}

std::optional<std::string> firstDirectoryEntry(const std::string& pattern) {
    const std::size_t slash = pattern.rfind('/');
    const bool hasDirectory = slash != std::string::npos;
    const std::string directory =
        !hasDirectory ? std::string(".") : (slash == 0 ? std::string("/") : pattern.substr(0, slash));
    const std::string namePattern = hasDirectory ? pattern.substr(slash + 1) : pattern;

    struct DirCloser {
        void operator()(DIR* d) const { closedir(d); }
    };
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
    if (!dir) {
        return std::nullopt;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (fnmatch(namePattern.c_str(), name, 0) == 0) {
            return std::string(name);
        }
    }
    return std::nullopt;
}

}  // namespace kv::platform
