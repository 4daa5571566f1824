// The wire format against literal bytes, so a fault shared by encoder and decoder still shows.
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

// Guards against host order, wrong offsets, over-reads, early judgement, or bad frames accepted.
TEST(Frames, TheseBytesAndNoOthers) {
    struct Case {
        Bytes wire, built; // built: what the encoder makes of the frame, all it should consume
        Phase phase;
        std::uint32_t value; // DATA: length; DISCON: reason; CONNECT, ACCEPT: id << 16 | allocation
    };
    const auto hello = [](FrameType t) { return Of(MakeHandshake(t, {{0x12, 0x34}, {0, 7}})); };
    const Case cases[] = {
        {{0x03, 0x01, 0, 2, 'h', 'i'}, Of(MakeHeader(FRAME_DATA, FRAME_MORE, 2)), Transfer, 2},
        {{0x03, 0, 0xFF, 0xFF}, Of(MakeHeader(FRAME_DATA, 0, 0xFFFF)), Transfer, 0xFFFF},
        {{0x04, 0, 0, 0, 0x03}, Of(MakeHeader(FRAME_ORDREL, 0, 0)), Transfer, 0},
        {{0x05, 0, 0, 4, 1, 2, 3, 4, 0x03}, Of(MakeDiscon(0x01020304)), Accept, 0x01020304},
        {{0x01, 0, 0, 8, 0, 1, 0, 0, 0x12, 0x34, 0, 7}, hello(FRAME_CONNECT), Connect, 0x12340007},
        {{0x02, 0, 0, 8, 0, 1, 0, 0, 0x12, 0x34, 0, 7}, hello(FRAME_ACCEPT), Accept, 0x12340007},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        const auto end = c.wire.begin() + static_cast<long>(c.built.size());
        EXPECT_EQ(c.built, Bytes(c.wire.begin(), end));
        const Decoded d = DecodeFrame(c.wire, c.phase);
        ASSERT_EQ(d.status, Decoded::Frame);
        EXPECT_TRUE(d.type == c.wire[0] && d.flags == c.wire[1]);
        EXPECT_EQ(d.consumed, c.built.size());
        const auto& o = d.options; // read here byte by byte, apart from the provider's helpers
        const unsigned handshake = o.spx_connectionID[0] << 24 | o.spx_connectionID[1] << 16 |
                                   o.spx_allocationNumber[0] << 8 | o.spx_allocationNumber[1];
        const std::uint32_t value[] = {0, handshake, handshake, d.length, 0, d.reason}; // by type
        EXPECT_EQ(value[d.type], c.value);
        for (auto cut = c.wire.begin(); cut < end; ++cut)
            EXPECT_EQ(DecodeFrame({c.wire.begin(), cut}, c.phase).status, Decoded::Incomplete);
    }
    const std::pair<Bytes, Phase> errors[] = {
        {{0x09, 0x00, 0x00, 0x00}, Transfer},               // unknown type
        {{0x03, 0x02, 0x00, 0x00}, Transfer},               // unknown flag
        {{0x04, 0x01, 0x00, 0x00}, Transfer},               // T_MORE on a release
        {{0x04, 0x00, 0x00, 0x01}, Transfer},               // release with a payload
        {{0x05, 0x00, 0x00, 0x02}, Transfer},               // disconnect of the wrong length
        {{0x01, 0x00, 0x00, 0x07}, Connect},                // short CONNECT
        {{0x01, 0, 0, 8, 0, 2, 0, 0, 0, 1, 0, 1}, Connect}, // version 2
        {{0x01, 0, 0, 8, 0, 1, 0, 1, 0, 1, 0, 1}, Connect}, // reserved not zero
        {{0x01, 0x00, 0x00, 0x08}, Transfer},               // a second CONNECT
        {{0x01, 0x00, 0x00, 0x08}, Accept},                 // CONNECT to a caller
        {{0x02, 0x00, 0x00, 0x08}, Connect},                // ACCEPT to a listener
        {{0x02, 0x00, 0x00, 0x08}, Transfer},               // a second ACCEPT
        {{0x03, 0x00, 0x00, 0x00}, Connect},                // data before CONNECT
        {{0x04, 0x00, 0x00, 0x00}, Accept},                 // release before ACCEPT
    };
    for (const auto& [in, phase] : errors)
        EXPECT_EQ(DecodeFrame(in, phase).status, Decoded::Error) << testing::PrintToString(in);
}
