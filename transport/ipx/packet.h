// The IPX carrier's packets: the published IPX and SPX headers byte for byte,
// a decoder that judges what came off the wire and an encoder.
//
// Everything in transport/ipx/ is pure: no sockets, no clock, no system calls.
// The spx target puts transport/ on the include path, so the carrier's headers
// are included as "ipx/packet.h", "ipx/frame.h", "ipx/conf.h", "ipx/filter.h"
// and "ipx/spx_connection.h".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include <spx/byteorder.h>
#include <spx/ipx.h>

namespace spx::ipx {

inline constexpr std::size_t IPX_HEADER = 30;
inline constexpr std::size_t SPX_HEADER = 12;
inline constexpr std::size_t NEGOTIATION_FIELD = 2; // SPX II's extended header: after SPX_HEADER
// SPX I's packet, and SPX II's until a larger size is negotiated.
inline constexpr std::size_t SPX1_PACKET = 576;
inline constexpr std::size_t SPX1_DATA = SPX1_PACKET - IPX_HEADER - SPX_HEADER; // 534
// The largest IPX packet this carrier sends or takes (an Ethernet frame's
// payload), headers included; SPX II negotiates up to it.
inline constexpr std::size_t MAX_PACKET = 1500;
inline constexpr std::size_t MAX_DATA = MAX_PACKET - IPX_HEADER - SPX_HEADER; // 1458
inline constexpr std::uint16_t NO_CHECKSUM = 0xFFFF;
inline constexpr std::uint8_t PACKET_TYPE_SPX = 5;
inline constexpr std::uint16_t UNKNOWN_CONNECTION = 0xFFFF; // dest id of a connection request

// Connection control bits. The low four are SPX II's (an SPX I peer ignores
// them): CC_SPX2 and CC_EXTENDED on every packet of an SPX II end (its
// header is 14 bytes: the 2-byte negotiation size follows the SPX header),
// CC_NEGOTIATE on the set-up packets, whose negotiation size is an offer.
inline constexpr std::uint8_t CC_SYSTEM = 0x80;    // does not consume a sequence number
inline constexpr std::uint8_t CC_SEND_ACK = 0x40;  // the receiver acknowledges at once
inline constexpr std::uint8_t CC_ATTENTION = 0x20; // never sent; ignored on receipt
inline constexpr std::uint8_t CC_EOM = 0x10;       // last packet of a unit
inline constexpr std::uint8_t CC_SPX2 = 0x08;      // the sender speaks SPX II
inline constexpr std::uint8_t CC_NEGOTIATE = 0x04; // a size negotiation request or answer
inline constexpr std::uint8_t CC_EXTENDED = 0x01;  // the negotiation size field is there

// Datastream types. 0 is ordinary data; FC and FD are SPX II's orderly
// release request and its acknowledgement; FE and FF end a connection.
inline constexpr std::uint8_t DS_DATA = 0x00;
inline constexpr std::uint8_t DS_ORDREL = 0xFC;
inline constexpr std::uint8_t DS_ORDREL_ACK = 0xFD;
inline constexpr std::uint8_t DS_DISCON = 0xFE;
inline constexpr std::uint8_t DS_DISCON_ACK = 0xFF;

// The IPX header as it stands on the wire, big-endian.
struct IpxHeaderWire {
    std::uint8_t checksum[2];
    std::uint8_t length[2];
    std::uint8_t transportControl;
    std::uint8_t packetType;
    std::uint8_t dstNet[4];
    std::uint8_t dstNode[6];
    std::uint8_t dstSock[2];
    std::uint8_t srcNet[4];
    std::uint8_t srcNode[6];
    std::uint8_t srcSock[2];
};
static_assert(sizeof(IpxHeaderWire) == IPX_HEADER && offsetof(IpxHeaderWire, checksum) == 0 &&
              offsetof(IpxHeaderWire, length) == 2 &&
              offsetof(IpxHeaderWire, transportControl) == 4 &&
              offsetof(IpxHeaderWire, packetType) == 5 && offsetof(IpxHeaderWire, dstNet) == 6 &&
              offsetof(IpxHeaderWire, dstNode) == 10 && offsetof(IpxHeaderWire, dstSock) == 16 &&
              offsetof(IpxHeaderWire, srcNet) == 18 && offsetof(IpxHeaderWire, srcNode) == 22 &&
              offsetof(IpxHeaderWire, srcSock) == 28);

// The SPX header, right after the IPX header.
struct SpxHeaderWire {
    std::uint8_t control;
    std::uint8_t datastream;
    std::uint8_t srcConn[2];
    std::uint8_t dstConn[2];
    std::uint8_t sequence[2];
    std::uint8_t acknowledge[2];
    std::uint8_t allocation[2];
};
static_assert(sizeof(SpxHeaderWire) == SPX_HEADER && offsetof(SpxHeaderWire, control) == 0 &&
              offsetof(SpxHeaderWire, datastream) == 1 && offsetof(SpxHeaderWire, srcConn) == 2 &&
              offsetof(SpxHeaderWire, dstConn) == 4 && offsetof(SpxHeaderWire, sequence) == 6 &&
              offsetof(SpxHeaderWire, acknowledge) == 8 &&
              offsetof(SpxHeaderWire, allocation) == 10);

// Offsets of the fields inside a whole IPX packet (the filter and the
// connection's in-place updates use them).
inline constexpr std::size_t OFF_LENGTH = offsetof(IpxHeaderWire, length);
inline constexpr std::size_t OFF_PACKET_TYPE = offsetof(IpxHeaderWire, packetType);
inline constexpr std::size_t OFF_DST_NET = offsetof(IpxHeaderWire, dstNet);
inline constexpr std::size_t OFF_DST_SOCK = offsetof(IpxHeaderWire, dstSock);
inline constexpr std::size_t OFF_CONTROL = IPX_HEADER + offsetof(SpxHeaderWire, control);
inline constexpr std::size_t OFF_DST_CONN = IPX_HEADER + offsetof(SpxHeaderWire, dstConn);
inline constexpr std::size_t OFF_ACK = IPX_HEADER + offsetof(SpxHeaderWire, acknowledge);
inline constexpr std::size_t OFF_ALLOC = IPX_HEADER + offsetof(SpxHeaderWire, allocation);

// Why a packet was not taken: by the decoder, or by a connection.
enum class DropReason : std::uint8_t {
    None,        // taken
    Truncated,   // fewer bytes than the headers or than the length field says
    BadChecksum, // checksum field other than 0xFFFF (we neither send nor check sums)
    BadLength,   // length field below 42 (44 with CC_EXTENDED) or above 1500
    NotSpx,      // packet type other than 5
    SystemData,  // a system packet that carries data
    BadFrame,    // the Ethernet frame around it is not of the interface's type
    BadId,       // connection ids or source address not those of this connection
    Duplicate,   // a sequence number already received
    OutOfWindow, // beyond the allocation this end announced
    Unexpected,  // not allowed in the connection's state
    Count
};
const char* DropReasonName(DropReason reason); // "truncated", "duplicate", ...

// A decoded SPX packet; data points into the bytes given to Decode.
struct SpxPacket {
    ipxAddr_t dst{};
    ipxAddr_t src{};
    std::uint8_t control = 0;
    std::uint8_t datastream = DS_DATA;
    std::uint16_t srcConn = 0;
    std::uint16_t dstConn = 0;
    std::uint16_t sequence = 0;
    std::uint16_t acknowledge = 0;
    std::uint16_t allocation = 0;
    std::uint16_t negotiation = 0; // the largest packet the sender takes (CC_EXTENDED only)
    std::span<const std::uint8_t> data;
};

struct Decoded {
    SpxPacket packet;
    DropReason drop = DropReason::None;
    explicit operator bool() const { return drop == DropReason::None; }
};

// Judges one IPX packet. Bytes beyond the length field (Ethernet padding)
// are ignored. Strict: checksum 0xFFFF, packet type 5 only (SPX as NetWare
// sends it; type 0 or 4 is other traffic), length 42 to 1500 and no more than
// the bytes, no data in a system packet (the negotiation size of a packet
// with CC_EXTENDED is header, not data). Transport control is not checked.
Decoded Decode(std::span<const std::uint8_t> ipxBytes);

// Writes packet as IPX + SPX (checksum 0xFFFF, transport control 0, type 5),
// with the negotiation size when its control has CC_EXTENDED, into out.
// Returns the packet's length, or 0 when it would exceed 1500 bytes.
std::size_t Encode(const SpxPacket& packet, std::span<std::uint8_t, MAX_PACKET> out);

// Address helpers.
std::uint32_t NetOf(const ipxAddr_t& a);
std::uint16_t SockOf(const ipxAddr_t& a);
bool SameAddress(const ipxAddr_t& a, const ipxAddr_t& b);

} // namespace spx::ipx
