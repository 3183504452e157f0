// libkvarolib.so and both programs export the library's C interface by name, all of it and nothing
// else. The expected names are read from a list kept beside this test, not from the build's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace {

std::set<std::string> expectedNames() {
    std::set<std::string> names;
    std::ifstream in(KVLIB_EXPORT_LIST);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') {
            names.insert(line);
        }
    }
    return names;
}

// The defined dynamic symbols of a binary.
std::set<std::string> exportedNames(const std::string& binary) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only " + binary;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const auto lastBlank = text.rfind(' ');
        names.insert(lastBlank == std::string::npos ? text : text.substr(lastBlank + 1));
    }
    ::pclose(pipe);
    return names;
}

TEST(Exports, LibraryAndProgramsExportExactlyTheCInterface) {
    const std::set<std::string> expected = expectedNames();
    ASSERT_EQ(expected.size(), 55u);
    EXPECT_EQ(exportedNames(KVLIB_SHARED_PATH), expected) << "libkvarolib.so";
    // A program's dynamic table also holds what the C runtime puts there; the library's names must
    // all be among them, and no other name of ours.
    for (const char* program : {OSTPUT_PATH, OSTSEND_PATH}) {
        std::set<std::string> ours;
        for (const std::string& name : exportedNames(program)) {
            if (expected.count(name) != 0 || name.rfind("_ZN2kv", 0) == 0) {
                ours.insert(name);
            }
        }
        EXPECT_EQ(ours, expected) << program;
    }
}

}  // namespace
