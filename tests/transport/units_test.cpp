// Units and T_MORE arrive with their bytes, boundaries and flags, however the reads are cut.
#include <spx/stropts.h>

#include <random>

#include "peer.h"

using namespace peer;

// A unit of size bytes of a pattern.
static Unit U(std::size_t size, int flags) {
    return {harness::Pattern(size, size), flags};
}

// Reads one message (pieces up to one without T_MORE, of at most readSize() bytes each): its
// bytes, and the size of its last piece; flags -1 when a receive fails or a piece is too long.
static std::pair<Unit, std::size_t> ReceiveMessage(int fd,
                                                   const std::function<unsigned()>& readSize) {
    Unit got{"", T_MORE};
    std::size_t last = 0;
    while (got.flags == T_MORE) {
        const unsigned want = readSize();
        const Unit piece = Receive(fd, want);
        got.data += piece.data, got.flags = piece.flags, last = piece.data.size();
        if (piece.data.size() > want)
            got.flags = -1;
    }
    return {got, last};
}

// Sends units from a thread and reads them back in pieces of readSize() bytes: each message (a
// run of units with T_MORE and the unit without it that ends it) whole, with T_MORE on every
// piece but the last, and the end unit a piece of its own (pieces of a run with T_MORE may
// join units, as IPX packets carry several).
static void RoundTrip(const std::vector<Unit>& units, const std::function<unsigned()>& readSize) {
    Pair p;
    std::thread sender([&] {
        for (auto u = units.begin(); u != units.end() && Send(p.client, u->data, u->flags); ++u) {
        }
    });
    bool good = true;
    for (std::size_t i = 0; i < units.size() && good; ++i) {
        Unit want{"", 0};
        for (; units[i].flags == T_MORE; ++i)
            want.data += units[i].data;
        want.data += units[i].data;
        const auto [got, last] = ReceiveMessage(p.server, readSize);
        EXPECT_TRUE((good = got == want && last <= units[i].data.size()))
            << "message ending at unit " << i << ": " << got.data.size() << " bytes, flags "
            << got.flags << ", last piece " << last;
    }
    if (!good) // a sender blocked on a full connection fails once the far side is gone
        t_close(std::exchange(p.server, -1));
    sender.join();
}

// Guards against empty units dropped or merged (over IPX: those ended without T_MORE), long ones
// cut, bytes or T_MORE lost or reordered.
TEST(Units, BoundariesAndFlagsSurviveTheReadSize) {
    SKIP_UNLESS_CARRIER();
    const std::pair<std::vector<Unit>, unsigned> cases[] = {
        {{U(0, T_MORE), U(1, T_MORE), U(0, 0), U(1024, 0), U(1024, T_MORE), U(0, 0)}, 534},
        {{U(200'000, 0), U(65'535, T_MORE), U(65'536, 0), U(200'000, T_MORE), U(0, 0)}, 65'535},
    };
    for (const auto& [units, read] : cases)
        RoundTrip(units, [&] { return read; });
    std::mt19937 rng(7); // random unit sizes against random read sizes
    std::vector<Unit> units;
    for (std::size_t total = 0; total < 3'000'000; total += units.back().data.size())
        units.push_back(U(rng() % 4 == 0 ? rng() % 70'000 : rng() % 1100, rng() % 3 ? T_MORE : 0));
    units.back().flags = 0; // units with T_MORE may wait in the sender for one without
    RoundTrip(units, [&] { return 1 + rng() % 2000; });
}

// Guards against writes under tirdwr losing unit boundaries, or TLI calls working there.
TEST(Modules, ReadWriteModuleWritesArriveAsMoreUnits) {
    SKIP_UNLESS_CARRIER();
    Pair p;
    EXPECT_EQ(spx_write(p.client, "abc", 3), -1) << "no plain writes under timod";
    ASSERT_EQ(spx_ioctl(p.client, I_POP, nullptr), 0);
    EXPECT_EQ(spx_ioctl(p.client, I_LIST, nullptr), 1);
    EXPECT_TRUE(spx_ioctl(p.client, I_PUSH, "bogus") == -1 && errno == EINVAL);
    ASSERT_EQ(spx_ioctl(p.client, I_PUSH, "tirdwr"), 0);
    char top[FMNAMESZ + 1] = {}; // the name of the module on top
    EXPECT_TRUE(spx_ioctl(p.client, I_LOOK, top) == 0 && std::string(top) == "tirdwr");
    EXPECT_TRUE(!Send(p.client, "x") && t_errno == TBADF) << "TLI calls fail under tirdwr";
    for (const std::string_view w : {"first", "", "second!"}) // a write of nothing sends nothing
        EXPECT_EQ(spx_write(p.client, w.data(), w.size()), ssize_t(w.size()));
    ASSERT_TRUE(spx_ioctl(p.client, I_POP, nullptr) == 0 &&
                spx_ioctl(p.client, I_PUSH, "timod") == 0 && Send(p.client, ""));
    const auto [got, last] = ReceiveMessage(p.server, [] { return 16u; });
    EXPECT_TRUE((got == Unit{"firstsecond!", 0} && last == 0)) << got;
}
