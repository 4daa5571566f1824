#include <spx/wire.h>

namespace spx {

namespace {

// The handshake and DISCON payloads have one fixed length each; DATA any.
bool LengthFits(std::uint8_t type, std::uint16_t length) {
    switch (type) {
    case FRAME_CONNECT:
    case FRAME_ACCEPT:
        return length == HANDSHAKE_PAYLOAD;
    case FRAME_DISCON:
        return length == DISCON_PAYLOAD;
    case FRAME_ORDREL:
        return length == 0;
    default:
        return true;
    }
}

bool Allowed(std::uint8_t type, Phase phase) {
    switch (phase) {
    case Phase::Connect:
        return type == FRAME_CONNECT;
    case Phase::Accept:
        return type == FRAME_ACCEPT || type == FRAME_DISCON;
    case Phase::Transfer:
        return type == FRAME_DATA || type == FRAME_ORDREL || type == FRAME_DISCON;
    }
    return false;
}

} // namespace

Decoded DecodeFrame(std::span<const unsigned char> bytes, Phase phase) {
    Decoded d;
    if (bytes.size() < FRAME_HEADER)
        return d;
    d.type = bytes[0];
    d.flags = bytes[1];
    d.length = GetBE16(bytes.subspan<2, 2>());
    const std::uint8_t allowedFlags = d.type == FRAME_DATA ? FRAME_MORE : 0;
    if (!Allowed(d.type, phase) || (d.flags & ~allowedFlags) != 0 ||
        !LengthFits(d.type, d.length)) {
        d.status = Decoded::Error;
        return d;
    }
    d.consumed = FRAME_HEADER;
    if (d.type == FRAME_DATA || d.type == FRAME_ORDREL) {
        d.status = Decoded::Frame;
        return d;
    }
    if (bytes.size() < FRAME_HEADER + d.length)
        return Decoded{};
    auto payload = bytes.subspan(FRAME_HEADER, d.length);
    d.consumed += d.length;
    if (d.type == FRAME_DISCON) {
        d.reason = GetBE32(payload.first<4>());
    } else {
        if (GetBE16(payload.first<2>()) != PROTOCOL_VERSION ||
            GetBE16(payload.subspan<2, 2>()) != 0) {
            d.status = Decoded::Error;
            d.consumed = 0;
            return d;
        }
        auto opts = payload.subspan<4, 4>();
        d.options.spx_connectionID[0] = opts[0];
        d.options.spx_connectionID[1] = opts[1];
        d.options.spx_allocationNumber[0] = opts[2];
        d.options.spx_allocationNumber[1] = opts[3];
    }
    d.status = Decoded::Frame;
    return d;
}

FrameHeader MakeHeader(FrameType type, std::uint8_t flags, std::uint16_t length) {
    FrameHeader h{};
    h.type = type;
    h.flags = flags;
    PutBE16(h.length, length);
    return h;
}

HandshakeFrame MakeHandshake(FrameType type, const SPX_OPTS& options) {
    HandshakeFrame f{};
    f.header = MakeHeader(type, 0, HANDSHAKE_PAYLOAD);
    PutBE16(f.payload.version, PROTOCOL_VERSION);
    PutBE16(f.payload.reserved, 0);
    f.payload.options = options;
    return f;
}

DisconFrame MakeDiscon(std::uint32_t reason) {
    DisconFrame f{};
    f.header = MakeHeader(FRAME_DISCON, 0, DISCON_PAYLOAD);
    PutBE32(f.reason, reason);
    return f;
}

} // namespace spx
