// Fuzz target for the frame decoder and the read-ahead of a connection:
// arbitrary bytes from a peer must never be read past, never make the
// receiver allocate, and must end in data, releases or one disconnect.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>

#include <spx/tiuser.h>

#include "endpoint.h"
#include <spx/wire.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const unsigned char> bytes(data, size);

    // The decoder alone, in every phase, frame after frame.
    for (auto phase : {spx::Phase::Connect, spx::Phase::Accept, spx::Phase::Transfer}) {
        auto rest = bytes;
        while (!rest.empty()) {
            spx::Decoded d = spx::DecodeFrame(rest, phase);
            if (d.status != spx::Decoded::Frame)
                break;
            std::size_t step = d.consumed + (d.type == spx::FRAME_DATA ? d.length : 0);
            if (d.consumed > rest.size())
                std::abort();
            if (step > rest.size())
                break;
            rest = rest.subspan(step);
        }
    }

    // The read-ahead, fed the bytes as a peer would send them, in pieces,
    // with the program taking what is ready after each; then the end of the
    // stream, which must come to exactly one disconnect.
    spx::Inbound in;
    in.Reset();
    unsigned char out[534];
    auto drain = [&](bool toEnd) {
        for (int steps = 0; steps < 1'000'000; ++steps) {
            int ev = in.Peek();
            if (ev == T_DATA) {
                int flags = 0;
                in.TakeData(out, flags);
            } else if (ev == T_ORDREL) {
                in.TakeOrdRel();
            } else if (ev == T_DISCONNECT) {
                in.TakeDisconnect();
                return true;
            } else if (toEnd) {
                std::abort(); // an ended stream always comes to its disconnect
            } else {
                return false;
            }
        }
        std::abort();
    };
    std::size_t cut = size > 0 ? data[0] % 97 + 1 : 1;
    for (std::size_t off = 0; off < size; off += cut) {
        in.Preload(bytes.subspan(off, std::min(cut, size - off)));
        if (drain(false))
            return 0;
    }
    in.EndStream(SPX_DISCON_TERMINATED);
    drain(true);
    return 0;
}
