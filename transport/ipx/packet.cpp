// The IPX and SPX headers: decoding what came off the wire, encoding ours.
#include "ipx/packet.h"

#include <algorithm>
#include <cstring>

namespace spx::ipx {
namespace {

using Bytes = std::span<const std::uint8_t>;

template <std::size_t N> std::span<const std::uint8_t, N> At(Bytes b, std::size_t off) {
    return b.subspan(off).first<N>();
}

ipxAddr_t AddressAt(Bytes b, std::size_t off) {
    ipxAddr_t a;
    std::memcpy(&a, At<sizeof a>(b, off).data(), sizeof a);
    return a;
}

void PutAddress(std::uint8_t (&net)[4], std::uint8_t (&node)[6], std::uint8_t (&sock)[2],
                const ipxAddr_t& a) {
    std::memcpy(net, a.net, sizeof net);
    std::memcpy(node, a.node, sizeof node);
    std::memcpy(sock, a.sock, sizeof sock);
}

} // namespace

const char* DropReasonName(DropReason reason) {
    static constexpr const char* names[] = {
        "taken",
        "truncated",
        "bad checksum field",
        "bad length field",
        "not SPX",
        "data in a system packet",
        "not an IPX frame of this type",
        "bad connection id",
        "duplicate",
        "out of window",
        "unexpected",
    };
    static_assert(std::size(names) == static_cast<std::size_t>(DropReason::Count));
    const auto i = static_cast<std::size_t>(reason);
    return i < std::size(names) ? names[i] : "?";
}

Decoded Decode(Bytes b) {
    Decoded d;
    if (b.size() < IPX_HEADER + SPX_HEADER)
        return {{}, DropReason::Truncated};
    if (GetBE16(At<2>(b, offsetof(IpxHeaderWire, checksum))) != NO_CHECKSUM)
        return {{}, DropReason::BadChecksum};
    const std::size_t length = GetBE16(At<2>(b, OFF_LENGTH));
    if (length < IPX_HEADER + SPX_HEADER || length > MAX_PACKET)
        return {{}, DropReason::BadLength};
    if (length > b.size())
        return {{}, DropReason::Truncated};
    if (b[OFF_PACKET_TYPE] != PACKET_TYPE_SPX)
        return {{}, DropReason::NotSpx};
    SpxPacket& p = d.packet;
    p.dst = AddressAt(b, offsetof(IpxHeaderWire, dstNet));
    p.src = AddressAt(b, offsetof(IpxHeaderWire, srcNet));
    const Bytes spx = b.subspan(IPX_HEADER);
    p.control = spx[offsetof(SpxHeaderWire, control)];
    p.datastream = spx[offsetof(SpxHeaderWire, datastream)];
    p.srcConn = GetBE16(At<2>(spx, offsetof(SpxHeaderWire, srcConn)));
    p.dstConn = GetBE16(At<2>(spx, offsetof(SpxHeaderWire, dstConn)));
    p.sequence = GetBE16(At<2>(spx, offsetof(SpxHeaderWire, sequence)));
    p.acknowledge = GetBE16(At<2>(spx, offsetof(SpxHeaderWire, acknowledge)));
    p.allocation = GetBE16(At<2>(spx, offsetof(SpxHeaderWire, allocation)));
    std::size_t header = IPX_HEADER + SPX_HEADER;
    if (p.control & CC_EXTENDED) {
        if (length < header + NEGOTIATION_FIELD)
            return {{}, DropReason::BadLength};
        p.negotiation = GetBE16(At<2>(b, header));
        header += NEGOTIATION_FIELD;
    }
    p.data = b.subspan(header, length - header);
    if ((p.control & CC_SYSTEM) && !p.data.empty())
        return {{}, DropReason::SystemData};
    return d;
}

std::size_t Encode(const SpxPacket& p, std::span<std::uint8_t, MAX_PACKET> out) {
    const std::size_t header =
        IPX_HEADER + SPX_HEADER + (p.control & CC_EXTENDED ? NEGOTIATION_FIELD : 0);
    if (p.data.size() > MAX_PACKET - header)
        return 0;
    const std::size_t length = header + p.data.size();
    IpxHeaderWire ipx{};
    PutBE16(ipx.checksum, NO_CHECKSUM);
    PutBE16(ipx.length, static_cast<std::uint16_t>(length));
    ipx.packetType = PACKET_TYPE_SPX;
    PutAddress(ipx.dstNet, ipx.dstNode, ipx.dstSock, p.dst);
    PutAddress(ipx.srcNet, ipx.srcNode, ipx.srcSock, p.src);
    SpxHeaderWire spx{};
    spx.control = p.control;
    spx.datastream = p.datastream;
    PutBE16(spx.srcConn, p.srcConn);
    PutBE16(spx.dstConn, p.dstConn);
    PutBE16(spx.sequence, p.sequence);
    PutBE16(spx.acknowledge, p.acknowledge);
    PutBE16(spx.allocation, p.allocation);
    std::memcpy(out.data(), &ipx, sizeof ipx);
    std::memcpy(out.data() + IPX_HEADER, &spx, sizeof spx);
    if (p.control & CC_EXTENDED)
        PutBE16(out.subspan<IPX_HEADER + SPX_HEADER, NEGOTIATION_FIELD>(), p.negotiation);
    std::copy(p.data.begin(), p.data.end(), out.begin() + static_cast<std::ptrdiff_t>(header));
    return length;
}

std::uint32_t NetOf(const ipxAddr_t& a) {
    return GetBE32(a.net);
}
std::uint16_t SockOf(const ipxAddr_t& a) {
    return GetBE16(a.sock);
}
bool SameAddress(const ipxAddr_t& a, const ipxAddr_t& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace spx::ipx
