// The checksum engines of the upload: the model table and the generic shift-register CRC, held
// against published check values ("123456789") of the CRC catalogue.
#include <gtest/gtest.h>

#include <vector>

#include "shell/crc.h"

namespace {

const auto* const kCheck = reinterpret_cast<const std::uint8_t*>("123456789");

TEST(Crc, TableEntriesAreTheTwoXmodemChecksums) {
    const kv::CrcModel& zmodem = kv::kCrcModels[kv::kCrcZmodem];
    EXPECT_STREQ(zmodem.name, "CRC-ZMODEM");
    EXPECT_EQ(kv::ComputeCrc(zmodem, kCheck, 9), 0x31C3u);
    EXPECT_EQ(zmodem.check, 0x31C3u);
    const kv::CrcModel& sum = kv::kCrcModels[kv::kCrcModulo256];
    EXPECT_STREQ(sum.name, "CRC-Modulo256");
    EXPECT_EQ(kv::ComputeCrc(sum, kCheck, 9), 0xDDu);  // 477 modulo 256
    const std::vector<std::uint8_t> ones(128, 0xFF);
    EXPECT_EQ(kv::ComputeCrc(sum, ones.data(), ones.size()), 0x80u);  // 128 * 255 = 0x7F80
    // One bit at the very end of a block of zeros gives the polynomial: the padding is covered.
    std::vector<std::uint8_t> block(1024, 0);
    block.back() = 1;
    EXPECT_EQ(kv::ComputeCrc(zmodem, block.data(), block.size()), 0x1021u);
}

// The generic engine also has to be right for what the upload does not use: other widths,
// reflection, a final XOR and the direct flag.
TEST(Crc, GenericEngineMatchesCatalogueModels) {
    struct Case {
        kv::CrcModel model;
        std::uint32_t expected;
    };
    const auto crc = kv::GenericBitwiseCrc;
    const Case cases[] = {
        {{"CRC-16/IBM-3740", 16, 0x1021, 0xFFFF, 0, 0, 0, 0, 0, crc}, 0x29B1},
        {{"CRC-16/ARC", 16, 0x8005, 0, 0, 1, 1, 0, 0, crc}, 0xBB3D},
        {{"CRC-8/SMBUS", 8, 0x07, 0, 0, 0, 0, 0, 0, crc}, 0xF4},
        // Narrower than a byte: the data goes in bit by bit.
        {{"CRC-5/USB", 5, 0x05, 0x1F, 0x1F, 1, 1, 0, 0, crc}, 0x19},
        {{"CRC-7/MMC", 7, 0x09, 0, 0, 0, 0, 0, 0, crc}, 0x75},
        {{"CRC-32/ISO-HDLC", 32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, 1, 1, 0, 0, crc}, 0xCBF43926},
        {{"CRC-32/BZIP2", 32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 0, crc}, 0xFC891918},
        // The augmented initial value 0xFFFF, clocked through once, is the catalogue's 0x1D0F.
        {{"CRC-16/SPI-FUJITSU", 16, 0x1021, 0xFFFF, 0, 0, 0, 1, 0, crc}, 0xE5CC},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kv::ComputeCrc(c.model, kCheck, 9), c.expected) << c.model.name;
    }
}

}  // namespace
