// Units and T_MORE arrive with their bytes, boundaries and flags, however the reads are cut.
#include <spx/stropts.h>

#include <random>

#include "peer.h"

using namespace peer;

// A unit of size bytes of a pattern.
static Unit U(std::size_t size, int flags) {
    return {harness::Pattern(size, size), flags};
}

// What a receiver sees of units: each as sent over TCP; over IPX, where SPX marks only the end
// of a unit sent without T_MORE, a run of units with T_MORE and the unit that ends it as one.
static std::vector<Unit> Seen(const std::vector<Unit>& units) {
    if (!OverIpx())
        return units;
    std::vector<Unit> seen;
    bool open = false;
    for (const Unit& u : units) {
        if (!open)
            seen.push_back({});
        seen.back().data += u.data, seen.back().flags = u.flags;
        open = u.flags == T_MORE;
    }
    return seen;
}

// Receives the next unit as want shows it, in pieces of up to max bytes: up to its size, and
// when it ends without T_MORE, up to the piece without it.
static Unit ReceiveLike(int fd, const Unit& want, unsigned max) {
    Unit got;
    do {
        const Unit piece = Receive(fd, max);
        got.data += piece.data, got.flags = piece.flags;
    } while (got.flags == T_MORE && (got.data.size() < want.data.size() || want.flags == 0));
    return got;
}

// Sends units from a thread and reads each back whole (as Seen), in pieces of readSize() bytes.
static void RoundTrip(const std::vector<Unit>& sent, const std::function<unsigned()>& readSize) {
    const std::vector<Unit> units = Seen(sent);
    Pair p;
    std::thread sender([&] {
        for (auto u = sent.begin(); u != sent.end() && Send(p.client, u->data, u->flags); ++u) {
        }
    });
    bool good = true;
    for (std::size_t i = 0; i < units.size() && good; ++i) {
        const Unit got = ReceiveLike(p.server, units[i], readSize());
        EXPECT_TRUE((good = got == units[i]))
            << "unit " << i << ": " << got.data.size() << " bytes, flags " << got.flags;
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
    for (const Unit& want : Seen({{"first", T_MORE}, {"second!", T_MORE}, {}}))
        EXPECT_EQ(ReceiveLike(p.server, want, 16), want);
}
