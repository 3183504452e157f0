// What the upload puts on the line and how it reads the receiver, without a port. (Whole uploads,
// frame by frame, are checked against the simulated controller in the integration tests.)
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "shell/upload.h"

namespace {

TEST(UploadFrame, LargeFrameOnlyForMoreThan128BytesAndNothingWrittenBeyond) {
    std::vector<std::uint8_t> data(200);
    std::iota(data.begin(), data.end(), std::uint8_t{1});
    std::array<std::uint8_t, kv::kMaxBlockFrameBytes + 1> f{};
    f.fill(0xEE);
    ASSERT_EQ(kv::BuildBlockFrame(300, data.data(), 128, kv::kChecksumSum, f.data()), 132u);
    EXPECT_EQ(f[0], kv::kSoh);
    EXPECT_EQ(f[1], 300 - 256);
    EXPECT_EQ(f[2], 0xFF - (300 - 256));
    EXPECT_EQ(f[131], std::accumulate(data.begin(), data.begin() + 128, 0u) & 0xFFu);
    EXPECT_EQ(f[132], 0xEE);
    // 129 bytes (a source that came up short) make a large frame, padded with zeros.
    ASSERT_EQ(kv::BuildBlockFrame(2, data.data(), 129, kv::kChecksumCrc, f.data()), 1029u);
    EXPECT_EQ(f[0], kv::kStx);
    EXPECT_EQ(f[3 + 128], 129);
    EXPECT_EQ(f[3 + 129], 0);
    EXPECT_EQ(f[1029], 0xEE);
}

TEST(UploadName, LastComponentByThePlatformSeparatorAndFitForTheCommand) {
    EXPECT_EQ(kv::UploadNameFromPath("/tmp/x/prog.bin", '/'), "prog.bin");
    EXPECT_EQ(kv::UploadNameFromPath("prog.bin", '/'), "prog.bin");
    // Where only the backslash separates, a path with forward slashes is one name.
    EXPECT_EQ(kv::UploadNameFromPath("sub/prog.bin", '\\'), "sub/prog.bin");
    EXPECT_EQ(kv::UploadNameFromPath("C:\\work\\sub/prog.bin", '\\'), "sub/prog.bin");

    EXPECT_TRUE(kv::ValidUploadName(std::string(83, 'a').c_str()));
    EXPECT_FALSE(kv::ValidUploadName(std::string(84, 'a').c_str()));
    EXPECT_FALSE(kv::ValidUploadName(""));
    EXPECT_FALSE(kv::ValidUploadName("a\"b"));  // would end the quoted path early
    EXPECT_FALSE(kv::ValidUploadName("a\rb"));  // would end the command line early
}

TEST(UploadReceiver, FirstRequestIsTheNewestByteAfterTheLastPrompt) {
    using kv::ReceiverRequest;
    const std::string echo = "xrecv \"/ramdisk/a\" 5\r\nUSB>";
    EXPECT_EQ(kv::JudgeReceiverRequest(echo).request, ReceiverRequest::none);
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + "C").request, ReceiverRequest::crc);
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + "\x15").request, ReceiverRequest::checksum);
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + "\x18").request, ReceiverRequest::cancel);
    // A blank after the prompt, or line noise, does not hide a request that follows it.
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + " \x7f" + "C").request, ReceiverRequest::crc);
    const kv::ReceiverAnswer noise = kv::JudgeReceiverRequest(echo + "C\x7f");
    EXPECT_EQ(noise.request, ReceiverRequest::other);
    EXPECT_EQ(noise.byte, 0x7F);
    // A 'C' before the last prompt is text, and without a prompt nothing is a request.
    EXPECT_EQ(kv::JudgeReceiverRequest("Copy\r\nUSB>").request, ReceiverRequest::none);
    EXPECT_EQ(kv::JudgeReceiverRequest("C").request, ReceiverRequest::none);
}

TEST(UploadReceiver, ReceiveBufferKeeps1032BytesAndDropsTheRest) {
    kv::ClearUploadReceiveBuffer();
    const std::vector<std::uint8_t> x(1000, 'x');
    const std::vector<std::uint8_t> y(100, 'y');
    kv::UploadInputData(x.data(), 1000);
    kv::UploadInputData(nullptr, 5);
    kv::UploadInputData(x.data(), -3);
    kv::UploadInputData(y.data(), 100);
    kv::UploadInputData(y.data(), 100);
    const std::string got = kv::UploadReceivedBytes();
    ASSERT_EQ(got.size(), kv::kUploadRxBytes);
    EXPECT_EQ(got.substr(1000), std::string(32, 'y'));
    kv::ClearUploadReceiveBuffer();
    kv::UploadInputData(y.data(), 3);
    EXPECT_EQ(kv::UploadReceivedBytes(), "yyy");
    kv::ClearUploadReceiveBuffer();
}

}  // namespace
