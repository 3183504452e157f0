// What the upload puts on the line and how it reads the receiver, without a port: block frames,
// block sizes, the announced name, the receiver's first request and the receive buffer.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "shell/crc.h"
#include "shell/upload.h"

namespace {

using Frame = std::array<std::uint8_t, kv::kMaxBlockFrameBytes>;

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), std::uint8_t{1});
    return v;
}

TEST(UploadFrame, ShortBlockIsPaddedWithZerosAndSummed) {
    const auto data = counting(92);
    Frame f{};
    f.fill(0xEE);
    ASSERT_EQ(kv::BuildBlockFrame(5, data.data(), data.size(), kv::kChecksumSum, f.data()), 132u);
    EXPECT_EQ(f[0], kv::kSoh);
    EXPECT_EQ(f[1], 5);
    EXPECT_EQ(f[2], 0xFA);
    for (std::size_t i = 0; i < 92; ++i) {
        ASSERT_EQ(f[3 + i], data[i]) << i;
    }
    for (std::size_t i = 92; i < 128; ++i) {
        ASSERT_EQ(f[3 + i], 0) << i;  // zero padding, not 0x1A
    }
    const unsigned sum = std::accumulate(data.begin(), data.end(), 0u);
    EXPECT_EQ(f[131], sum & 0xFFu);
    EXPECT_EQ(f[132], 0xEE);  // nothing written beyond the frame
}

TEST(UploadFrame, CrcGoesHighByteFirstOverTheWholeBlock) {
    const auto data = counting(200);
    Frame f{};
    ASSERT_EQ(kv::BuildBlockFrame(1, data.data(), data.size(), kv::kChecksumCrc, f.data()), 1029u);
    EXPECT_EQ(f[0], kv::kStx);
    EXPECT_EQ(f[1], 1);
    EXPECT_EQ(f[2], 0xFE);
    const std::uint32_t crc = kv::ComputeCrc(kv::kCrcModels[kv::kCrcZmodem], f.data() + 3, 1024);
    EXPECT_EQ(f[3 + 1024], crc >> 8);
    EXPECT_EQ(f[4 + 1024], crc & 0xFFu);
    EXPECT_EQ(f[3 + 199], 200);
    EXPECT_EQ(f[3 + 200], 0);

    // 128 bytes exactly still fit a short block; a sum frame of a large block is 1028 bytes.
    ASSERT_EQ(kv::BuildBlockFrame(2, data.data(), 128, kv::kChecksumCrc, f.data()), 133u);
    EXPECT_EQ(f[0], kv::kSoh);
    EXPECT_EQ(kv::BuildBlockFrame(2, data.data(), 129, kv::kChecksumSum, f.data()), 1028u);
}

TEST(UploadFrame, BlockNumberWrapsAndEmptyBlockIsAllZeros) {
    Frame f{};
    kv::BuildBlockFrame(255, nullptr, 0, kv::kChecksumSum, f.data());
    EXPECT_EQ(f[1], 255);
    EXPECT_EQ(f[2], 0);
    kv::BuildBlockFrame(256, nullptr, 0, kv::kChecksumSum, f.data());
    EXPECT_EQ(f[1], 0);
    EXPECT_EQ(f[2], 255);
    kv::BuildBlockFrame(300, nullptr, 0, kv::kChecksumCrc, f.data());
    EXPECT_EQ(f[1], 300 - 256);
    for (std::size_t i = 3; i < 3 + 128 + 2; ++i) {
        ASSERT_EQ(f[i], 0) << i;
    }
}

TEST(UploadFrame, LargeBlocksOnlyWhileMoreThan1024Remain) {
    EXPECT_EQ(kv::BlockSizeFor(1500), 1024u);
    EXPECT_EQ(kv::BlockSizeFor(1025), 1024u);
    EXPECT_EQ(kv::BlockSizeFor(1024), 128u);
    EXPECT_EQ(kv::BlockSizeFor(92), 128u);
    EXPECT_EQ(kv::BlockSizeFor(0), 128u);
}

TEST(UploadName, LastComponentByThePlatformSeparator) {
    EXPECT_EQ(kv::UploadNameFromPath("/tmp/x/prog.bin", '/'), "prog.bin");
    EXPECT_EQ(kv::UploadNameFromPath("prog.bin", '/'), "prog.bin");
    // Where only the backslash separates, a path with forward slashes is one name.
    EXPECT_EQ(kv::UploadNameFromPath("sub/prog.bin", '\\'), "sub/prog.bin");
    EXPECT_EQ(kv::UploadNameFromPath("C:\\work\\sub/prog.bin", '\\'), "sub/prog.bin");
    EXPECT_EQ(kv::UploadNameFromPath("dir/", '/'), "");

    EXPECT_TRUE(kv::ValidUploadName("prog.bin"));
    EXPECT_TRUE(kv::ValidUploadName(std::string(83, 'a').c_str()));
    EXPECT_FALSE(kv::ValidUploadName(std::string(84, 'a').c_str()));
    EXPECT_FALSE(kv::ValidUploadName(""));
    EXPECT_FALSE(kv::ValidUploadName(nullptr));
    EXPECT_FALSE(kv::ValidUploadName("a\"b"));  // would end the quoted path early
    EXPECT_FALSE(kv::ValidUploadName("a\rb"));  // would end the command line early

    EXPECT_STREQ(kv::UploadAreaWord(0), "ramdisk");
    EXPECT_STREQ(kv::UploadAreaWord(1), "flash");
    EXPECT_STREQ(kv::UploadAreaWord(2), "system");
    EXPECT_STREQ(kv::UploadAreaWord(7), "ramdisk");
}

TEST(UploadReceiver, FirstRequestIsTheNewestByteAfterTheLastPrompt) {
    using kv::ReceiverRequest;
    const std::string echo = "xrecv \"/ramdisk/a\" 5\r\nUSB>";
    EXPECT_EQ(kv::JudgeReceiverRequest(echo).request, ReceiverRequest::none);
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + "C").request, ReceiverRequest::crc);
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + "\x15").request, ReceiverRequest::checksum);
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + "\x18").request, ReceiverRequest::cancel);
    // Noise, or a blank the prompt ends with, before the request does not hide it.
    EXPECT_EQ(kv::JudgeReceiverRequest(echo + " \x7f" + "C").request, ReceiverRequest::crc);
    const kv::ReceiverAnswer noise = kv::JudgeReceiverRequest(echo + "C\x7f");
    EXPECT_EQ(noise.request, ReceiverRequest::other);
    EXPECT_EQ(noise.byte, 0x7F);
    // A 'C' before the last prompt is text, not a request.
    EXPECT_EQ(kv::JudgeReceiverRequest("Copy\r\nUSB>").request, ReceiverRequest::none);
    EXPECT_EQ(kv::JudgeReceiverRequest("C").request, ReceiverRequest::none);
    EXPECT_EQ(kv::JudgeReceiverRequest("").request, ReceiverRequest::none);
}

TEST(UploadReceiver, ReceiveBufferKeeps1032BytesAndDropsTheRest) {
    kv::ClearUploadReceiveBuffer();
    const std::vector<std::uint8_t> chunk(1000, 'x');
    kv::UploadInputData(chunk.data(), 1000);
    kv::UploadInputData(nullptr, 5);
    kv::UploadInputData(chunk.data(), 0);
    kv::UploadInputData(chunk.data(), -3);
    EXPECT_EQ(kv::UploadReceivedBytes().size(), 1000u);
    const std::vector<std::uint8_t> tail(100, 'y');
    kv::UploadInputData(tail.data(), 100);
    const std::string got = kv::UploadReceivedBytes();
    ASSERT_EQ(got.size(), kv::kUploadRxBytes);
    EXPECT_EQ(got.substr(1000), std::string(32, 'y'));
    kv::UploadInputData(tail.data(), 100);
    EXPECT_EQ(kv::UploadReceivedBytes(), got);
    // Once cleared it takes bytes again.
    kv::ClearUploadReceiveBuffer();
    kv::UploadInputData(tail.data(), 3);
    EXPECT_EQ(kv::UploadReceivedBytes(), "yyy");
    kv::ClearUploadReceiveBuffer();
}

}  // namespace
