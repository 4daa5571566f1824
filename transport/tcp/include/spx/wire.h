// The wire format of the provider: the frames that carry an SPX connection
// over TCP. Any two implementations of the provider interoperate through it.
//
// Every byte on the TCP connection belongs to a frame: type (1 byte), flags
// (1 byte), payload length (2 bytes, big-endian), payload. This header holds
// the layout and a decoder that judges one frame header at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <spx/byteorder.h>
#include <spx/ipx.h>

namespace spx {

enum FrameType : std::uint8_t {
    FRAME_CONNECT = 0x01, // caller's first frame
    FRAME_ACCEPT = 0x02,  // listener's answer
    FRAME_DATA = 0x03,    // one unit, or a piece of a unit over 65535 bytes
    FRAME_ORDREL = 0x04,  // orderly release
    FRAME_DISCON = 0x05,  // disconnect, with a reason
};

inline constexpr std::uint8_t FRAME_MORE = 0x01; // the only flag: T_MORE
inline constexpr std::size_t FRAME_HEADER = 4;
inline constexpr std::size_t FRAME_MAX_PAYLOAD = 0xFFFF;
inline constexpr std::size_t HANDSHAKE_PAYLOAD = 8; // CONNECT and ACCEPT
inline constexpr std::size_t DISCON_PAYLOAD = 4;
inline constexpr std::uint16_t PROTOCOL_VERSION = 1;

// Frame header as it stands on the wire.
struct FrameHeader {
    unsigned char type;
    unsigned char flags;
    unsigned char length[2];
};
static_assert(sizeof(FrameHeader) == FRAME_HEADER &&
              offsetof(FrameHeader, type) == 0 &&
              offsetof(FrameHeader, flags) == 1 &&
              offsetof(FrameHeader, length) == 2);

// Payload of CONNECT and ACCEPT.
struct HandshakePayload {
    unsigned char version[2];
    unsigned char reserved[2];
    SPX_OPTS options;
};
static_assert(sizeof(HandshakePayload) == HANDSHAKE_PAYLOAD &&
              offsetof(HandshakePayload, version) == 0 &&
              offsetof(HandshakePayload, reserved) == 2 &&
              offsetof(HandshakePayload, options) == 4);

// A whole handshake frame (CONNECT or ACCEPT).
struct HandshakeFrame {
    FrameHeader header;
    HandshakePayload payload;
};
static_assert(sizeof(HandshakeFrame) == FRAME_HEADER + HANDSHAKE_PAYLOAD);

// A whole DISCON frame.
struct DisconFrame {
    FrameHeader header;
    unsigned char reason[4];
};
static_assert(sizeof(DisconFrame) == FRAME_HEADER + DISCON_PAYLOAD);

// Which frames may come next on a connection.
enum class Phase {
    Connect,  // a listener waits for the caller's CONNECT
    Accept,   // a caller waits for ACCEPT or DISCON
    Transfer, // DATA, ORDREL, DISCON
};

// What the bytes at the front of a stream say.
struct Decoded {
    enum Status { Incomplete, Frame, Error } status = Incomplete;
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::uint16_t length = 0; // payload length
    // Bytes the decoder judged: the header, plus the payload for handshake and
    // DISCON frames (whose payload it checks). DATA payload is not included.
    std::size_t consumed = 0;
    std::uint32_t reason = 0;  // DISCON
    SPX_OPTS options{};        // CONNECT, ACCEPT
};

// Judges the frame at the front of bytes in the given phase. Never reads
// past bytes; Incomplete when more bytes are needed to judge.
Decoded DecodeFrame(std::span<const unsigned char> bytes, Phase phase);

// Builders of the frames the provider sends.
FrameHeader MakeHeader(FrameType type, std::uint8_t flags, std::uint16_t length);
HandshakeFrame MakeHandshake(FrameType type, const SPX_OPTS& options);
DisconFrame MakeDiscon(std::uint32_t reason);

} // namespace spx
