#include "port_search.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "kvarolib.h"

namespace ostrane {

bool EntryMatches(const char* entry, const char* name) {
    const char* at = std::strstr(entry, name);
    return at != nullptr && std::strlen(at + std::strlen(name)) <= 1;
}

void FindControllerPort(std::string& port, std::uint32_t pauseMs) {
    for (int pass = 1; pass <= 3; ++pass) {
        // The list is read even when the port was given, as the programs always did.
        const std::int32_t count = GetAvailableComPorts(0);
        if (port.empty()) {
            for (std::int32_t i = 0; i < count && port.empty(); ++i) {
                char entry[kPortNameBytes] = {};
                if (EnumComPorts(static_cast<std::uint32_t>(i), entry, sizeof entry) !=
                    static_cast<std::uint32_t>(i)) {
                    continue;
                }
                if (EntryMatches(entry, kInterfaceName) || EntryMatches(entry, kControllerName)) {
                    port = entry;
                }
            }
        }
        if (!port.empty() || pass == 3) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

std::string ProgramName(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "";
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

void PrintPortUsage(std::FILE* out) {
    std::fprintf(out, "       [COMxx]: xx - COM port number (default is the number of the port with\n");
    std::fprintf(out, "                the name \"%s\" or with\n", kInterfaceName);
    std::fprintf(out, "                the name \"%s\")\n", kControllerName);
}

void UpperCase(std::string& text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
}

void PrintAccessDeniedHint(const std::string& port) {
    std::fprintf(stderr,
                 "The port %s is held by another program or not accessible to this user: close the other "
                 "program, or join the group that owns the device (usually 'dialout') and log in again.\n",
                 port.c_str());
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
    // Iterative match with one backtrack point for the last '*'.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::string::npos;
    std::size_t resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

int CheckArgumentCount(int argc, char** argv, int maxArguments, const char* versionLine,
                       void (*usage)(std::FILE* out, const std::string& program)) {
    const std::string program = ProgramName(argv[0]);
    if (argc == 2 &&
        (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 || AsksForUsage(argv[1]))) {
        usage(stdout, program);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(versionLine, stdout);
        return 0;
    }
    if (argc < 2) {
        std::fputs(versionLine, stderr);
        usage(stderr, program);
        return 1;
    }
    if (argc > maxArguments + 1) {
        std::fprintf(stderr, "\nERROR: invalid number of arguments\n");
        usage(stderr, program);
        return 1;
    }
    return -1;
}

void WaitForFlag(const std::atomic<std::uint32_t>& flag) {
    while (flag.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace ostrane
