#include "shell/crc.h"

namespace kv {
namespace {

std::uint32_t widthMask(std::uint32_t width) {
    if (width >= 32) {
        return 0xFFFFFFFFu;
    }
    return (1u << width) - 1u;
}

// The low `bits` bits of `value` in reverse order.
std::uint32_t reflect(std::uint32_t value, std::uint32_t bits) {
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < bits; ++i) {
        out = (out << 1) | (value & 1u);
        value >>= 1;
    }
    return out;
}

}  // namespace

std::uint32_t GenericBitwiseCrc(const CrcModel& model, const std::uint8_t* bytes, std::size_t count) {
    // A width outside 1..32 describes no register; treat it as the nearest one that exists.
    const std::uint32_t width = model.width == 0 ? 1u : (model.width > 32 ? 32u : model.width);
    const std::uint32_t mask = widthMask(width);
    const std::uint32_t top = 1u << (width - 1);
    const std::uint32_t poly = model.polynomial & mask;

    std::uint32_t reg = model.initial & mask;
    if (model.direct != 0) {
        for (std::uint32_t i = 0; i < width; ++i) {
            const bool out = (reg & top) != 0;
            reg <<= 1;
            if (out) {
                reg ^= poly;
            }
        }
        reg &= mask;
    }
    for (std::size_t n = 0; n < count && bytes != nullptr; ++n) {
        std::uint32_t byte = bytes[n];
        if (model.reflectIn != 0) {
            byte = reflect(byte, 8);
        }
        if (width >= 8) {
            // Feeding the whole byte into the top of the register first and then clocking it
            // eight times is the same division as feeding it bit by bit, in half the steps.
            reg ^= byte << (width - 8);
            for (int bit = 0; bit < 8; ++bit) {
                reg = (reg & top) != 0 ? ((reg << 1) ^ poly) : (reg << 1);
            }
            reg &= mask;
            continue;
        }
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((byte >> bit) & 1u) != 0;
            const bool feedback = in != ((reg & top) != 0);
            reg = (reg << 1) & mask;
            if (feedback) {
                reg ^= poly;
            }
        }
    }
    if (model.reflectOut != 0) {
        reg = reflect(reg, width);
    }
    return (reg ^ model.finalXor) & mask;
}

std::uint32_t ByteSum(const CrcModel& model, const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t sum = model.initial;
    for (std::size_t n = 0; n < count && bytes != nullptr; ++n) {
        sum += bytes[n];
    }
    const std::uint32_t width = model.width == 0 ? 1u : (model.width > 32 ? 32u : model.width);
    return (sum ^ model.finalXor) & widthMask(width);
}

const std::array<CrcModel, 2> kCrcModels{{
    {"CRC-ZMODEM", 16, 0x1021, 0, 0, 0, 0, 0, 0x31C3, GenericBitwiseCrc},
    {"CRC-Modulo256", 8, 0, 0, 0, 0, 0, 0, 0, ByteSum},
}};

}  // namespace kv
