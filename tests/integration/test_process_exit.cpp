// Programs that end without closing the library: from C (linked with the shared and with the static
// library), from a callback on the library's receive thread, and from Python through ctypes. Each must
// end with its own exit status and all of its buffered output, the library's transfer stopped and
// its port released on the way out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/controller.h"
#include "support/lib_fixture.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using kvtest::countOf;

std::string numberedLines() {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += "line " + std::to_string(i) + " of the output\n";
    }
    return text;
}

// The last few lines of `text`, for a failure message that stays short.
std::string tail(const std::string& text) {
    return text.size() > 300 ? "..." + text.substr(text.size() - 300) : text;
}

struct ExitCase {
    const char* program;
    const char* mode;
    int exitCode;
    const char* lastLine;
};

TEST(ProcessExit, AProgramThatDoesNotCloseTheLibraryEndsWithItsOwnStatusAndOutput) {
    const std::vector<ExitCase> cases = {
        {UNCLOSED_LIBRARY_PATH, "init", 7, "leaving with the library initialised\n"},
        {UNCLOSED_LIBRARY_PATH, "transfer", 0, "leaving with the transfer running\n"},
        {UNCLOSED_LIBRARY_STATIC_PATH, "transfer", 5, "leaving with the transfer running\n"},
        {UNCLOSED_LIBRARY_PATH, "callback", 3, "counter 0 of controller 0 reset, leaving\n"},
        {UNCLOSED_LIBRARY_STATIC_PATH, "callback", 4, "counter 0 of controller 0 reset, leaving\n"},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.mode);
        kvtest::Controller controller;
        kvtest::TempDir logDir;
        const kvtest::ProcessResult r =
            kvtest::runProgram(c.program, {controller.port(), c.mode, std::to_string(c.exitCode)},
                               {"KVLIB_LOG_DIR=" + logDir.path().string()});
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_TRUE(r.out == numberedLines() + c.lastLine) << tail(r.out);
        EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << r.err;

        // What the program left running was stopped as kvxCloseDevice and kvxCloseLib would.
        const std::string log = kvtest::readText((logDir.path() / "kvlib.log").string());
        EXPECT_EQ(countOf(log, "kvAroLib closed."), 1) << log;
        if (std::string(c.mode) != "init") {
            EXPECT_EQ(countOf(log, "Kolv.X1 transfer stopped ..."), 1) << log;
            EXPECT_EQ(countOf(log, "CloseComDevice, kvHandle="), 1) << log;
        }
    }
}

#ifndef KVLIB_SANITIZED
// An interpreter cannot load a library built with sanitizers.
TEST(ProcessExit, APythonScriptThatStopsOnAnExceptionEndsAsPythonDoes) {
    const std::string script = R"(
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.kvxOpenComDevice.restype = ctypes.c_uint32
lib.kvxOpenComDevice.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)]
lib.kvxStartTransferArea.restype = ctypes.c_uint32
lib.kvxStartTransferArea.argtypes = [ctypes.c_uint32]
for i in range(200):
    print("line %d of the output" % i)
assert lib.kvxInitLib() == 0
rc = ctypes.c_uint32(1)
handle = lib.kvxOpenComDevice(sys.argv[2].encode(), 38400, ctypes.byref(rc))
assert rc.value == 0
assert lib.kvxStartTransferArea(handle) == 0
print("transfer running")
raise RuntimeError("the script stops here")
)";
    kvtest::Controller controller;
    kvtest::TempDir logDir;
    const kvtest::ProcessResult r =
        kvtest::runProgram(PYTHON3_PATH, {"-c", script, KVLIB_SHARED_PATH, controller.port()},
                           {"KVLIB_LOG_DIR=" + logDir.path().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out == numberedLines() + "transfer running\n") << tail(r.out);
    EXPECT_NE(r.err.find("RuntimeError: the script stops here"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << r.err;
    const std::string log = kvtest::readText((logDir.path() / "kvlib.log").string());
    EXPECT_EQ(countOf(log, "Kolv.X1 transfer stopped ..."), 1) << log;
    EXPECT_EQ(countOf(log, "kvAroLib closed."), 1) << log;
}
#endif

}  // namespace
