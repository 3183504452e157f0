#include "store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "log.h"

namespace kqsim {
namespace {

namespace fs = std::filesystem;

constexpr std::array kAreas{Area::Ramdisk, Area::Flash, Area::System};

std::string os_error(int err) {
    return std::strerror(err);
}

bool make_areas(const fs::path& root, std::string& error) {
    std::error_code ec;
    for (const Area a : kAreas) {
        const fs::path dir = root / area_word(a);
        fs::create_directories(dir, ec);
        if (ec) {
            error = dir.string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string_view area_word(Area area) {
    switch (area) {
        case Area::Ramdisk:
            return "ramdisk";
        case Area::Flash:
            return "flash";
        case Area::System:
            return "system";
    }
    return "ramdisk";
}

std::optional<StoredName> parse_stored_name(std::string_view path, std::string& error) {
    std::optional<Area> area;
    std::string_view rest;
    for (const Area a : kAreas) {
        const std::string_view word = area_word(a);
        if (path.size() > word.size() && path[0] == '/' && path.substr(1, word.size()) == word &&
            (path.size() == word.size() + 1 || path[word.size() + 1] == '/')) {
            area = a;
            rest = path.substr(std::min(path.size(), word.size() + 2));
            break;
        }
    }
    if (!area) {
        error = "no such storage area (ramdisk, flash or system)";
        return std::nullopt;
    }
    // Every part of the name is looked at before the name as a whole, so that a name that
    // climbs out is called that even where it also names a directory.
    std::size_t pos = 0;
    for (;;) {
        const std::size_t slash = rest.find('/', pos);
        const std::string_view part = rest.substr(pos, slash == std::string_view::npos ? slash : slash - pos);
        if (part == ".." || (slash == 0 && pos == 0)) {
            error = "path leaves the storage area";
            return std::nullopt;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        pos = slash + 1;
    }
    if (rest.find('/') != std::string_view::npos) {
        error = "no such directory";
        return std::nullopt;
    }
    if (rest.empty() || rest == ".") {
        error = "no file name";
        return std::nullopt;
    }
    return StoredName{*area, std::string(rest)};
}

Store::~Store() {
    if (temporary_) {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
}

bool Store::open(const std::string& root, std::string& error) {
    if (!make_areas(root, error)) {
        return false;
    }
    root_ = root;
    return true;
}

bool Store::ready(std::string& error) {
    if (!root_.empty()) {
        return true;
    }
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        base = "/tmp";
    }
    std::string dir = (base / "kqsim-store-XXXXXX").string();
    std::vector<char> name(dir.begin(), dir.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        error = dir + ": " + os_error(errno);
        return false;
    }
    root_ = name.data();
    temporary_ = true;
    log("storing uploaded files in " + root_ + " (removed at exit)");
    return make_areas(root_, error);
}

bool Store::write(const StoredName& file, std::string_view bytes, std::string& error) {
    if (!ready(error)) {
        return false;
    }
    const fs::path dir = fs::path(root_) / area_word(file.area);
    std::string temp = (dir / ".xrecv-XXXXXX").string();
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = os_error(errno);
        return false;
    }
    temp = name.data();
    const bool written = write_all(fd, bytes);
    const int write_err = errno;
    const bool closed = ::close(fd) == 0;
    const int close_err = errno;
    const fs::path target = dir / file.name;
    if (!written || !closed || ::rename(temp.c_str(), target.c_str()) != 0) {
        error = os_error(!written ? write_err : !closed ? close_err : errno);
        ::unlink(temp.c_str());
        return false;
    }
    // mkstemp makes the file private; a stored file is as readable as any other.
    ::chmod(target.c_str(), 0644);
    return true;
}

bool Store::clean(Area area, std::string& error) {
    if (root_.empty()) {
        return true;  // nothing was ever stored
    }
    const fs::path dir = fs::path(root_) / area_word(area);
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind_ec;
        if (it->is_directory(kind_ec)) {
            continue;  // not ours: the areas hold files only
        }
        std::error_code remove_ec;
        if (!fs::remove(it->path(), remove_ec) && remove_ec) {
            error = it->path().string() + ": " + remove_ec.message();
            return false;
        }
    }
    if (ec) {
        error = dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace kqsim
