// ostput run as a process against the simulated controller: exact output, error stream and exit code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/messages.h"
#include "support/process.h"
#include "support/simulator.h"
#include "support/temp_dir.h"

namespace {

const std::string kUsage =
    "Usage: ostput <file_name> [ramdisk(default) | flash | system] [COMxx]\n" + kvtest::kUsagePortLines;

class Ostput : public testing::Test {
  protected:
    void SetUp() override {
        source = dir.path() / "prog.bin";
        std::ofstream out(source, std::ios::binary);
        for (int i = 0; i < 1500; ++i) {
            out.put(static_cast<char>(i * 7));
        }
    }

    kvtest::ProcessResult ostput(const std::vector<std::string>& args,
                                 const std::vector<std::string>& env = {}) {
        return kvtest::runProgram(OSTPUT_PATH, args, env);
    }

    std::string stored(const std::string& area) {
        return kvtest::readFile(dir.path() / "store" / area / "prog.bin");
    }

    kvtest::TempDir dir;
    std::filesystem::path source;
};

TEST_F(Ostput, ArgumentErrorsPrintTheUsage) {
    auto r = ostput({});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Ostrane file loader for COM ports, version 3.0.12\n" + kUsage);

    r = ostput({"a", "b", "c", "d"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "\nERROR: invalid number of arguments\n" + kUsage);

    r = ostput({"-h"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);

    r = ostput({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Ostrane file loader for COM ports, version 3.0.12\n");

    r = ostput({(dir.path() / "missing.bin").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nERROR: cannot open input file '" + (dir.path() / "missing.bin").string() + "'.\n");
}

TEST_F(Ostput, FlashUploadPrintsDotsAndTheCacheUpdate) {
    kvtest::Simulator sim({"--store", (dir.path() / "store").string(), "--flash-delay", "50"});
    // Lower-case words and a prefix: "flashdisk" selects the flash disk.
    const auto r = ostput({source.string(), "flashdisk", sim.port()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    // 1500 bytes are five blocks: one dot for each acknowledged block but the last.
    EXPECT_EQ(r.out, "Connecting to target on port " + sim.port() + "...OK.\nRead file \"" + source.string() +
                         "\" (1500 bytes).\nLoading..." + std::string(4, '.') +
                         "OK.\nUpdating cached data to FlashDisk...OK.\n");
    EXPECT_EQ(stored("flash"), kvtest::readFile(source));
}

TEST_F(Ostput, WildcardAndPortFoundByDeviceName) {
    kvtest::Simulator sim({"--store", (dir.path() / "store").string()});
    const auto r = ostput({(dir.path() / "pr*.bin").string(), "ramdisk", "extra"},
                          {"KVLIB_PORTS=" + sim.port() + "=Kolvex USB VORI Interface 2008"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "WARNING: unknown parameter 'EXTRA'.\n");
    EXPECT_EQ(r.out, "Connecting to target on port " + sim.port() + "...OK.\nRead file \"" + source.string() +
                         "\" (1500 bytes).\nLoading..." + std::string(4, '.') + "OK.\n");
    EXPECT_EQ(stored("ramdisk"), kvtest::readFile(source));
}

TEST_F(Ostput, CancelAfterABlockPrintsBothEndings) {
    kvtest::Simulator sim({"--store", (dir.path() / "store").string(), "--xrecv-can-after", "2"});
    const auto r = ostput({source.string(), "system", sim.port()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.substr(r.out.size() - std::string("canceled.\nfailed.\n").size()), "canceled.\nfailed.\n")
        << r.out;
}

// The library refuses a name the controller cannot take (more than 83 characters) before the upload
// begins; the line after "Loading..." ends and says why instead of ending in silence.
TEST_F(Ostput, RefusedUploadSaysWhy) {
    const std::filesystem::path longName = dir.path() / (std::string(86, 'n') + ".bin");
    std::filesystem::copy_file(source, longName);
    kvtest::Simulator sim({"--store", (dir.path() / "store").string()});
    const auto r = ostput({longName.string(), sim.port()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Connecting to target on port " + sim.port() + "...OK.\nRead file \"" +
                         longName.string() +
                         "\" (1500 bytes).\nLoading...ERROR.\nERROR: Invalid parameter (0xE0001018)\n");
}

TEST_F(Ostput, SilentControllerIsNoInterface) {
    kvtest::Simulator sim({"--silent"});
    const auto r = ostput({source.string(), sim.port()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kvtest::noInterface(sim.port()));
    EXPECT_EQ(r.err, "");
}

TEST_F(Ostput, OverlongPortIsRefused) {
    const auto r = ostput({source.string(), "/dev/" + std::string(300, 'p')});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("port name too long"), std::string::npos);
}

TEST_F(Ostput, LibraryStartAndPortAccessFailures) {
    auto r = ostput({source.string(), "COM9"}, {"KVLIB_TEST_FAIL_TIMER=1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nERROR: kvxInitLib() returned 0xE00012B2.\n");

    kvtest::Simulator sim;
    kvtest::TempDir open;  // reachable for the unprivileged user: the program, its log and the file
    const std::filesystem::path readable = open.path() / "prog.bin";
    std::filesystem::copy_file(source, readable);
    std::filesystem::permissions(readable, std::filesystem::perms::all);
    r = kvtest::runProgramUnprivileged(OSTPUT_PATH, {readable.string(), sim.port()}, sim.port(),
                                       open.path().string());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kvtest::noInterface(sim.port()));
    EXPECT_EQ(r.err, kvtest::accessDeniedHint(sim.port()));
}

}  // namespace
