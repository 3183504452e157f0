#include <filesystem>
#include <system_error>

#include "habits.h"
#include "port_search.h"

namespace ostrane {

std::string PortFromArgument(const std::string& asTyped) {
    if (!asTyped.empty() && asTyped.front() == '/') {
        return asTyped;
    }
    std::string upper = asTyped;
    UpperCase(upper);
    return upper.rfind("COM", 0) == 0 ? upper : std::string();
}

bool AsksForUsage(const std::string& /*argument*/) {
    return false;
}

std::optional<FoundFile> LocateFile(const std::string& argument) {
    const std::string directory = DirectoryPart(argument);
    const std::string pattern = argument.substr(directory.size());
    std::error_code ec;
    if (pattern.find_first_of("*?") == std::string::npos) {
        if (!std::filesystem::exists(argument, ec) || std::filesystem::is_directory(argument, ec)) {
            return std::nullopt;
        }
        const std::uintmax_t size = std::filesystem::file_size(argument, ec);
        if (ec) {
            return std::nullopt;
        }
        return FoundFile{argument, size};
    }
    const std::filesystem::path dir =
        directory.empty() ? std::filesystem::path(".") : std::filesystem::path(directory);
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (WildcardMatch(pattern, name) && !entry.is_directory(ec)) {
            const std::uintmax_t size = entry.file_size(ec);
            if (ec) {
                return std::nullopt;
            }
            return FoundFile{directory + name, size};
        }
    }
    return std::nullopt;
}

}  // namespace ostrane
