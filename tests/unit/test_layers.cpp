// The library's layers, read off the #include lines under devicelib/: a folder includes only folders
// at or below its own layer (devicelib/README.md gives the order and why). The platform layer and the
// public header may be included from anywhere.
#if defined(__GNUC__) && !defined(__clang__)
// libstdc++'s <regex>, optimised, trips GCC 12's maybe-uninitialized check inside its own code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// The layers from the bottom. Folders on the same layer may include each other; the platform layer
// is below everything and, like the public header (include/), open to every folder.
const std::map<std::string, int>& layerOf() {
    static const std::map<std::string, int> layers{
        {"platform", 0}, {"base", 1},  {"ports", 2},     {"serial", 3},
        {"transfer", 4}, {"shell", 4}, {"bluetooth", 5}, {"core", 6},
    };
    return layers;
}

// One #include "..." of one file.
struct Arrow {
    std::string file;    // relative to devicelib/, with forward slashes
    int line = 0;        // 1-based
    std::string header;  // as written
    bool operator<(const Arrow& o) const {
        return std::tie(file, line, header) < std::tie(o.file, o.line, o.header);
    }
};

std::string firstComponent(const std::string& path) {
    const std::size_t slash = path.find('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The includes under `root` that break the order: upward ones, and ones whose file or header
// lies in a folder the order does not know (a new folder must be given its layer first).
std::vector<Arrow> offendingIncludes(const fs::path& root) {
    static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<Arrow> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) {
            continue;
        }
        const std::string file = fs::relative(entry.path(), root).generic_string();
        const std::string folder = firstComponent(file);
        if (folder == "include") {
            continue;  // the public header includes no folder of the library
        }
        std::ifstream in(entry.path());
        std::string text;
        int number = 0;
        while (std::getline(in, text)) {
            ++number;
            std::smatch m;
            if (!std::regex_search(text, m, include)) {
                continue;
            }
            const std::string header = m[1].str();
            const std::string target = firstComponent(header);
            if (target.empty() || target == "platform") {
                continue;  // the public header (found on the include path) or the platform layer
            }
            const auto from = layerOf().find(folder);
            const auto to = layerOf().find(target);
            if (from == layerOf().end() || to == layerOf().end() || to->second > from->second) {
                found.push_back({file, number, header});
            }
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string describe(const Arrow& a) {
    return a.file + ":" + std::to_string(a.line) + ": includes \"" + a.header + "\"";
}

TEST(Layers, NoFolderIncludesOneAboveIt) {
    for (const Arrow& a : offendingIncludes(KVLIB_DEVICELIB_DIR)) {
        ADD_FAILURE() << describe(a)
                      << ", which is above its own layer or in a folder without a layer (devicelib/README.md)";
    }
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

TEST(Layers, TheCheckNamesEveryUpwardIncludeWithItsLine) {
    kvtest::TempDir tree;
    const fs::path& root = tree.path();
    // Allowed: down, sideways on one layer, the platform layer and the public header from anywhere,
    // angle-bracket includes, and the public header's own folder.
    write(root / "core/top.cpp",
          "#include \"core/top.h\"\n#include \"bluetooth/relay.h\"\n#include \"base/log.h\"\n");
    write(root / "transfer/cycle.cpp", "#include \"shell/service.h\"\n#include <vector>\n");
    write(root / "base/log.cpp", "#include \"kvarolib.h\"\n#include \"platform/platform.h\"\n");
    write(root / "platform/posix/port.cpp", "#include \"platform/platform.h\"\n#include \"kvarolib.h\"\n");
    write(root / "include/kvarolib.h", "#include \"anything/at_all.h\"\n");
    EXPECT_TRUE(offendingIncludes(root).empty());

    // Upward (the platform layer included: it stands on nothing of the library), at any depth of the
    // file and with any spacing; and a folder that has no layer.
    write(root / "base/text.cpp", "// text\n\n  #  include \"serial/telegram.h\"\n");
    write(root / "serial/receive.h", "#pragma once\n#include \"shell/upload.h\"\n");
    write(root / "ports/list.cpp", "#include \"core/connection.h\"\n");
    write(root / "extra/thing.cpp", "#include \"base/log.h\"\n");
    write(root / "platform/win32/port.cpp", "#include \"platform/platform.h\"\n#include \"base/log.h\"\n");
    write(root / "shell/upload.cpp", "#include \"newfolder/x.h\"\n");
    std::vector<std::string> described;
    for (const Arrow& a : offendingIncludes(root)) {
        described.push_back(describe(a));
    }
    EXPECT_EQ(described, (std::vector<std::string>{
                             "base/text.cpp:3: includes \"serial/telegram.h\"",
                             "extra/thing.cpp:1: includes \"base/log.h\"",
                             "platform/win32/port.cpp:2: includes \"base/log.h\"",
                             "ports/list.cpp:1: includes \"core/connection.h\"",
                             "serial/receive.h:2: includes \"shell/upload.h\"",
                             "shell/upload.cpp:1: includes \"newfolder/x.h\"",
                         }));
}

}  // namespace
