#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "kvarolib.h"

namespace {

struct ExpectedRow {
    std::uint32_t code;
    std::string name;
    std::string text;
};

// Written out by hand, codes as numbers, so that the table is checked against the documented values
// rather than against itself.
const std::vector<ExpectedRow> kExpected = {
    {0x00000000u, "KVLIB_ERR_SUCCESS", "Success"},
    {0xE0000100u, "KVLIB_ERR_NO_MEMORY", "Can't allocate memory block !"},
    {0xE0001000u, "KVLIB_ERR_FAILED", "KVLIB error"},
    {0xE0001286u, "KVLIB_ERR_LIB_IS_INITIALIZED", "KVLIB is initialized"},
    {0xE0001287u, "KVLIB_ERR_LIB_IS_NOT_INITIALIZED", "KVLIB is not initialized"},
    {0xE0001102u, "KVLIB_ERR_DEVICE_IS_OPEN", "device is open"},
    {0xE0001103u, "KVLIB_ERR_DEVICE_NOT_OPEN", "device is not open"},
    {0xE00012A5u, "KVLIB_ERR_THREAD_IS_RUNNING", "IF thread is running"},
    {0xE00012A6u, "KVLIB_ERR_THREAD_NOT_RUNNING", "IF thread is not running"},
    {0xE00012A0u, "KVLIB_ERR_THREAD_NOT_STARTABLE", "IF Thread is not starting"},
    {0xE000100Cu, "KVLIB_ERR_TIMEOUT", "Timeout"},
    {0xE0001104u, "KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE", "Invalid device handle"},
    {0xE0001018u, "KVLIB_ERR_INVALID_PARAM", "Invalid parameter"},
    {0xE0001909u, "KVLIB_ERR_INIT_COM_TIMEOUT", "Error by setting the COM time-out parameters"},
    {0xE0001101u, "KVLIB_ERR_SOME_DEVICES_ARE_OPEN", "Only one KQ master is supported."},
    {0xE0001283u, "KVLIB_ERR_UNKNOWN_DEVICE_HANDLE", "Invalid device handle"},
    {0xE0001906u, "KVLIB_ERR_OPEN_COM", "Error by open COM device"},
    {0xE0001908u, "KVLIB_ERR_INIT_COM", "Error by setting the COM controls"},
    {0xE0001905u, "KVLIB_ERR_ACCESS_DENIED", "COM device: Access is denied !"},
    {0xE00012AFu, "KVLIB_ERR_THREAD_SYNCHRONIZED", "IF thread is sychronized"},
    {0xE0001400u, "KVLIB_ERR_UPLOAD_FILE_NOT_OPEN", "Upload: Could not open file"},
    {0xE0001401u, "KVLIB_ERR_UPLOAD_FILE_READ_ERR", "Upload: Could not read from file"},
    {0xE0001402u, "KVLIB_ERR_UPLOAD_INVALID_FSIZE", "Upload: Invalid file size"},
    {0xE0001403u, "KVLIB_ERR_UPLOAD_START", "Upload: Started."},
    {0xE0001404u, "KVLIB_ERR_UPLOAD_CANCELED", "Upload: File upload was canceled"},
    {0xE0001405u, "KVLIB_ERR_UPLOAD_FAILED", "Upload: File transfer was incorrect."},
    {0xE0001406u, "KVLIB_ERR_UPLOAD_TIMEOUT", "Upload: Timeout."},
    {0xE0001407u, "KVLIB_ERR_UPLOAD_ACK", "Upload: ACK received."},
    {0xE0001408u, "KVLIB_ERR_UPLOAD_NAK", "Upload: NAK received."},
    {0xE0001409u, "KVLIB_ERR_UPLOAD_DONE", "Upload finnished."},
    {0xE00012B0u, "KVLIB_ERR_TIMEOUT_TA", "Timeout by starting TransferArea"},
    {0xE00012B1u, "KVLIB_ERR_CREATE_EVENT", "CreateEvent() failed with error."},
    {0xE00012B2u, "KVLIB_ERR_CREATE_MM_TIMER", "Creating MultiMedia Timer."},
    {0xE0002000u, "KVLIB_ERR_WRONG_HOSTNAME_LEN", "Wrong hostname length."},
    {0xE000140Bu, "KVLIB_ERR_REM_CMD_FAILED", "Send remote command failed."},
    {0xE000140Du, "KVLIB_ERR_FWUPD_GET_FILES", "Error by scanning Firmware files."},
    {0xE000140Eu, "KVLIB_ERR_FWUPD_NO_FILES", "No Firmware files found!"},
    {0xEFFFFFFFu, "KVLIB_ERR_UNKNOWN", "Unknown error code !"},
};

TEST(ResultCodeTable, HoldsEveryRowInOrderWithItsNameAndText) {
    const auto table = kv::ResultCodeTable();
    ASSERT_EQ(table.size(), kExpected.size());
    for (std::size_t i = 0; i < kExpected.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(table[i].code, kExpected[i].code);
        EXPECT_EQ(std::string(table[i].name), kExpected[i].name);
        EXPECT_EQ(std::string(table[i].text), kExpected[i].text);
    }
}

TEST(ResultCodeTable, LookupFindsTheRowOfEveryCode) {
    for (const ExpectedRow& row : kExpected) {
        const kv::ResultCodeRow& found = kv::LookupResultCode(row.code);
        EXPECT_EQ(found.code, row.code);
        EXPECT_EQ(std::string(found.name), row.name);
    }
    EXPECT_STREQ(kv::LookupResultCode(KVLIB_ERR_UPLOAD_DONE).text, "Upload finnished.");
    EXPECT_STREQ(kv::LookupResultCode(KVLIB_ERR_THREAD_SYNCHRONIZED).text, "IF thread is sychronized");
}

TEST(ResultCodeTable, CodesWithoutARowYieldTheUnknownRow) {
    // Neighbours of real codes, and codes that exist in the public header but have no row of their own.
    for (std::uint32_t code :
         {0x00000001u, 0xE0001001u, 0xE00012A7u, 0xFFFFFFFFu, KVLIB_ERR_UPLOAD_CACHE_UPDATE,
          KVLIB_ERR_CLEAN_SYSTEM_REFUSED, KVLIB_ERR_BT_INVALID_CHANNEL}) {
        const kv::ResultCodeRow& found = kv::LookupResultCode(code);
        EXPECT_EQ(found.code, KVLIB_ERR_UNKNOWN) << std::hex << code;
        EXPECT_STREQ(found.name, "KVLIB_ERR_UNKNOWN");
        EXPECT_STREQ(found.text, "Unknown error code !");
    }
}

TEST(ResultCodeTable, TwoDistinctCodesShareTheInvalidHandleText) {
    const kv::ResultCodeRow& noInstance = kv::LookupResultCode(KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE);
    const kv::ResultCodeRow& unknownHandle = kv::LookupResultCode(KVLIB_ERR_UNKNOWN_DEVICE_HANDLE);
    EXPECT_STREQ(noInstance.text, "Invalid device handle");
    EXPECT_STREQ(unknownHandle.text, "Invalid device handle");
    EXPECT_STREQ(noInstance.name, "KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE");
    EXPECT_STREQ(unknownHandle.name, "KVLIB_ERR_UNKNOWN_DEVICE_HANDLE");
    EXPECT_NE(&noInstance, &unknownHandle);
}

}  // namespace
