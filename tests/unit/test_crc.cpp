// The checksum engines of the upload: the model table and the generic shift-register CRC, held
// against published check values ("123456789") of the CRC catalogue.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "shell/crc.h"

namespace {

const std::uint8_t* checkInput() {
    return reinterpret_cast<const std::uint8_t*>("123456789");
}

std::uint32_t crcOf(const kv::CrcModel& model, const std::vector<std::uint8_t>& bytes) {
    return kv::ComputeCrc(model, bytes.data(), bytes.size());
}

TEST(Crc, TableEntriesAreTheTwoXmodemChecksums) {
    const kv::CrcModel& zmodem = kv::kCrcModels[kv::kCrcZmodem];
    EXPECT_STREQ(zmodem.name, "CRC-ZMODEM");
    EXPECT_EQ(zmodem.width, 16u);
    EXPECT_EQ(zmodem.polynomial, 0x1021u);
    EXPECT_EQ(kv::ComputeCrc(zmodem, checkInput(), 9), 0x31C3u);
    EXPECT_EQ(kv::ComputeCrc(zmodem, checkInput(), 9), zmodem.check);

    const kv::CrcModel& sum = kv::kCrcModels[kv::kCrcModulo256];
    EXPECT_STREQ(sum.name, "CRC-Modulo256");
    EXPECT_EQ(sum.width, 8u);
    EXPECT_EQ(kv::ComputeCrc(sum, checkInput(), 9), 0xDDu);  // 477 modulo 256
}

TEST(Crc, SumWrapsAndCrcCoversEveryByte) {
    const kv::CrcModel& sum = kv::kCrcModels[kv::kCrcModulo256];
    const kv::CrcModel& zmodem = kv::kCrcModels[kv::kCrcZmodem];
    EXPECT_EQ(crcOf(sum, std::vector<std::uint8_t>(128, 0xFF)), 0x80u);  // 128 * 255 = 0x7F80
    EXPECT_EQ(crcOf(sum, {}), 0u);
    EXPECT_EQ(crcOf(zmodem, {}), 0u);
    // A block of zeros has CRC 0 with this model, a single one-bit anywhere does not: the padding is
    // covered, and its position matters.
    std::vector<std::uint8_t> block(1024, 0);
    EXPECT_EQ(crcOf(zmodem, block), 0u);
    block[1023] = 1;
    const std::uint32_t last = crcOf(zmodem, block);
    block[1023] = 0;
    block[0] = 1;
    EXPECT_NE(crcOf(zmodem, block), 0u);
    EXPECT_NE(crcOf(zmodem, block), last);
    EXPECT_EQ(last, 0x1021u);  // one bit at the end: the polynomial itself
}

// The generic engine also has to be right for the parameters the upload does not use: widths other
// than 16, reflection, a final XOR and the direct flag.
TEST(Crc, GenericEngineMatchesCatalogueModels) {
    struct Case {
        kv::CrcModel model;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {{"CRC-16/IBM-3740", 16, 0x1021, 0xFFFF, 0, 0, 0, 0, 0, kv::GenericBitwiseCrc}, 0x29B1},
        {{"CRC-16/ARC", 16, 0x8005, 0, 0, 1, 1, 0, 0, kv::GenericBitwiseCrc}, 0xBB3D},
        {{"CRC-16/KERMIT", 16, 0x1021, 0, 0, 1, 1, 0, 0, kv::GenericBitwiseCrc}, 0x2189},
        {{"CRC-8/SMBUS", 8, 0x07, 0, 0, 0, 0, 0, 0, kv::GenericBitwiseCrc}, 0xF4},
        {{"CRC-32/ISO-HDLC", 32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, 1, 1, 0, 0, kv::GenericBitwiseCrc},
         0xCBF43926},
        {{"CRC-32/BZIP2", 32, 0x04C11DB7, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 0, kv::GenericBitwiseCrc},
         0xFC891918},
        // The augmented initial value 0xFFFF, clocked through once, is the catalogue's 0x1D0F.
        {{"CRC-16/SPI-FUJITSU", 16, 0x1021, 0xFFFF, 0, 0, 0, 1, 0, kv::GenericBitwiseCrc}, 0xE5CC},
        {{"CRC-16/SPI-FUJITSU", 16, 0x1021, 0x1D0F, 0, 0, 0, 0, 0, kv::GenericBitwiseCrc}, 0xE5CC},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kv::ComputeCrc(c.model, checkInput(), 9), c.expected) << c.model.name;
    }
}

}  // namespace
