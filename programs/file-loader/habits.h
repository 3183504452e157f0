// What the programs do as the platform's own command-line programs do: which arguments name a port,
// how else the usage may be asked for, and how the file argument is looked up. One implementation per
// platform (habits_posix.cpp, habits_win32.cpp), chosen by the build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ostrane {

// The port an argument names, or "" when it names none. Everywhere a name that begins with "COM"
// (after upper-casing) is taken upper-cased. On POSIX a device path (it begins with '/') is a port too
// and is kept as typed; on Windows, where '/' begins an option, it is not.
std::string PortFromArgument(const std::string& asTyped);

// True for a single argument that asks for the usage text in the platform's own way, besides --help
// and -h: "/?" on Windows; nothing more on POSIX.
bool AsksForUsage(const std::string& argument);

struct FoundFile {
    std::string path;  // the directory part as typed, then the name of the entry found
    std::uintmax_t size = 0;
};

// The file the argument names, or the first match of a wildcard pattern in its last component ('*'
// and '?'). Windows matches as its file system does (without regard to case) and yields the entry's
// real name; POSIX matches case-sensitively. Directories are no match. Nothing when none is found.
std::optional<FoundFile> LocateFile(const std::string& argument);

// The directory part of a file argument as typed, separator included ("" when it has none): it ends
// at the last backslash or, without one, at the last forward slash; the controller later takes the
// name after the last backslash only. Both platforms' LocateFile split the argument here.
inline std::string DirectoryPart(const std::string& argument) {
    std::string::size_type cut = argument.rfind('\\');
    if (cut == std::string::npos) {
        cut = argument.rfind('/');
    }
    return cut == std::string::npos ? std::string() : argument.substr(0, cut + 1);
}

}  // namespace ostrane
