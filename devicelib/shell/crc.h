// The two checksums an XMODEM receiver may ask for: the 16-bit CRC ('C') and the 8-bit sum (NAK).
// Both are described by one record type, so that a block's checksum is "the model's function over
// the data" whichever the receiver chose.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv {

struct CrcModel;

// Computes the checksum of `count` bytes under `model`; the result is masked to the model's width.
using CrcFunction = std::uint32_t (*)(const CrcModel& model, const std::uint8_t* bytes, std::size_t count);

struct CrcModel {
    const char* name;
    std::uint32_t width;  // bits, 1 to 32
    std::uint32_t polynomial;
    std::uint32_t initial;
    std::uint32_t finalXor;
    std::uint8_t reflectIn;
    std::uint8_t reflectOut;
    // The initial value is given for the augmented form of the algorithm: clock it through the
    // register once before the data.
    std::uint8_t direct;
    // The checksum of "123456789"; kept with the model for reference, never used to send.
    std::uint32_t check;
    CrcFunction compute;
};

// Shift-register CRC of any width up to 32 bits, clocked bit by bit (no table: blocks are at most
// 1024 bytes, and a table per model would be more to get wrong than it saves).
std::uint32_t GenericBitwiseCrc(const CrcModel& model, const std::uint8_t* bytes, std::size_t count);
// The sum of the bytes, masked to the model's width.
std::uint32_t ByteSum(const CrcModel& model, const std::uint8_t* bytes, std::size_t count);

inline constexpr std::size_t kCrcZmodem = 0;     // CRC-16/XMODEM: the receiver asked with 'C'
inline constexpr std::size_t kCrcModulo256 = 1;  // 8-bit sum: the receiver asked with NAK

extern const std::array<CrcModel, 2> kCrcModels;

inline std::uint32_t ComputeCrc(const CrcModel& model, const std::uint8_t* bytes, std::size_t count) {
    return model.compute(model, bytes, count);
}

}  // namespace kv
