// Units and T_MORE: what one side sends arrives with the same bytes, unit
// boundaries and flags, however the receiver cuts its reads.
#include <fcntl.h>
#include <spx/stropts.h>

#include <random>

#include "harness.h"
#include "provider.h"

using namespace provider_test;

namespace {

struct Piece {
    std::string data;
    int flags;
};

Piece Receive(int fd, unsigned max) {
    std::vector<char> buf(max + 1);
    int flags = -1;
    int n = t_rcv(fd, buf.data(), max, &flags);
    EXPECT_GE(n, 0) << "t_errno " << t_errno;
    return {std::string(buf.data(), static_cast<std::size_t>(std::max(n, 0))), flags};
}

} // namespace

// Guards against zero-length units being dropped or merged with the next.
TEST(Units, ZeroLengthUnitsAreDeliveredAsSuch) {
    Pair p;
    ASSERT_EQ(t_snd(p.client, "", 0, T_MORE), 0);
    ASSERT_EQ(t_snd(p.client, "x", 1, T_MORE), 1);
    ASSERT_EQ(t_snd(p.client, nullptr, 0, 0), 0);
    Piece a = Receive(p.server, 534);
    EXPECT_EQ(a.data, "");
    EXPECT_EQ(a.flags, T_MORE);
    Piece b = Receive(p.server, 534);
    EXPECT_EQ(b.data, "x");
    EXPECT_EQ(b.flags, T_MORE);
    Piece c = Receive(p.server, 534);
    EXPECT_EQ(c.data, "");
    EXPECT_EQ(c.flags, 0);
}

// Guards against a unit larger than the reader's buffer losing bytes or
// reporting its end too early.
TEST(Units, LongUnitArrivesOverSeveralReceivesWithTMoreUntilItsLastPiece) {
    Pair p;
    std::string unit = harness::Pattern(1024);
    ASSERT_EQ(t_snd(p.client, unit.data(), 1024, 0), 1024);
    ASSERT_EQ(t_snd(p.client, unit.data(), 1024, T_MORE), 1024);
    ASSERT_EQ(t_snd(p.client, "", 0, 0), 0);

    Piece a = Receive(p.server, 534);
    Piece b = Receive(p.server, 534);
    EXPECT_EQ(a.data.size(), 534u);
    EXPECT_EQ(a.flags, T_MORE);
    EXPECT_EQ(b.data.size(), 490u);
    EXPECT_EQ(b.flags, 0) << "the last piece carries the unit's own flag";
    EXPECT_EQ(a.data + b.data, unit);

    Piece c = Receive(p.server, 534);
    Piece d = Receive(p.server, 534);
    EXPECT_EQ(c.flags, T_MORE);
    EXPECT_EQ(d.flags, T_MORE) << "a unit sent with T_MORE keeps it on its last piece";
    EXPECT_EQ(c.data + d.data, unit);
    EXPECT_EQ(Receive(p.server, 534).flags, 0);
}

// Guards against units over the 16-bit frame length being cut or garbled.
TEST(Units, UnitOver65535BytesArrivesWhole) {
    Pair p;
    std::string unit = harness::Pattern(200'000);
    std::string got;
    std::thread sender([&] {
        EXPECT_EQ(t_snd(p.client, unit.data(), static_cast<unsigned>(unit.size()), 0),
                  static_cast<int>(unit.size()));
    });
    for (;;) {
        Piece piece = Receive(p.server, 534);
        got += piece.data;
        if (piece.flags == 0)
            break;
        ASSERT_EQ(piece.flags, T_MORE);
        ASSERT_LE(got.size(), unit.size());
    }
    sender.join();
    EXPECT_EQ(got, unit);
}

// Guards against the read-ahead losing, repeating or reordering bytes or
// flags when many units of every size cross buffer boundaries.
TEST(Units, ManyUnitsOfRandomSizesKeepBytesBoundariesAndFlags) {
    Pair p;
    std::mt19937 rng(7);
    struct Sent {
        std::string data;
        int flags;
    };
    std::vector<Sent> units;
    std::size_t total = 0;
    while (total < 3'000'000) {
        std::size_t size = rng() % 4 == 0 ? rng() % 70'000 : rng() % 1100;
        units.push_back({harness::Pattern(size, static_cast<unsigned>(units.size())),
                         (rng() % 3 == 0) ? 0 : T_MORE});
        total += size;
    }
    units.back().flags = 0; // units with T_MORE may wait in the sender until one without
    std::thread sender([&] {
        for (auto& u : units)
            ASSERT_EQ(t_snd(p.client, u.data.data(), static_cast<unsigned>(u.data.size()), u.flags),
                      static_cast<int>(u.data.size()));
    });
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto& u = units[i];
        // Each unit is read with its own read size; a unit whose size is a
        // multiple of the read size is finished by a read that asks for more
        // than what is left.
        unsigned chunk = 1 + rng() % 2000;
        std::string got;
        int flags = 0;
        while (got.size() < u.data.size() || (got.empty() && u.data.empty())) {
            unsigned want = static_cast<unsigned>(std::min<std::size_t>(chunk, u.data.size() - got.size()));
            if (u.data.empty())
                want = chunk;
            Piece piece = Receive(p.server, want);
            got += piece.data;
            flags = piece.flags;
            if (u.data.empty())
                break;
        }
        ASSERT_EQ(got, u.data) << "unit " << i;
        // Pieces of a unit over 65535 bytes carry T_MORE; only the unit's
        // own last piece carries its flag.
        ASSERT_EQ(flags, u.flags) << "unit " << i;
    }
    sender.join();
}

// Guards against plain writes through the read/write module losing their
// unit boundaries, and against TLI calls working while it is on top.
TEST(Modules, ReadWriteModuleWritesArriveAsMoreUnitsAndTSndEndsTheStream) {
    Pair p;
    char top[FMNAMESZ + 1] = {};
    ASSERT_EQ(spx_ioctl(p.client, I_LOOK, top), 0);
    EXPECT_STREQ(top, "timod");
    EXPECT_EQ(spx_ioctl(p.client, I_LIST, nullptr), 2);
    EXPECT_EQ(spx_write(p.client, "abc", 3), -1) << "no plain writes under timod";
    ASSERT_EQ(spx_ioctl(p.client, I_POP, nullptr), 0);
    EXPECT_EQ(spx_ioctl(p.client, I_LIST, nullptr), 1);
    EXPECT_EQ(spx_ioctl(p.client, I_PUSH, "bogus"), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(spx_ioctl(p.client, I_PUSH, "tirdwr"), 0);
    ASSERT_EQ(spx_ioctl(p.client, I_LOOK, top), 0);
    EXPECT_STREQ(top, "tirdwr");

    EXPECT_EQ(t_snd(p.client, "x", 1, 0), -1);
    EXPECT_EQ(t_errno, TBADF) << "TLI calls fail while tirdwr is on top";
    EXPECT_EQ(spx_write(p.client, "first", 5), 5);
    EXPECT_EQ(spx_write(p.client, "", 0), 0) << "a write of nothing sends nothing";
    EXPECT_EQ(spx_write(p.client, "second!", 7), 7);

    ASSERT_EQ(spx_ioctl(p.client, I_POP, nullptr), 0);
    ASSERT_EQ(spx_ioctl(p.client, I_PUSH, "timod"), 0);
    ASSERT_EQ(t_snd(p.client, "", 0, 0), 0);

    Piece a = Receive(p.server, 534);
    Piece b = Receive(p.server, 534);
    Piece end = Receive(p.server, 534);
    EXPECT_EQ(a.data, "first");
    EXPECT_EQ(a.flags, T_MORE);
    EXPECT_EQ(b.data, "second!");
    EXPECT_EQ(b.flags, T_MORE);
    EXPECT_EQ(end.data, "");
    EXPECT_EQ(end.flags, 0);
}

// Guards against a flag the protocol does not know being sent or accepted.
TEST(Units, ExpeditedAndUnknownFlagsAreRefused) {
    Pair p;
    EXPECT_EQ(t_snd(p.client, "x", 1, T_EXPEDITED), -1);
    EXPECT_EQ(t_errno, TBADFLAG);
    EXPECT_EQ(t_snd(p.client, "x", 1, 0x40), -1);
    EXPECT_EQ(t_errno, TBADFLAG);
}
