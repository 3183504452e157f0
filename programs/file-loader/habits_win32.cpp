#include <filesystem>
#include <system_error>

#include "habits.h"
#include "platform/platform.h"
#include "port_search.h"

namespace ostrane {

std::string PortFromArgument(const std::string& asTyped) {
    std::string upper = asTyped;
    UpperCase(upper);
    return upper.rfind("COM", 0) == 0 ? upper : std::string();
}

bool AsksForUsage(const std::string& argument) {
    return argument == "/?";
}

std::optional<FoundFile> LocateFile(const std::string& argument) {
    const std::string directory = DirectoryPart(argument);
    // The system's own search: it matches as the file system does (case-insensitively, with the
    // system's wildcard rules) and reports the entry's real name, also when no wildcard was typed.
    const std::optional<std::string> name = kv::platform::firstDirectoryEntry(argument);
    if (!name) {
        return std::nullopt;
    }
    const std::string path = directory + *name;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return std::nullopt;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        return std::nullopt;
    }
    return FoundFile{path, size};
}

}  // namespace ostrane
