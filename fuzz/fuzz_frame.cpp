// Fuzz target for the frame decoder (the input in every phase, in pieces) and the builders.
#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include <spx/wire.h>

#include "check.h"

using namespace spx;
static_assert(std::has_unique_object_representations_v<Decoded>); // compared with memcmp

// A piece read past, consumed while Incomplete or judged unlike the whole; a frame overlong.
static Decoded Judge(std::span<const unsigned char> bytes, Phase phase) {
    const Decoded whole = DecodeFrame(bytes, phase);
    for (std::size_t n = 0; n <= std::min<std::size_t>(bytes.size(), 16); ++n) {
        const Decoded d = DecodeFrame(std::vector(bytes.begin(), bytes.begin() + n), phase);
        CHECK(d.status == d.Incomplete ? d.consumed == 0 : std::memcmp(&d, &whole, sizeof d) == 0);
    }
    CHECK(whole.status != Decoded::Frame ||
          whole.consumed == FRAME_HEADER + (whole.type == FRAME_DATA ? 0 : whole.length));
    return whole;
}

// A frame the builders made that does not decode to itself.
template <class Frame> static Decoded Built(const Frame& frame, Phase phase) {
    const Decoded d = Judge({reinterpret_cast<const unsigned char*>(&frame), sizeof frame}, phase);
    CHECK(d.status == Decoded::Frame && d.consumed == sizeof frame);
    return d;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (Phase phase : {Phase::Connect, Phase::Accept, Phase::Transfer})
        Judge({data, size}, phase);
    std::uint32_t w = 0;
    std::memcpy(&w, data, std::min(size, sizeof w));
    const auto opts = [w](auto d) { return std::bit_cast<std::uint32_t>(d.options) == w; };
    CHECK(opts(Built(MakeHandshake(FRAME_CONNECT, std::bit_cast<SPX_OPTS>(w)), Phase::Connect)));
    CHECK(opts(Built(MakeHandshake(FRAME_ACCEPT, std::bit_cast<SPX_OPTS>(w)), Phase::Accept)));
    CHECK(Built(MakeDiscon(w), Phase::Transfer).reason == w);
    const Decoded h = Built(MakeHeader(FRAME_DATA, w & FRAME_MORE, w >> 16), Phase::Transfer);
    CHECK(h.type == FRAME_DATA && h.flags == (w & FRAME_MORE) && h.length == w >> 16);
    return 0;
}
