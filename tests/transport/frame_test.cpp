// The wire format against literal byte captures: frames encode to exactly
// these bytes and these bytes decode to exactly these frames, so a byte-order
// or offset fault shared by the encoder and the decoder still shows.
#include <gtest/gtest.h>

#include <vector>

#include <spx/wire.h>

using namespace spx;
using enum spx::Phase;
using Bytes = std::vector<unsigned char>;

template <typename Frame> static Bytes Of(const Frame& f) {
    auto* p = reinterpret_cast<const unsigned char*>(&f);
    return {p, p + sizeof f};
}
static Decoded Decode(const Bytes& b, Phase p) {
    return DecodeFrame({b.data(), b.size()}, p);
}
const SPX_OPTS kOpts{{0x12, 0x34}, {0x00, 0x07}}; // connection id 0x1234, allocation 7

// Guards against fields written or read in host order or at the wrong offset,
// against the decoder reading past the frame (a DATA payload is the caller's),
// and against judging a frame before its header, or all of a fixed-size frame,
// is there: every shorter prefix is Incomplete.
TEST(Frames, EncodeToAndDecodeFromTheseBytes) {
    struct Case {
        Bytes wire, built; // built: what the encoder makes of the frame (DATA: its header)
        Phase phase;
        std::size_t consumed;
        std::uint32_t value; // DATA: length; DISCON: reason; CONNECT, ACCEPT: id << 16 | allocation
    };
    const Bytes connect = Of(MakeHandshake(FRAME_CONNECT, kOpts));
    const Bytes accept = Of(MakeHandshake(FRAME_ACCEPT, kOpts));
    const Case cases[] = {
        {{0x03, 0x01, 0, 2, 'h', 'i'}, Of(MakeHeader(FRAME_DATA, FRAME_MORE, 2)), Transfer, 4, 2},
        {{0x03, 0, 0x12, 0x34}, Of(MakeHeader(FRAME_DATA, 0, 0x1234)), Transfer, 4, 0x1234},
        {{0x03, 0, 0xFF, 0xFF}, Of(MakeHeader(FRAME_DATA, 0, 0xFFFF)), Transfer, 4, 0xFFFF},
        {{0x04, 0, 0, 0, 0x03}, Of(MakeHeader(FRAME_ORDREL, 0, 0)), Transfer, 4, 0},
        {{0x05, 0, 0, 4, 0, 0, 0, 0xED, 0x03}, Of(MakeDiscon(237)), Transfer, 8, 237},
        {{0x05, 0, 0, 4, 1, 2, 3, 4}, Of(MakeDiscon(0x01020304)), Accept, 8, 0x01020304},
        {{0x01, 0, 0, 8, 0, 1, 0, 0, 0x12, 0x34, 0, 7}, connect, Connect, 12, 0x12340007},
        {{0x02, 0, 0, 8, 0, 1, 0, 0, 0x12, 0x34, 0, 7}, accept, Accept, 12, 0x12340007},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        EXPECT_EQ(c.built, Bytes(c.wire.begin(), c.wire.begin() + static_cast<long>(c.consumed)));
        const Decoded d = Decode(c.wire, c.phase);
        ASSERT_EQ(d.status, Decoded::Frame);
        EXPECT_EQ(d.type, c.wire[0]);
        EXPECT_EQ(d.flags, c.wire[1]);
        EXPECT_EQ(d.consumed, c.consumed);
        const auto& o = d.options; // read here byte by byte, apart from the provider's helpers
        const unsigned handshake = o.spx_connectionID[0] << 24 | o.spx_connectionID[1] << 16 |
                                   o.spx_allocationNumber[0] << 8 | o.spx_allocationNumber[1];
        const std::uint32_t value[] = {0, handshake, handshake, d.length, 0, d.reason}; // by type
        EXPECT_EQ(value[d.type], c.value);
        for (auto end = c.wire.begin(); end < c.wire.begin() + static_cast<long>(c.consumed); ++end)
            EXPECT_EQ(Decode({c.wire.begin(), end}, c.phase).status, Decoded::Incomplete);
    }
}

// Guards against a frame of the wrong type, phase, flags, length, version or
// reserved field being accepted, judged on as few bytes as say it is wrong.
TEST(Frames, BadFramesAreErrors) {
    const std::pair<Bytes, Phase> cases[] = {
        {{0x09, 0x00, 0x00, 0x00}, Transfer},               // unknown type
        {{0x03, 0x02, 0x00, 0x00}, Transfer},               // unknown flag
        {{0x04, 0x01, 0x00, 0x00}, Transfer},               // T_MORE on a release
        {{0x04, 0x00, 0x00, 0x01}, Transfer},               // release with a payload
        {{0x05, 0x00, 0x00, 0x02}, Transfer},               // disconnect of the wrong length
        {{0x05, 0x00, 0x04, 0x00}, Transfer},               // its length in host order
        {{0x01, 0x00, 0x00, 0x07}, Connect},                // short CONNECT
        {{0x01, 0, 0, 8, 0, 2, 0, 0, 0, 1, 0, 1}, Connect}, // version 2
        {{0x01, 0, 0, 8, 1, 0, 0, 0, 0, 1, 0, 1}, Connect}, // version 1 in host order
        {{0x01, 0, 0, 8, 0, 1, 0, 1, 0, 1, 0, 1}, Connect}, // reserved not zero
        {{0x01, 0x00, 0x00, 0x08}, Transfer},               // a second CONNECT
        {{0x01, 0x00, 0x00, 0x08}, Accept},                 // CONNECT to a caller
        {{0x02, 0x00, 0x00, 0x08}, Connect},                // ACCEPT to a listener
        {{0x02, 0x00, 0x00, 0x08}, Transfer},               // a second ACCEPT
        {{0x03, 0x00, 0x00, 0x00}, Connect},                // data before CONNECT
        {{0x04, 0x00, 0x00, 0x00}, Accept},                 // release before ACCEPT
    };
    for (const auto& [in, phase] : cases)
        EXPECT_EQ(Decode(in, phase).status, Decoded::Error) << testing::PrintToString(in);
}
