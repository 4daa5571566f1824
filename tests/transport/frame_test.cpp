// The frame decoder: judges exactly the bytes it is given, never more, and
// accepts only the frames the phase allows.
#include <gtest/gtest.h>

#include <vector>

#include "frame.h"

using namespace spx;

namespace {

Decoded Decode(std::vector<unsigned char> bytes, Phase phase = Phase::Transfer) {
    return DecodeFrame({bytes.data(), bytes.size()}, phase);
}

std::vector<unsigned char> Bytes(const void* p, std::size_t n) {
    auto* b = static_cast<const unsigned char*>(p);
    return {b, b + n};
}

} // namespace

// Guards against judging a frame before all of its header (or the payload
// of a fixed-size frame) is there.
TEST(FrameDecoder, EveryTruncationIsIncomplete) {
    SPX_OPTS o{{0x12, 0x34}, {0x00, 0x07}};
    auto hello = MakeHandshake(FRAME_CONNECT, o);
    auto bytes = Bytes(&hello, sizeof hello);
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_EQ(Decode({bytes.begin(), bytes.begin() + static_cast<long>(n)}, Phase::Connect).status,
                  Decoded::Incomplete)
            << n;
    Decoded d = Decode(bytes, Phase::Connect);
    ASSERT_EQ(d.status, Decoded::Frame);
    EXPECT_EQ(d.consumed, sizeof hello);
    EXPECT_EQ(GetBE16(d.options.spx_connectionID), 0x1234);
    EXPECT_EQ(GetBE16(d.options.spx_allocationNumber), 7);
}

TEST(FrameDecoder, DataHeadersCarryLengthAndMoreFlag) {
    Decoded d = Decode({0x03, 0x01, 0xFF, 0xFF});
    ASSERT_EQ(d.status, Decoded::Frame);
    EXPECT_EQ(d.length, 0xFFFF);
    EXPECT_EQ(d.flags, FRAME_MORE);
    EXPECT_EQ(d.consumed, FRAME_HEADER) << "a DATA payload is not part of the judgement";
    auto bye = MakeDiscon(237);
    d = Decode(Bytes(&bye, sizeof bye));
    ASSERT_EQ(d.status, Decoded::Frame);
    EXPECT_EQ(d.reason, 237u);
}

// Guards against frames of the wrong phase, flags or length being accepted.
TEST(FrameDecoder, FramesOutOfPlaceAreErrors) {
    auto hello = MakeHandshake(FRAME_CONNECT, SPX_OPTS{});
    EXPECT_EQ(Decode(Bytes(&hello, sizeof hello), Phase::Transfer).status, Decoded::Error);
    EXPECT_EQ(Decode(Bytes(&hello, sizeof hello), Phase::Accept).status, Decoded::Error);
    EXPECT_EQ(Decode({0x03, 0, 0, 0}, Phase::Connect).status, Decoded::Error);
    EXPECT_EQ(Decode({0x04, 0x01, 0, 0}).status, Decoded::Error);
    EXPECT_EQ(Decode({0x01, 0, 0, 7}, Phase::Connect).status, Decoded::Error);
    hello.payload.reserved[1] = 1;
    EXPECT_EQ(Decode(Bytes(&hello, sizeof hello), Phase::Connect).status, Decoded::Error);
    EXPECT_EQ(Decode({0x00, 0, 0, 0}).status, Decoded::Error);
}
