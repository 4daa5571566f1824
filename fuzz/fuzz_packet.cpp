// Fuzz target for the IPX carrier: a frame of each type and the packet in it, then the input as
// a run of packets (2-byte length, bytes) into an established SPX connection.
#include <algorithm>
#include <cstring>

#include <spx/tiuser.h>

#include "check.h"
#include "ipx/frame.h"
#include "ipx/spx_connection.h"

using namespace spx::ipx;

// A packet that does not encode back to itself (reads past the bytes: the sanitizer's).
static void Packet(std::span<const std::uint8_t> frame) {
    for (auto type :
         {FrameType::EthernetII, FrameType::Raw8023, FrameType::Llc8022, FrameType::Snap}) {
        const FrameDecoded f = DecodeFrame(type, frame);
        if (!f)
            continue;
        const Decoded d = Decode(f.ipx);
        if (!d)
            continue;
        std::array<std::uint8_t, MAX_PACKET> out{};
        CHECK(Encode(d.packet, out) == f.ipx.size());
        out[4] = f.ipx[4]; // transport control: we send 0
        CHECK(std::equal(f.ipx.begin(), f.ipx.end(), out.begin()));
    }
}

// A connection that crashes, delivers more than was asked, or loses its timers.
static void Connection(std::span<const std::uint8_t> in) {
    const ipxAddr_t caller{{0, 0, 0, 1}, {2, 0, 0, 0, 0, 1}, {0x40, 0x01}};
    const ipxAddr_t answerer{{0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, {0x40, 0x02}};
    Time now{};
    const SpxPacket request{.src = caller, .control = 0xC0, .srcConn = 0x1111, .dstConn = 0xFFFF};
    auto c = *SpxConnection::Answer(answerer, request, 0x2222, {.window = 8}, now);
    while (in.size() >= 3) {
        const std::size_t n = std::min<std::size_t>(in[0] << 8 | in[1], in.size() - 3);
        const std::uint8_t how = in[2];
        Decoded d = Decode(in.subspan(3, n)); // Input keeps nothing of the bytes
        in = in.subspan(3 + n);
        if (!d)
            continue;
        if (how & 1) // ours: past the address and id checks
            d.packet.src = caller, d.packet.srcConn = 0x1111, d.packet.dstConn = 0x2222;
        c.Input(d.packet, now);
        now += std::chrono::milliseconds(how >> 1 << 4);
        c.Tick(now);
        std::array<std::uint8_t, 64> buf;
        bool more = false;
        using Event = SpxConnection::Event;
        while (c.Next() == Event::Data)
            CHECK(c.Take(std::span(buf).first(how % 63 + 1), more) <= how % 63 + 1u);
        if (c.Next() == Event::Release)
            c.TakeRelease();
        if (how & 0x80)
            c.SendUnit(std::span(buf).first(how % 64), how & 0x40, now);
        for (auto out = c.PopOutput(now); !out.empty(); out = c.PopOutput(now))
            CHECK(Decode(out) && out.size() <= MAX_PACKET);
        CHECK(c.NextDeadline() || c.Quiescent());
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Packet({data, size});
    Connection({data, size});
    return 0;
}
