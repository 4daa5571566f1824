// IPX packets, Ethernet frames, the interface file and the socket filter, against literal bytes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ipx/conf.h"
#include "ipx/filter.h"

using namespace spx::ipx;
using Bytes = std::vector<std::uint8_t>;

// A connection request from 0000ABCD:020000000001:4001 (id 1234) to socket 4500.
// clang-format off
static const Bytes REQUEST = {
    0xFF, 0xFF, 0x00, 0x2A, 0x00, 0x05,                           // checksum, length, tc, type
    0x00, 0x00, 0xAB, 0xCD, 0x02, 0, 0, 0, 0, 0x02, 0x45, 0x00,  // destination
    0x00, 0x00, 0xAB, 0xCD, 0x02, 0, 0, 0, 0, 0x01, 0x40, 0x01,  // source
    0xC0, 0x00, 0x12, 0x34, 0xFF, 0xFF, 0, 0, 0, 0, 0x01, 0xFF}; // SPX
// clang-format on

// REQUEST given a new size (zeros added) and changed at some offsets.
static Bytes With(std::size_t size, std::initializer_list<std::pair<std::size_t, int>> changes) {
    Bytes b = REQUEST;
    b.resize(size);
    for (auto [at, v] : changes)
        b.at(at) = static_cast<std::uint8_t>(v);
    return b;
}

// A data packet of sequence 7 carrying "abc" with end of message, in a padded frame's tail.
static Bytes DataPacket() {
    Bytes b = With(45, {{3, 0x2D}});
    b[30] = CC_EOM, b[34] = 0x56, b[35] = 0x78, b[37] = 7;
    std::copy_n("abc", 3, b.begin() + 42);
    b.resize(60 - 14, 0xEE); // padding after the IPX length
    return b;
}

// Guards against wrong offsets or byte order, padding taken as data, and bad packets let in.
TEST(IpxPacket, DecodesTheseBytesAndDropsTheRest) {
    const Bytes data = DataPacket();
    const Decoded req = Decode(REQUEST), d = Decode(data);
    ASSERT_TRUE(req && d);
    const SpxPacket& p = req.packet;
    EXPECT_TRUE(NetOf(p.dst) == 0xABCD && SockOf(p.dst) == 0x4500 && p.dst.node[5] == 2);
    EXPECT_TRUE(NetOf(p.src) == 0xABCD && SockOf(p.src) == 0x4001 && p.src.node[5] == 1);
    EXPECT_TRUE(p.control == 0xC0 && p.datastream == 0 && p.srcConn == 0x1234 && p.data.empty());
    EXPECT_TRUE(p.dstConn == 0xFFFF && p.sequence == 0 && p.acknowledge == 0 &&
                p.allocation == 0x1FF);
    EXPECT_EQ(std::string(d.packet.data.begin(), d.packet.data.end()), "abc");
    EXPECT_TRUE(d.packet.dstConn == 0x5678 && d.packet.sequence == 7);
    const std::pair<Bytes, DropReason> bad[] = {
        {With(41, {{3, 41}}), DropReason::Truncated},
        {With(42, {{1, 0x00}}), DropReason::BadChecksum},
        {With(42, {{3, 41}}), DropReason::BadLength},
        {With(1510, {{2, 0x05}, {3, 0xDD}}), DropReason::BadLength}, // 1501
        {With(43, {{3, 43}, {30, 0xCD}}), DropReason::BadLength},    // no room for the size
        {With(49, {{3, 50}}), DropReason::Truncated},
        {With(42, {{5, 4}}), DropReason::NotSpx},
        {With(42, {{5, 0}}), DropReason::NotSpx},
        {With(43, {{3, 0x2B}}), DropReason::SystemData},
        {With(45, {{3, 0x2D}, {30, 0xCD}}), DropReason::SystemData}, // past the size
    };
    for (const auto& [bytes, drop] : bad)
        EXPECT_EQ(Decode(bytes).drop, drop) << DropReasonName(drop);
    // Encoding gives the same bytes back; more than 534 bytes of data cannot be encoded.
    std::array<std::uint8_t, MAX_PACKET> out{};
    ASSERT_EQ(Encode(p, out), REQUEST.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 42), REQUEST);
    ASSERT_EQ(Encode(d.packet, out), 45u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 45), Bytes(data.begin(), data.begin() + 45));
    const Bytes tooMuch(MAX_DATA + 1);
    EXPECT_EQ(Encode(SpxPacket{.data = tooMuch}, out), 0u);
    // SPX II's request: its bits, and the negotiation size (1500) after the SPX header.
    const Bytes spx2 = With(44, {{3, 0x2C}, {30, 0xCD}, {42, 0x05}, {43, 0xDC}});
    const Decoded two = Decode(spx2);
    ASSERT_TRUE(two);
    EXPECT_TRUE(two.packet.negotiation == 1500 && two.packet.data.empty());
    ASSERT_EQ(Encode(two.packet, out), 44u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 44), spx2);
}

static constexpr Mac TO = {2, 0, 0, 0, 0, 2}, FROM = {2, 0, 0, 0, 0, 1};
static constexpr FrameType TYPES[] = {FrameType::EthernetII, FrameType::Raw8023, FrameType::Llc8022,
                                      FrameType::Snap};

// A frame of each type as a capture shows it, around ipx (the lengths are REQUEST's, 42 bytes).
static Bytes FrameBytes(FrameType t, const Bytes& ipx) {
    Bytes h = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1};
    const Bytes rest[] = {{0x81, 0x37},
                          {0, 42},
                          {0, 45, 0xE0, 0xE0, 0x03},
                          {0, 50, 0xAA, 0xAA, 0x03, 0, 0, 0, 0x81, 0x37}};
    h.insert(h.end(), rest[static_cast<int>(t)].begin(), rest[static_cast<int>(t)].end());
    h.insert(h.end(), ipx.begin(), ipx.end());
    return h;
}

static Bytes FrameOf(FrameType t, const Bytes& ipx) {
    std::array<std::uint8_t, MAX_FRAME> out{};
    return Bytes(out.begin(), out.begin() + EncodeFrame(t, TO, FROM, ipx, out));
}

// Guards against a wrong header or length field, padding handed up as packet, one type read as
// another.
TEST(IpxFrame, AllFourTypesBothWays) {
    for (FrameType t : TYPES) {
        SCOPED_TRACE(std::string(FrameTypeName(t)));
        Bytes want = FrameBytes(t, REQUEST);
        want.resize(std::max<std::size_t>(want.size(), MIN_FRAME), 0); // padded to 60
        const Bytes frame = FrameOf(t, REQUEST);
        EXPECT_EQ(frame, want);
        const FrameDecoded d = DecodeFrame(t, frame);
        ASSERT_TRUE(d);
        EXPECT_EQ(Bytes(d.ipx.begin(), d.ipx.end()), REQUEST);
        EXPECT_EQ(d.src, FROM);
        for (FrameType other : TYPES)
            EXPECT_EQ(DecodeFrame(other, frame).drop,
                      other == t ? DropReason::None : DropReason::BadFrame);
        const Bytes cut(frame.begin(),
                        frame.begin() + FrameBytes(t, {}).size() + 41); // short of IPX length
        EXPECT_EQ(DecodeFrame(t, cut).drop, DropReason::Truncated);
    }
    EXPECT_EQ(DecodeFrame(FrameType::EthernetII, Bytes(13)).drop, DropReason::Truncated);
    Bytes frame = FrameOf(FrameType::Llc8022, REQUEST); // 802.3 length beyond the frame,
    for (int length : {200, 44}) {                      // or short of the IPX length
        frame[13] = static_cast<std::uint8_t>(length);
        EXPECT_EQ(DecodeFrame(FrameType::Llc8022, frame).drop, DropReason::Truncated);
    }
}

// Guards against an interface file read wrongly, or an error that does not say where and what.
TEST(IpxConf, GoodFileAndEveryError) {
    const auto good = ParseConf("# c\n\n e0\t0000ABCD  ethernet_ii # lan\nveth-a 00000001 802.3\n"
                                "b 0000000a 802.2\r\nc FFFFFFFE snap",
                                "");
    ASSERT_TRUE(std::holds_alternative<std::vector<IpxInterface>>(good)) << std::get<1>(good);
    const auto& l = std::get<0>(good);
    ASSERT_EQ(l.size(), 4u);
    EXPECT_TRUE(l[0].interface == "e0" && l[0].network == 0xABCD && l[2].network == 10);
    EXPECT_TRUE(l[3].network == 0xFFFFFFFE && l[3].frame == FrameType::Snap);
    const std::pair<const char*, const char*> rows[] = {
        {"eth0 0000ABCD", "1: expected 3 fields (interface network frame), found 2"},
        {"\n\neth0 00000000 snap", "3: network 00000000 is reserved"},
        {"eth0 ffffffff snap", "1: network ffffffff is reserved"},
        {"eth0 ABCD snap", "1: network 'ABCD' is not 8 hexadecimal digits"},
        {"eth0 0000ABCG snap", "1: network '0000ABCG' is not 8 hexadecimal digits"},
        {"e 0000ABCD ipx", "1: unknown frame type 'ipx' (ethernet_ii, 802.3, 802.2 or snap)"},
        {"a234567890123456 00000001 snap", "1: bad interface name 'a234567890123456'"},
        {"a/b 00000001 snap", "1: bad interface name 'a/b'"},
        {"\x01 00000001 snap", "1: bad interface name '\\x01'"},
        {"a 00000001 snap\nb 00000001 snap", "2: network 00000001 is listed twice"},
        {"a 00000001 snap\na 00000002 snap", "2: interface a is listed twice"},
    };
    for (const auto& [text, error] : rows) {
        const auto got = ParseConf(text, "/etc/nspx.conf");
        ASSERT_TRUE(std::holds_alternative<std::string>(got)) << text;
        EXPECT_EQ(std::get<std::string>(got), "/etc/nspx.conf:" + std::string(error));
    }
}

// Classic BPF as the kernel runs it: a load past the frame's end drops it.
static std::uint32_t RunFilter(const std::vector<sock_filter>& prog, const Bytes& f, int pkttype) {
    std::uint32_t a = 0;
    for (std::size_t pc = 0; pc < prog.size(); ++pc) {
        const sock_filter& i = prog[pc];
        const std::size_t size = BPF_SIZE(i.code) == BPF_W ? 4 : BPF_SIZE(i.code) == BPF_H ? 2 : 1;
        if (i.code == (BPF_RET | BPF_K))
            return i.k;
        if (BPF_CLASS(i.code) == BPF_JMP) {
            const bool taken = BPF_OP(i.code) == BPF_JEQ ? a == i.k : a > i.k;
            pc += taken ? i.jt : i.jf;
        } else if (i.k == static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)) {
            a = static_cast<std::uint32_t>(pkttype);
        } else if (i.k + size > f.size()) {
            return 0;
        } else {
            a = 0;
            for (std::size_t k = 0; k < size; ++k)
                a = a << 8 | f[i.k + k];
        }
    }
    return 0;
}

// Guards against an endpoint handed frames of other endpoints, types, hosts or our own sends.
TEST(IpxFilter, OnlyTheEndpointsOwnFrames) {
    Bytes data = DataPacket(); // to 0000ABCD, socket 4500, connection 5678
    data.resize(45);
    // packet, kernel packet type (0 host, 3 another host, 4 our own), network, conn id, taken
    const std::tuple<Bytes, int, std::uint32_t, std::optional<std::uint16_t>, bool> rows[] = {
        {REQUEST, 0, 0xABCD, 0xFFFF, true},
        {REQUEST, 0, 0xABCD, std::nullopt, true},
        {data, 0, 0xABCD, 0x5678, true},
        {With(42, {{8, 0}, {9, 0}}), 0, 0xABCD, 0xFFFF, true}, // destination network 0
        {data, 0, 0xABCD, 0xFFFF, false},    // a listener takes connection requests only
        {REQUEST, 0, 0xABCD, 0x5678, false}, // another connection's endpoint
        {REQUEST, 4, 0xABCD, 0xFFFF, false},
        {REQUEST, 3, 0xABCD, 0xFFFF, false},
        {REQUEST, 0, 0xABCE, 0xFFFF, false},
        {With(42, {{17, 1}}), 0, 0xABCD, 0xFFFF, false}, // socket 4501
        {With(42, {{5, 4}}), 0, 0xABCD, 0xFFFF, false},
        {Bytes(REQUEST.begin(), REQUEST.begin() + 34), 0, 0xABCD, 0xFFFF, false}, // no conn id
    };
    for (FrameType t : TYPES)
        for (const auto& [ipx, pkttype, network, conn, taken] : rows) {
            SCOPED_TRACE(std::string(FrameTypeName(t)) + " " + testing::PrintToString(ipx));
            const Bytes frame = FrameBytes(t, ipx);
            EXPECT_EQ(RunFilter(BuildFilter(t, network, 0x4500, conn), frame, pkttype) != 0, taken);
            for (FrameType other : TYPES) // a frame of another type is never taken
                EXPECT_TRUE(other == t ||
                            !RunFilter(BuildFilter(other, network, 0x4500, conn), frame, 0));
            // The stack's two sockets of an interface split what it takes:
            // connection requests to one, every other packet to the other.
            const bool any = RunFilter(BuildInterfaceFilter(t, network), frame, pkttype) != 0;
            const bool whole = ipx.size() >= 36, request = whole && ipx[34] == 0xFF && ipx[35] == 0xFF;
            EXPECT_EQ(RunFilter(BuildInterfaceFilter(t, network, Requests::Only), frame, pkttype) != 0,
                      any && request);
            EXPECT_EQ(RunFilter(BuildInterfaceFilter(t, network, Requests::None), frame, pkttype) != 0,
                      any && whole && !request);
        }
}
