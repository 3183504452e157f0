// Every test process gets its own working directory (where ./kvLib.ini is looked for) and its own
// log directory, so that tests run in parallel never share a settings file or a log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/environment.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    kvtest::TempDir work;
    std::filesystem::create_directories(work.path() / "log");
    kvtest::setEnvironment("KVLIB_LOG_DIR", (work.path() / "log").string());
    std::filesystem::current_path(work.path());
    const int rc = RUN_ALL_TESTS();
    // Out of the directory before it is removed (a process cannot remove its current directory
    // everywhere).
    std::filesystem::current_path(work.path().parent_path());
    return rc;
}
