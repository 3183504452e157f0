// The parts of ostput and ostsend that need no controller: what a status of the upload prints, which
// arguments are ports, and how the file argument is found, on each platform as its own programs do.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "habits.h"
#include "kvarolib.h"
#include "support/temp_dir.h"
#include "upload_status.h"

namespace {

// Each status that ends an upload ends the line (so the shell prompt never follows "Loading..." on
// the same line) and, where the program has no words of its own, says why with the result code.
TEST(OstputStatus, EveryEndingStatusEndsTheLineAndSaysWhy) {
    const std::uint32_t ending[] = {
        KVLIB_ERR_UPLOAD_FILE_NOT_OPEN,
        KVLIB_ERR_UPLOAD_FILE_READ_ERR,
        KVLIB_ERR_UPLOAD_INVALID_FSIZE,
        KVLIB_ERR_UPLOAD_CANCELED,
        KVLIB_ERR_UPLOAD_FAILED,
        KVLIB_ERR_UPLOAD_TIMEOUT,
        KVLIB_ERR_UPLOAD_DONE,
        KVLIB_ERR_INVALID_PARAM,
        KVLIB_ERR_THREAD_IS_RUNNING,
        KVLIB_ERR_THREAD_NOT_STARTABLE,
        KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE,
        KVLIB_ERR_UNKNOWN_DEVICE_HANDLE,
        KVLIB_ERR_CREATE_EVENT,
        0xE000140Cu,
    };
    for (const std::uint32_t status : ending) {
        EXPECT_FALSE(ostrane::IsProgressStatus(status)) << std::hex << status;
        const std::string text = ostrane::UploadStatusText(status, 0);
        ASSERT_FALSE(text.empty()) << std::hex << status;
        EXPECT_EQ(text.back(), '\n') << std::hex << status;
    }
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_THREAD_IS_RUNNING, 0),
              "ERROR.\nERROR: IF thread is running (0xE00012A5)\n");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UNKNOWN_DEVICE_HANDLE, 1),
              "ERROR.\nERROR: Invalid device handle (0xE0001283)\n");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE, 2),
              "ERROR.\nERROR: Invalid device handle (0xE0001104)\n");
    // A code without a row of its own is named as unknown, with its number.
    EXPECT_EQ(ostrane::UploadStatusText(0xE000140Cu, 0),
              "ERROR.\nERROR: Unknown error code ! (0xE000140C)\n");
}

TEST(OstputStatus, ProgressStatusesKeepTheLineOpen) {
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UPLOAD_START, 0), "");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UPLOAD_NAK, 0), "");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UPLOAD_ACK, 0), ".");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UPLOAD_CACHE_UPDATE, 0), "");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UPLOAD_CACHE_UPDATE, 1),
              "OK.\nUpdating cached data to FlashDisk...");
    EXPECT_EQ(ostrane::UploadStatusText(KVLIB_ERR_UPLOAD_CACHE_UPDATE, 2),
              "OK.\nUpdating cached data to SystemFlashDisk...");
}

TEST(ProgramArguments, PortsAndTheUsageAsThePlatformHasThem) {
    EXPECT_EQ(ostrane::PortFromArgument("com7"), "COM7");
    EXPECT_EQ(ostrane::PortFromArgument("COM12"), "COM12");
    EXPECT_EQ(ostrane::PortFromArgument("lpt1"), "");
    EXPECT_FALSE(ostrane::AsksForUsage("--help"));  // taken by the shared check, not by this one
#if defined(_WIN32)
    // '/' begins an option on Windows: only COMn names are ports, and "/?" asks for the usage.
    EXPECT_EQ(ostrane::PortFromArgument("/?"), "");
    EXPECT_EQ(ostrane::PortFromArgument("/dev/ttyACM0"), "");
    EXPECT_TRUE(ostrane::AsksForUsage("/?"));
#else
    EXPECT_EQ(ostrane::PortFromArgument("/dev/ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(ostrane::PortFromArgument("/dev/Serial/by-id/X"), "/dev/Serial/by-id/X");
    EXPECT_FALSE(ostrane::AsksForUsage("/?"));
#endif
}

TEST(ProgramFiles, LookupMatchesAsTheFileSystemDoes) {
    kvtest::TempDir dir;
    std::ofstream(dir.path() / "Prog.BIN", std::ios::binary) << "12345";
    std::filesystem::create_directory(dir.path() / "pdir");
    // The directory as the platform writes it, ending in its separator.
    const std::string base = (dir.path() / "").string();

    const auto exact = ostrane::LocateFile(base + "Prog.BIN");
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(exact->path, base + "Prog.BIN");
    EXPECT_EQ(exact->size, 5u);
    const auto wildcard = ostrane::LocateFile(base + "Pr*.B?N");
    ASSERT_TRUE(wildcard.has_value());
    EXPECT_EQ(wildcard->path, base + "Prog.BIN");
    EXPECT_FALSE(ostrane::LocateFile(base + "pdir").has_value());
    EXPECT_FALSE(ostrane::LocateFile(base + "missing.bin").has_value());
#if defined(_WIN32)
    // Found without regard to case, under the name the file really has (which the controller gets).
    const auto lower = ostrane::LocateFile(base + "prog.bin");
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(lower->path, base + "Prog.BIN");
    const auto lowerPattern = ostrane::LocateFile(base + "PR*.bin");
    ASSERT_TRUE(lowerPattern.has_value());
    EXPECT_EQ(lowerPattern->path, base + "Prog.BIN");
#else
    EXPECT_FALSE(ostrane::LocateFile(base + "prog.bin").has_value());
    EXPECT_FALSE(ostrane::LocateFile(base + "PR*.bin").has_value());
#endif
}

}  // namespace
