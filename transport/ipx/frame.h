// The four Ethernet frame types that carry IPX, as interchangeable encoders
// and decoders: Ethernet II (type 8137), 802.3 "raw" (length field, then the
// IPX header whose checksum FFFF follows at once), 802.2 (LLC E0 E0 03) and
// SNAP (LLC AA AA 03, OUI 000000, type 8137).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "ipx/packet.h"

namespace spx::ipx {

enum class FrameType : std::uint8_t { EthernetII, Raw8023, Llc8022, Snap };

using Mac = std::array<std::uint8_t, 6>;

// The Ethernet header, and the 802.2 headers that 802.2 and SNAP frames
// put between it and the IPX packet.
struct EthHeaderWire {
    std::uint8_t dst[6];
    std::uint8_t src[6];
    std::uint8_t typeOrLength[2]; // above 1500 an EtherType, else the 802.3 length
};
static_assert(sizeof(EthHeaderWire) == 14 && offsetof(EthHeaderWire, dst) == 0 &&
              offsetof(EthHeaderWire, src) == 6 && offsetof(EthHeaderWire, typeOrLength) == 12);
struct LlcHeaderWire {
    std::uint8_t dsap, ssap, control; // E0 E0 03 for IPX; AA AA 03 before a SNAP header
};
static_assert(sizeof(LlcHeaderWire) == 3 && offsetof(LlcHeaderWire, dsap) == 0 &&
              offsetof(LlcHeaderWire, ssap) == 1 && offsetof(LlcHeaderWire, control) == 2);
struct SnapHeaderWire {
    LlcHeaderWire llc;
    std::uint8_t oui[3];
    std::uint8_t type[2];
};
static_assert(sizeof(SnapHeaderWire) == 8 && offsetof(SnapHeaderWire, llc) == 0 &&
              offsetof(SnapHeaderWire, oui) == 3 && offsetof(SnapHeaderWire, type) == 6);

inline constexpr std::size_t ETH_HEADER = sizeof(EthHeaderWire);
inline constexpr std::size_t OFF_TYPE_OR_LENGTH = offsetof(EthHeaderWire, typeOrLength);
inline constexpr std::size_t MAX_FRAME_HEADER = ETH_HEADER + sizeof(SnapHeaderWire); // 22
inline constexpr std::size_t MIN_FRAME = 60; // Ethernet minimum, without the FCS
inline constexpr std::size_t MAX_FRAME = MAX_FRAME_HEADER + MAX_PACKET;
inline constexpr std::uint16_t ETHERTYPE_IPX = 0x8137;
inline constexpr std::uint16_t MAX_8023_LENGTH = 1500; // above: an EtherType

// The names of the interface file: "ethernet_ii", "802.3", "802.2", "snap".
std::string_view FrameTypeName(FrameType type);
std::optional<FrameType> FrameTypeByName(std::string_view name);

// Bytes between the start of the frame and the IPX header: 14, 14, 17, 22.
std::size_t FrameHeaderSize(FrameType type);

// Writes the frame header for an IPX packet of ipxLength bytes. Returns its
// size (FrameHeaderSize). The shell sends header, packet and FramePadding
// zero bytes together (one iovec each), so the packet is never copied.
std::size_t EncodeFrameHeader(FrameType type, const Mac& dst, const Mac& src, std::size_t ipxLength,
                              std::span<std::uint8_t, MAX_FRAME_HEADER> out);

// Zero bytes to append so that the frame reaches the Ethernet minimum of 60.
std::size_t FramePadding(FrameType type, std::size_t ipxLength);

// The whole frame in one buffer: header, packet, padding. Returns its length,
// or 0 when the packet is longer than MAX_PACKET bytes.
std::size_t EncodeFrame(FrameType type, const Mac& dst, const Mac& src,
                        std::span<const std::uint8_t> ipxPacket,
                        std::span<std::uint8_t, MAX_FRAME> out);

struct FrameDecoded {
    std::span<const std::uint8_t> ipx; // exactly the IPX length field's bytes
    Mac src{};
    DropReason drop = DropReason::None; // BadFrame or Truncated
    explicit operator bool() const { return drop == DropReason::None; }
};

// Finds the IPX packet in a received frame of the given type. The packet is
// bounded by the 802.3 length field where there is one and by the IPX length
// field; padding and trailing bytes are left out. A frame of another type
// is BadFrame; one too short for its headers or its length fields is
// Truncated. The packet itself is judged by Decode.
FrameDecoded DecodeFrame(FrameType type, std::span<const std::uint8_t> frame);

} // namespace spx::ipx
