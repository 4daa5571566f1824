// Big-endian (network order) reads and writes of fixed-width fields. Every
// wire record in the project goes through these helpers.
#pragma once

#include <cstdint>
#include <span>

namespace spx {

constexpr std::uint16_t GetBE16(std::span<const unsigned char, 2> b) {
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

constexpr std::uint32_t GetBE32(std::span<const unsigned char, 4> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
           (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
}

constexpr void PutBE16(std::span<unsigned char, 2> b, std::uint16_t v) {
    b[0] = static_cast<unsigned char>(v >> 8);
    b[1] = static_cast<unsigned char>(v);
}

constexpr void PutBE32(std::span<unsigned char, 4> b, std::uint32_t v) {
    b[0] = static_cast<unsigned char>(v >> 24);
    b[1] = static_cast<unsigned char>(v >> 16);
    b[2] = static_cast<unsigned char>(v >> 8);
    b[3] = static_cast<unsigned char>(v);
}

} // namespace spx
