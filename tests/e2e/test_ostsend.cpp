// ostsend run as a process against the simulated controller: exact output, error stream and exit code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "e2e/messages.h"
#include "support/process.h"
#include "support/simulator.h"
#include "support/temp_dir.h"

namespace {

const std::string kUsage = "Usage: ostsend <command> [COMxx]\n" + kvtest::kUsagePortLines;

kvtest::ProcessResult ostsend(const std::vector<std::string>& args,
                              const std::vector<std::string>& env = {}) {
    return kvtest::runProgram(OSTSEND_PATH, args, env);
}

TEST(Ostsend, ArgumentErrorsPrintTheUsage) {
    auto r = ostsend({});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Ostrane commands sender via COM ports, version 3.0.9\n" + kUsage);

    r = ostsend({"a", "b", "c"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nERROR: invalid number of arguments\n" + kUsage);

    r = ostsend({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");

    r = ostsend({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Ostrane commands sender via COM ports, version 3.0.9\n");
}

TEST(Ostsend, SendsTheCommandAndPrintsTheAnswer) {
    kvtest::Simulator sim({"--serial", "KQ55555555"});
    const auto r = ostsend({"get_ser_num", sim.port()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Connecting to target on port " + sim.port() +
                         "...OK.\nSending command \"get_ser_num\"..." +
                         "\r\nUSB>get_ser_num\r\nKQ55555555\r\nUSB>\n");
}

// Started as cron, service managers and CI runners start programs (no HOME, no state directory, no
// KVLIB_LOG_DIR), the program prints the answer and nothing else: the log goes to a file in the
// current directory, or, where that cannot be written, in a private directory under TMPDIR.
TEST(Ostsend, LogStaysOutOfTheAnswerInAnEmptyEnvironment) {
    kvtest::Simulator sim({"--serial", "KQ55555555"});
    const std::string answer = "Connecting to target on port " + sim.port() +
                               "...OK.\nSending command \"get_ser_num\"..." +
                               "\r\nUSB>get_ser_num\r\nKQ55555555\r\nUSB>\n";
    kvtest::TempDir work;
    auto r =
        kvtest::runProgramInEnvironment(OSTSEND_PATH, {"get_ser_num", sim.port()}, {}, work.path().string());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, answer);
    EXPECT_NE(kvtest::readFile(work.path() / "kvlib.log").find("KvAroLib.dll Version"), std::string::npos);

    // /proc takes no new file, not even from root.
    r = kvtest::runProgramInEnvironment(OSTSEND_PATH, {"get_ser_num", sim.port()},
                                        {"TMPDIR=" + work.path().string()}, "/proc");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, answer);
    const std::filesystem::path privateDir = work.path() / ("kvarolib-" + std::to_string(::geteuid()));
    EXPECT_NE(kvtest::readFile(privateDir / "kvlib.log").find("KvAroLib.dll Version"), std::string::npos);
}

TEST(Ostsend, FindsThePortByItsDeviceName) {
    kvtest::Simulator sim;
    const auto r = ostsend({"get_ser_num"}, {"KVLIB_PORTS=" + sim.port() + "=Kolvex USB VORI KQ Controller"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Connecting to target on port " + sim.port() + "...OK.\n", 0), 0u) << r.out;
}

TEST(Ostsend, UnknownSecondArgumentIsWarnedAbout) {
    kvtest::Simulator sim;
    const auto r =
        ostsend({"get_ser_num", "lpt1"}, {"KVLIB_PORTS=" + sim.port() + "=Kolvex USB VORI Interface 2008"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "WARNING: unknown parameter 'LPT1'.\n");
}

TEST(Ostsend, UnansweredCommandPrintsAnEmptyLine) {
    kvtest::Simulator sim({"--ignore", "never"});
    const auto r = ostsend({"never", sim.port()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Connecting to target on port " + sim.port() + "...OK.\nSending command \"never\"...\n");
}

TEST(Ostsend, ControllerLostUnderTheCommandEndsTheRunWithAnError) {
    // A flash command waits 45 s of silence; a line that hangs up ends it at once, and the empty
    // answer is not passed off as the controller's.
    kvtest::Simulator sim({"--hangup-on", "ls flash"});
    const auto r = ostsend({"ls flash", sim.port()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Connecting to target on port " + sim.port() + "...OK.\nSending command \"ls flash\"...\n");
    EXPECT_EQ(r.err, "\nERROR: the connection to the controller was lost.\n");
}

TEST(Ostsend, SilentControllerIsNoInterface) {
    kvtest::Simulator sim({"--silent"});
    const auto r = ostsend({"get_ser_num", sim.port()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kvtest::noInterface(sim.port()));
    EXPECT_EQ(r.err, "");
}

TEST(Ostsend, NoPortFoundAfterThreePasses) {
    const auto r = ostsend({"get_ser_num"}, {"KVLIB_PORTS="});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err,
        "\nERROR: cannot find COM port with the name \"Kolvex USB VORI Interface 2008\" or with the name "
        "\"Kolvex USB VORI KQ Controller\".\n");
}

// The two ways the program fails before it can talk: the library does not start (a seam of test
// builds makes its timer fail), and the port exists but this user may not open it (one more line
// says what to do about it).
TEST(Ostsend, LibraryStartAndPortAccessFailures) {
    auto r = ostsend({"get_ser_num", "COM9"}, {"KVLIB_TEST_FAIL_TIMER=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nERROR: kvxInitLib() returned 0xE00012B2.\n");

    kvtest::Simulator sim;
    kvtest::TempDir dir;
    r = kvtest::runProgramUnprivileged(OSTSEND_PATH, {"get_ser_num", sim.port()}, sim.port(),
                                       dir.path().string());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kvtest::noInterface(sim.port()));
    EXPECT_EQ(r.err, kvtest::accessDeniedHint(sim.port()));
}

}  // namespace
