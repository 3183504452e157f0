// The parts of ostput and ostsend that need no controller: what a status of the upload prints.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kvarolib.h"
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

}  // namespace
