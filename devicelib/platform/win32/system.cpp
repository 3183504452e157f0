// Time, files and environment on Windows.
#include <windows.h>

#include "platform/platform.h"

namespace kv::platform {

std::uint32_t tickCountMs() {
    return GetTickCount();
}

void sleepMs(std::uint32_t ms) {
    Sleep(ms);
}

LocalTime localTimeNow() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::string programDirectory() {
    // GetModuleFileName cuts a path that does not fit (and says so only through the error), so grow
    // the buffer until the whole path fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 65536) {
            return {};
        }
        path.resize(path.size() * 2);
    }
    const std::size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos) {
        return {};
    }
    // "C:\" keeps its backslash: "C:" alone would mean the drive's current directory.
    return (cut > 0 && path[cut - 1] == ':') ? path.substr(0, cut + 1) : path.substr(0, cut);
}

std::vector<std::string> defaultLogDirectories() {
    // Beside the program, as the library always kept it (the current directory when the program's
    // directory is unknown), and where that is not writable (an installed program), the user's local
    // application data.
    std::vector<std::string> dirs;
    const std::string programDir = programDirectory();
    dirs.push_back(programDir.empty() ? std::string(".") : programDir);
    if (std::optional<std::string> local = environmentValue("LOCALAPPDATA"); local && !local->empty()) {
        dirs.push_back(*local + "\\kvAroLib");
    }
    return dirs;
}

std::optional<std::string> privateTemporaryLogDirectory() {
    // The local application data directory above is already the user's own.
    return std::nullopt;
}

char pathSeparator() {
    return '\\';
}

bool isRegularFile(const std::string& path, int& osError) {
    // Device names (CON, NUL, COM1, pipes) are not files on a disk: asking for their attributes
    // opens nothing, and a pipe or a character device reports none a disk file has.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        osError = static_cast<int>(GetLastError());
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        osError = ERROR_DIRECTORY;
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0 || path.rfind("\\\\.\\", 0) == 0) {
        osError = ERROR_INVALID_FUNCTION;
        return false;
    }
    // Reserved names such as NUL or CON may still report plain attributes: ask the handle's type.
    // Access 0 only queries; it reads nothing and never waits.
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        osError = static_cast<int>(GetLastError());
        return false;
    }
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK) {
        osError = ERROR_INVALID_FUNCTION;
        return false;
    }
    return true;
}

std::optional<std::string> firstDirectoryEntry(const std::string& pattern) {
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    do {
        const std::string entry(found.cFileName);
        if (entry != "." && entry != "..") {
            name = entry;
            break;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return name;
}

}  // namespace kv::platform
