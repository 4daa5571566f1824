// The four Ethernet frame types around an IPX packet.
#include "ipx/frame.h"

#include <algorithm>
#include <cstring>

namespace spx::ipx {
namespace {

constexpr std::array<std::uint8_t, sizeof(LlcHeaderWire)> LLC_IPX = {0xE0, 0xE0, 0x03};
constexpr std::array<std::uint8_t, sizeof(SnapHeaderWire)> LLC_SNAP_IPX = {0xAA, 0xAA, 0x03, 0,
                                                                           0,    0,    0x81, 0x37};

struct TypeInfo {
    std::string_view name;
    std::size_t header;
    std::span<const std::uint8_t> llc; // after the length field; empty for II and raw
};

const TypeInfo& Info(FrameType type) {
    static const TypeInfo infos[] = {
        {"ethernet_ii", ETH_HEADER, {}},
        {"802.3", ETH_HEADER, {}},
        {"802.2", ETH_HEADER + LLC_IPX.size(), LLC_IPX},
        {"snap", ETH_HEADER + LLC_SNAP_IPX.size(), LLC_SNAP_IPX},
    };
    return infos[static_cast<std::size_t>(type) & 3];
}

} // namespace

std::string_view FrameTypeName(FrameType type) {
    return Info(type).name;
}

std::optional<FrameType> FrameTypeByName(std::string_view name) {
    for (auto t : {FrameType::EthernetII, FrameType::Raw8023, FrameType::Llc8022, FrameType::Snap})
        if (Info(t).name == name)
            return t;
    return std::nullopt;
}

std::size_t FrameHeaderSize(FrameType type) {
    return Info(type).header;
}

std::size_t EncodeFrameHeader(FrameType type, const Mac& dst, const Mac& src, std::size_t ipxLength,
                              std::span<std::uint8_t, MAX_FRAME_HEADER> out) {
    const TypeInfo& info = Info(type);
    std::copy(dst.begin(), dst.end(), out.begin());
    std::copy(src.begin(), src.end(), out.begin() + offsetof(EthHeaderWire, src));
    const std::size_t typeOrLength =
        type == FrameType::EthernetII ? ETHERTYPE_IPX : info.llc.size() + ipxLength;
    PutBE16(out.subspan<OFF_TYPE_OR_LENGTH, 2>(), static_cast<std::uint16_t>(typeOrLength));
    std::copy(info.llc.begin(), info.llc.end(), out.begin() + ETH_HEADER);
    return info.header;
}

std::size_t FramePadding(FrameType type, std::size_t ipxLength) {
    const std::size_t frame = FrameHeaderSize(type) + ipxLength;
    return frame < MIN_FRAME ? MIN_FRAME - frame : 0;
}

std::size_t EncodeFrame(FrameType type, const Mac& dst, const Mac& src,
                        std::span<const std::uint8_t> ipxPacket,
                        std::span<std::uint8_t, MAX_FRAME> out) {
    if (ipxPacket.size() > MAX_PACKET)
        return 0;
    const std::size_t h =
        EncodeFrameHeader(type, dst, src, ipxPacket.size(), out.first<MAX_FRAME_HEADER>());
    std::copy(ipxPacket.begin(), ipxPacket.end(), out.begin() + h);
    const std::size_t pad = FramePadding(type, ipxPacket.size());
    std::fill_n(out.begin() + h + ipxPacket.size(), pad, 0);
    return h + ipxPacket.size() + pad;
}

FrameDecoded DecodeFrame(FrameType type, std::span<const std::uint8_t> frame) {
    FrameDecoded d;
    const TypeInfo& info = Info(type);
    if (frame.size() < ETH_HEADER)
        return {{}, {}, DropReason::Truncated};
    std::copy_n(frame.begin() + offsetof(EthHeaderWire, src), d.src.size(), d.src.begin());
    const std::uint16_t typeOrLength = GetBE16(frame.subspan<OFF_TYPE_OR_LENGTH, 2>());
    std::span<const std::uint8_t> payload = frame.subspan(ETH_HEADER);
    if (type == FrameType::EthernetII) {
        if (typeOrLength != ETHERTYPE_IPX)
            return {{}, d.src, DropReason::BadFrame};
    } else {
        if (typeOrLength > MAX_8023_LENGTH)
            return {{}, d.src, DropReason::BadFrame};
        if (typeOrLength > payload.size())
            return {{}, d.src, DropReason::Truncated};
        payload = payload.first(typeOrLength);
        if (payload.size() < info.llc.size())
            return {{}, d.src, DropReason::Truncated};
        if (!std::equal(info.llc.begin(), info.llc.end(), payload.begin()))
            return {{}, d.src, DropReason::BadFrame};
        payload = payload.subspan(info.llc.size());
        // Raw 802.3 is told from 802.2 by the IPX checksum FFFF where the LLC would be.
        if (type == FrameType::Raw8023 &&
            (payload.size() < 2 || payload[0] != 0xFF || payload[1] != 0xFF))
            return {{}, d.src, payload.size() < 2 ? DropReason::Truncated : DropReason::BadFrame};
    }
    if (payload.size() < IPX_HEADER)
        return {{}, d.src, DropReason::Truncated};
    const std::size_t ipxLength = GetBE16(payload.subspan<OFF_LENGTH, 2>());
    if (ipxLength > payload.size())
        return {{}, d.src, DropReason::Truncated};
    d.ipx = payload.first(std::max<std::size_t>(ipxLength, IPX_HEADER));
    return d;
}

} // namespace spx::ipx
