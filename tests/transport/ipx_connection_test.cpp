// Two SPX connections over a simulated link with a fake clock: every unit byte-exact with its
// T_MORE boundaries, through loss, duplication and reordering, and every way a connection ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include <spx/tiuser.h>

#include "ipx/spx_connection.h"

using namespace spx::ipx;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Ev = SpxConnection::Event;

static const ipxAddr_t CALLER{{0, 0, 0xAB, 0xCD}, {2, 0, 0, 0, 0, 1}, {0x40, 0x01}};
static const ipxAddr_t LISTENER{{0, 0, 0xAB, 0xCD}, {2, 0, 0, 0, 0, 2}, {0x45, 0x00}};
static const ipxAddr_t ANSWERER{{0, 0, 0xAB, 0xCD}, {2, 0, 0, 0, 0, 2}, {0x40, 0x02}};

struct LinkConfig {
    double loss = 0, dup = 0, reorder = 0; // chances per packet
};
using Pieces = std::vector<std::pair<Bytes, bool>>; // units or parts of one: bytes, T_MORE

// The messages (runs of T_MORE pieces ending in one without it) that pieces make.
static std::vector<Bytes> Messages(const Pieces& pieces) {
    std::vector<Bytes> m{{}};
    for (const auto& [bytes, more] : pieces) {
        m.back().insert(m.back().end(), bytes.begin(), bytes.end());
        if (!more)
            m.emplace_back();
    }
    return m;
}

// One side's program: sends its pieces as room allows, and every readGap reads what has
// arrived in reads of random sizes, gathering messages.
struct Program {
    Pieces pieces;
    std::size_t next = 0, offset = 0;
    std::vector<Bytes> received{{}};
    Time readAt{};
    milliseconds readGap{0};

    void Act(SpxConnection& c, std::mt19937& rng, Time now) {
        for (; next < pieces.size() && c.SendRoom() > 0; ++next, offset = 0) {
            const auto& [bytes, more] = pieces[next];
            if ((offset += c.SendUnit(std::span(bytes).subspan(offset), more, now)) < bytes.size())
                break;
        }
        if (now < readAt)
            return;
        readAt = now + readGap;
        Bytes buf(std::uniform_int_distribution<std::size_t>(1, 1500)(rng));
        for (bool more = false; c.Next() == Ev::Data;) {
            const std::size_t n = c.Take(buf, more);
            received.back().insert(received.back().end(), buf.begin(), buf.begin() + n);
            if (!more)
                received.emplace_back();
        }
    }
    bool Sent() const { return next == pieces.size(); }
};

// The link and both ends; the answering end is made from the first request that gets through.
struct Sim {
    LinkConfig link;
    std::mt19937 rng{27};
    Time now = Time{} + 1h;
    const SpxConnection::Config config{};
    const SpxConnection::Config answering = config; // the answering end's
    SpxConnection a = SpxConnection::Caller(CALLER, LISTENER, 0x1111, config, now);
    std::optional<SpxConnection> b{};
    Program pa{}, pb{};
    std::multimap<Time, std::pair<bool, Bytes>> wire{}; // arrival: to b, packet
    bool cut = false;                                   // b has vanished

    void Send(SpxConnection& from, bool toB) {
        std::uniform_real_distribution<double> chance(0, 1);
        for (auto out = from.PopOutput(now); !out.empty(); out = from.PopOutput(now)) {
            const auto at = now + (chance(rng) < link.reorder ? 300us : 100us);
            if (!(toB && cut) && chance(rng) >= link.loss)
                wire.emplace(at, std::pair(toB, Bytes(out.begin(), out.end())));
            if (!(toB && cut) && chance(rng) < link.dup)
                wire.emplace(at + 50us, std::pair(toB, Bytes(out.begin(), out.end())));
        }
    }
    void Deliver(const Bytes& bytes, bool toB) {
        const Decoded d = Decode(bytes);
        ASSERT_TRUE(d);
        if (!toB)
            a.Input(d.packet, now);
        else if (d.packet.dstConn != UNKNOWN_CONNECTION && b && !cut)
            b->Input(d.packet, now);
        else if (d.packet.dstConn == UNKNOWN_CONNECTION && !b) // the listener answers once
            b = SpxConnection::Answer(ANSWERER, d.packet, 0x2222, answering, now);
    }
    // Runs both ends until done() or the time limit; false on the limit.
    template <class Done> bool Run(Done done, std::chrono::seconds limit = 600s) {
        const Time end = now + limit;
        for (long steps = 0; now <= end && steps < 5'000'000; ++steps) {
            Time next = end;
            for (auto [c, p, toB] :
                 {std::tuple(&a, &pa, true), std::tuple(b && !cut ? &*b : nullptr, &pb, false)}) {
                if (c)
                    p->Act(*c, rng, now), c->Tick(now), Send(*c, toB),
                        next = std::min(next, c->NextDeadline().value_or(end));
            }
            if (done())
                return true;
            next = std::min(next, pb.readAt > now ? pb.readAt : end);
            now = std::max(now, wire.empty() ? next : std::min(next, wire.begin()->first));
            for (; !wire.empty() && wire.begin()->first <= now; wire.erase(wire.begin()))
                Deliver(wire.begin()->second.second, wire.begin()->second.first);
        }
        return false;
    }
};

// Pieces of random sizes (empty ones too), some with T_MORE, size bytes in all; then empty units.
static Pieces RandomPieces(std::size_t size, unsigned seed, std::size_t empties) {
    std::mt19937 rng(seed);
    Pieces pieces;
    for (std::size_t sent = 0; sent < size;) {
        Bytes b(std::min<std::size_t>(std::uniform_int_distribution<std::size_t>(0, 3000)(rng),
                                      size - sent));
        std::generate(b.begin(), b.end(), [&] { return static_cast<std::uint8_t>(rng()); });
        sent += b.size();
        pieces.emplace_back(std::move(b), rng() % 3 == 0);
    }
    pieces.resize(pieces.size() + empties + 1);
    return pieces;
}

enum class End { ReleaseAFirst, ReleaseBoth, ReleaseThenDisconnect, DisconnectA, BVanishes };

// Guards against lost, repeated, reordered or cut units, a release or disconnect overtaking data,
// a side left waiting, and a dead peer not found within the watchdog time.
TEST(SpxConnection, DeliversEverythingAndEndsEveryWay) {
    const LinkConfig clean, lossy{0.05, 0.01, 0.05};
    const struct {
        LinkConfig link;
        std::size_t bytes; // each way
        End end;
        std::size_t empties = 0; // units of 0 bytes after the data: past the sequence numbers' wrap
        milliseconds readGap{0}; // b reads this seldom: its window closes
        bool spx1 = false;       // b knows only SPX I
    } rows[] = {
        // clang-format off
        {clean, 2 << 20, End::ReleaseAFirst}, {lossy, 1 << 20, End::ReleaseAFirst},
        {lossy, 1000, End::ReleaseAFirst, 70000}, {lossy, 1 << 20, End::ReleaseAFirst, 0, 50ms},
        {lossy, 1 << 20, End::ReleaseAFirst, 0, 0ms, true},
        {clean, 100000, End::ReleaseBoth},    {lossy, 100000, End::ReleaseBoth},
        {lossy, 100000, End::ReleaseThenDisconnect},
        {clean, 100000, End::DisconnectA},    {lossy, 100000, End::DisconnectA},
        {clean, 100000, End::BVanishes},      {lossy, 100000, End::BVanishes},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        Sim sim{.link = r.link, .answering = {.spx2 = !r.spx1}};
        sim.pa.pieces = RandomPieces(r.bytes, 1, r.empties);
        sim.pb.pieces = RandomPieces(r.bytes, 2, r.empties);
        sim.pb.readGap = r.readGap;
        const std::vector<Bytes> toB = Messages(sim.pa.pieces), toA = Messages(sim.pb.pieces);
        SpxConnection& a = sim.a;
        ASSERT_TRUE(sim.Run([&] { return sim.b && sim.pa.Sent() && sim.pb.Sent(); }));
        SpxConnection& b = *sim.b;
        EXPECT_TRUE(a.PacketSize() == (r.spx1 ? 576u : 1500u) && a.Spx2() == !r.spx1);
        if (r.end == End::BVanishes) {
            const Time cut = sim.now;
            sim.cut = true;
            ASSERT_TRUE(sim.Run([&] { return a.DisconnectArrived(); }));
            EXPECT_LE(sim.now - cut, sim.config.watchdogAbort + sim.config.watchdogInterval);
            EXPECT_EQ(a.TakeDisconnect(), SPX_DISCON_FAILED);
            continue;
        }
        // a releases or disconnects (b at once too in ReleaseBoth); b reads every unit first
        r.end == End::DisconnectA ? a.Disconnect(sim.now) : a.SendRelease(sim.now);
        if (r.end == End::ReleaseBoth)
            b.SendRelease(sim.now);
        const Ev event = r.end == End::DisconnectA ? Ev::Disconnect : Ev::Release;
        ASSERT_TRUE(sim.Run([&] { return b.Next() == event; }));
        EXPECT_EQ(sim.pb.received, toB);
        if (r.end == End::DisconnectA) {
            EXPECT_EQ(b.TakeDisconnect(), SPX_DISCON_TERMINATED);
            EXPECT_TRUE(sim.Run([&] { return a.Quiescent(); }));
            continue;
        }
        b.TakeRelease(); // then b answers, and a reads every unit first
        const bool discon = r.end == End::ReleaseThenDisconnect;
        if (r.end != End::ReleaseBoth)
            discon ? b.Disconnect(sim.now) : b.SendRelease(sim.now);
        ASSERT_TRUE(sim.Run([&] { return a.Next() == (discon ? Ev::Disconnect : Ev::Release); }));
        EXPECT_EQ(sim.pa.received, toA);
        if (discon) {
            EXPECT_EQ(a.TakeDisconnect(), SPX_DISCON_TERMINATED);
            continue;
        }
        a.TakeRelease();
        EXPECT_TRUE(sim.Run([&] { return a.Quiescent() && b.Quiescent(); }));
        EXPECT_TRUE(a.GetState() == SpxConnection::State::Closing &&
                    b.GetState() == SpxConnection::State::Closing);
    }
}

// The packets one end puts out now, decoded (their bytes kept in store).
static std::vector<SpxPacket> Out(SpxConnection& c, Time now, std::deque<Bytes>& store) {
    std::vector<SpxPacket> packets;
    for (auto out = c.PopOutput(now); !out.empty(); out = c.PopOutput(now))
        packets.push_back(Decode(store.emplace_back(out.begin(), out.end())).packet);
    return packets;
}

// Guards against a caller taken in by a stale or foreign answer, a refusal or silence not
// reported, and packets of another connection, a replay or a duplicate delivered as data.
TEST(SpxConnection, SetUpAndStrangers) {
    const Time t0 = Time{} + 1h;
    std::deque<Bytes> store;
    const auto caller = [&] { return SpxConnection::Caller(CALLER, LISTENER, 0x1111, {}, t0); };
    const auto changed = [](SpxPacket p, auto change) { return change(p), p; };
    SpxConnection a = caller();
    const SpxPacket request = Out(a, t0, store).at(0);
    SpxConnection b = *SpxConnection::Answer(ANSWERER, request, 0x2222, {}, t0);
    const SpxPacket reply = Out(b, t0, store).at(0);
    // A reply for an earlier connection, or from another host, leaves the caller waiting.
    a.Input(changed(reply, [](SpxPacket& p) { p.dstConn = 0x0999; }), t0);
    a.Input(changed(reply, [](SpxPacket& p) { p.src.node[5] = 9; }), t0);
    EXPECT_TRUE(a.GetState() == SpxConnection::State::SetUp &&
                a.GetCounters().dropped[size_t(DropReason::BadId)] == 2);
    a.Input(reply, t0);
    b.Input(Out(a, t0, store).at(0), t0); // the caller's answer ends b's set-up
    ASSERT_TRUE(a.GetState() == SpxConnection::State::Established &&
                b.GetState() == SpxConnection::State::Established);
    EXPECT_EQ(std::memcmp(a.Peer().sock, ANSWERER.sock, 2), 0); // the answering socket
    // Strangers and repeats against a data packet from b.
    const Bytes hi = {'h', 'i'}; // "h" with T_MORE, then an end unit "i"
    b.SendUnit(std::span(hi).first(1), true, t0);
    b.SendUnit(std::span(hi).last(1), false, t0);
    const auto sent = Out(b, t0, store);
    const SpxPacket& data = sent.at(0);
    const std::pair<SpxPacket, DropReason> rows[] = {
        {changed(data, [](SpxPacket& p) { p.dstConn = 0x0999; }), DropReason::BadId},
        {changed(data, [](SpxPacket& p) { p.srcConn = 0x0999; }), DropReason::BadId},
        {changed(data, [](SpxPacket& p) { p.src.sock[1] ^= 1; }), DropReason::BadId},
        {changed(data, [](SpxPacket& p) { p.sequence = 512; }), DropReason::OutOfWindow},
        {changed(data, [](SpxPacket& p) { p.sequence = 0xFFFF; }), DropReason::Duplicate},
    };
    for (const auto& [packet, drop] : rows) {
        const auto before = a.GetCounters().dropped[size_t(drop)];
        a.Input(packet, t0);
        EXPECT_EQ(a.GetCounters().dropped[size_t(drop)], before + 1) << DropReasonName(drop);
        EXPECT_EQ(a.Next(), Ev::None);
    }
    for (const SpxPacket& p : {data, data, sent.at(1)})
        a.Input(p, t0);
    EXPECT_EQ(a.GetCounters().dropped[size_t(DropReason::Duplicate)], 2u);
    Bytes buf(10); // the end unit comes as a piece of its own, as over TCP
    bool more = false;
    EXPECT_TRUE(a.Take(buf, more) == 1 && buf[0] == 'h' && more);
    EXPECT_TRUE(a.Take(buf, more) == 1 && buf[0] == 'i' && !more && a.Next() == Ev::None);
    // A refused caller sees 236; an unanswered one 237 after its set-up timers.
    SpxConnection refused = caller();
    refused.Input(RefusalOf(Out(refused, t0, store).at(0), LISTENER), t0);
    EXPECT_EQ(refused.TakeDisconnect(), SPX_DISCON_TERMINATED);
    SpxConnection alone = caller();
    Time now = t0;
    for (; alone.NextDeadline(); alone.Tick(now))
        now = *alone.NextDeadline(), Out(alone, now, store);
    EXPECT_EQ(now - t0, 15500ms);
    EXPECT_EQ(alone.TakeDisconnect(), SPX_DISCON_FAILED);
}

// A caller and an answering end joined by hand: the tests below carry each packet themselves.
struct Pair {
    Time now = Time{} + 1h;
    std::deque<Bytes> store{};
    SpxConnection a, b;
    Pair(const SpxConnection::Config& ca = {}, const SpxConnection::Config& cb = {})
        : a(SpxConnection::Caller(CALLER, LISTENER, 0x1111, ca, now)),
          b(*SpxConnection::Answer(ANSWERER, Out(a, now, store).at(0), 0x2222, cb, now)) {
        now += 1ms;
        for (const SpxPacket& p : Out(b, now, store)) // the reply, and the caller's answer
            a.Input(p, now);
        for (const SpxPacket& p : Out(a, now, store))
            b.Input(p, now);
    }
    // Moves time on by d and carries what each end puts out, unless drop says no.
    template <class Drop> void Step(milliseconds d, Drop drop) {
        now += d;
        a.Tick(now), b.Tick(now);
        for (bool toB : {true, false})
            for (const SpxPacket& p : Out(toB ? a : b, now, store))
                if (!drop(p, toB))
                    (toB ? b : a).Input(p, now);
    }
    void Step(milliseconds d = 1ms) {
        Step(d, [](const SpxPacket&, bool) { return false; });
    }
};

// Guards against a size beyond what either end's interface carries, SPX II bits sent to an SPX
// I peer, and a wait before an SPX I answer is taken.
TEST(SpxConnection, NegotiatesThePacketSize) {
    const struct {
        bool spx2a;
        std::uint16_t maxA;
        bool spx2b;
        std::uint16_t maxB;
        std::size_t packet;
        bool spx2;
    } rows[] = {
        {true, 1500, true, 1500, 1500, true},  {true, 1500, true, 1492, 1492, true},
        {true, 1497, true, 1500, 1497, true},  {true, 9000, true, 100, 576, true},
        {true, 1500, false, 1500, 576, false}, {false, 1500, true, 1500, 576, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        Pair p({.maxPacket = r.maxA, .spx2 = r.spx2a}, {.maxPacket = r.maxB, .spx2 = r.spx2b});
        ASSERT_EQ(p.a.GetState(), SpxConnection::State::Established); // at the reply, no timer
        EXPECT_TRUE(p.a.PacketSize() == r.packet && p.b.PacketSize() == r.packet);
        EXPECT_TRUE(p.a.Spx2() == r.spx2 && p.b.Spx2() == r.spx2);
        const Bytes unit(5000, 7);
        p.a.SendUnit(unit, false, p.now);
        const auto packets = Out(p.a, p.now, p.store);
        const std::size_t header = r.spx2 ? 44 : 42, bits = r.spx2 ? CC_SPX2 | CC_EXTENDED : 0;
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(packets[0].data.size() + header, r.packet);
        for (const SpxPacket& s : packets)
            EXPECT_EQ(s.control & 0x0F, bits);
        const SpxPacket& request = Decode(p.store.front()).packet; // what was offered
        EXPECT_EQ(request.control & 0x0F, r.spx2a ? CC_SPX2 | CC_NEGOTIATE | CC_EXTENDED : 0);
        EXPECT_EQ(request.negotiation, r.spx2a ? std::clamp<int>(r.maxA, 576, 1500) : 0);
    }
}

// Guards against units with T_MORE not sharing packets, an end unit joined to the data before it
// (a reader takes it for data), a piece longer than the buffer, and T_MORE not as over TCP.
TEST(SpxConnection, UnitsInPacketsAndPieces) {
    using Units = std::vector<std::pair<std::size_t, int>>; // size, T_MORE or 0; -1: Push
    const struct {
        Units units;
        std::vector<std::pair<std::size_t, bool>> packets; // data bytes, end of message
        std::size_t buffer;
        std::vector<std::pair<std::size_t, int>> pieces; // bytes, flags at the reader
    } rows[] = {
        {{{534, T_MORE}, {534, T_MORE}, {534, T_MORE}, {100, 0}},
         {{1456, false}, {146, false}, {100, true}},
         534,
         {{534, T_MORE}, {534, T_MORE}, {388, T_MORE}, {146, T_MORE}, {100, 0}}},
        {{{10, T_MORE}, {0, T_MORE}, {10, T_MORE}, {0, 0}},
         {{10, false}, {0, false}, {10, false}, {0, true}},
         4096,
         {{10, T_MORE}, {0, T_MORE}, {10, T_MORE}, {0, 0}}},
        {{{10, T_MORE}, {0, -1}, {10, T_MORE}, {3000, 0}},
         {{10, false}, {10, false}, {1456, false}, {1456, false}, {88, true}},
         2000,
         {{10, T_MORE}, {10, T_MORE}, {1456, T_MORE}, {1456, T_MORE}, {88, 0}}},
        {{{1, 0}, {1, T_MORE}, {1, T_MORE}, {1, 0}},
         {{1, true}, {2, false}, {1, true}},
         1,
         {{1, 0}, {1, T_MORE}, {1, T_MORE}, {1, 0}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        Pair p;
        for (const auto& [size, flags] : r.units)
            flags < 0 ? p.a.Push() : void(p.a.SendUnit(Bytes(size, 1), flags != 0, p.now));
        p.a.Push();
        std::vector<std::pair<std::size_t, bool>> packets;
        for (const SpxPacket& s : Out(p.a, p.now, p.store)) {
            packets.emplace_back(s.data.size(), (s.control & CC_EOM) != 0);
            p.b.Input(s, p.now);
        }
        EXPECT_EQ(packets, r.packets);
        std::vector<std::pair<std::size_t, int>> pieces;
        Bytes buf(r.buffer);
        for (bool more = false; p.b.Next() == Ev::Data;) {
            const std::size_t n = p.b.Take(buf, more);
            pieces.emplace_back(n, more ? T_MORE : 0);
        }
        EXPECT_EQ(pieces, r.pieces);
    }
}

// The times at which the packets that match come out of an end, until limit.
template <class Match, class Drop>
static std::vector<milliseconds> TimesOf(Pair& p, Match match, Drop drop, milliseconds limit) {
    std::vector<milliseconds> at;
    for (const Time t0 = p.now; p.now - t0 < limit;)
        p.Step(1ms, [&](const SpxPacket& s, bool toB) {
            if (match(s, toB))
                at.push_back(std::chrono::duration_cast<milliseconds>(p.now - t0));
            return drop(s, toB);
        });
    return at;
}

const auto DataToB = [](const SpxPacket& s, bool toB) { return toB && !(s.control & CC_SYSTEM); };
const auto AsksToB = [](const SpxPacket& s, bool toB) { // watchdog or probe
    return toB && (s.control & CC_SYSTEM) && (s.control & CC_SEND_ACK);
};
const auto None = [](const SpxPacket&, bool) { return false; };

// Holes answered at once and mended one after the other: 20 packets, 3 and 9 lost once each.
static void Holes(bool spx2) {
    Pair p({.spx2 = spx2}, {.spx2 = spx2});
    p.a.SendUnit(Bytes(20 * 1456, 1), false, p.now);
    std::vector<std::uint16_t> lost = {3, 9};
    std::vector<std::pair<std::uint16_t, std::uint8_t>> answers; // acknowledge, control
    const auto at = TimesOf(
        p, [](const SpxPacket& s, bool toB) { return DataToB(s, toB) && s.sequence == 3; },
        [&](const SpxPacket& s, bool toB) {
            if (!toB && (s.control & CC_SYSTEM))
                answers.emplace_back(s.acknowledge, s.control);
            const auto it = std::find(lost.begin(), lost.end(), s.sequence);
            return DataToB(s, toB) && it != lost.end() && (lost.erase(it), true);
        },
        10ms);
    EXPECT_EQ(at, (std::vector<milliseconds>{1ms, 2ms})); // the resend a round trip later
    EXPECT_EQ(p.a.GetCounters().retransmitted, 2u);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers[0].first, 3); // the first answer names the hole
    EXPECT_EQ(answers[0].second & (CC_SEND_ACK | CC_SPX2), spx2 ? CC_SPX2 : 0);
    EXPECT_TRUE(p.a.Quiescent());
}

// One rule of the connection per row, each guarding against its own fault.
TEST(SpxConnection, Rules) {
    const std::pair<const char*, std::function<void()>> rules[] = {
        {"time-outs double from 20 ms to 4 s; the 13th fails (237)",
         [] {
             Pair p;
             p.a.SendUnit(Bytes(10), false, p.now);
             EXPECT_EQ(TimesOf(p, DataToB, DataToB, 30s), // 20, 40 ... 2560 ms apart, then 4 s
                       (std::vector<milliseconds>{1ms, 21ms, 61ms, 141ms, 301ms, 621ms, 1261ms,
                                                  2541ms, 5101ms, 9101ms, 13101ms, 17101ms,
                                                  21101ms}));
             EXPECT_EQ(p.a.DisconnectReason(), SPX_DISCON_FAILED);
         }},
        {"Karn: the answer to a resent packet gives no round trip (20 ms, not 21)",
         [] {
             Pair p;
             p.a.SendUnit(Bytes(10), false, p.now);
             bool first = true;
             TimesOf(
                 p, None,
                 [&](const SpxPacket& s, bool toB) {
                     return DataToB(s, toB) && std::exchange(first, false);
                 },
                 30ms);
             p.a.SendUnit(Bytes(10), false, p.now);
             Out(p.a, p.now, p.store);
             EXPECT_EQ(p.a.NextDeadline().value_or(Time{}) - p.now, 20ms);
         }},
        {"a closed window's probe doubles and counts no retry; watchdog packets between",
         [] {
             Pair p({}, {.window = 2});
             p.a.SendUnit(Bytes(5000), false, p.now);
             const auto at = TimesOf(p, AsksToB, None, 60s);
             std::vector<milliseconds> want = {21ms, 61ms, 141ms, 301ms, 621ms, 1261ms, 2541ms};
             for (milliseconds t = 5101ms; t < 60s; t += 4s)
                 want.push_back(t);
             EXPECT_TRUE(std::includes(at.begin(), at.end(), want.begin(), want.end()));
             EXPECT_EQ(at.size(), want.size() + 13); // (5101 ms on, 3 s after each answer)
             EXPECT_EQ(p.a.GetState(), SpxConnection::State::Established);
         }},
        {"silence: a watchdog packet every 3 s; a peer silent 20 s is dead (237)",
         [] {
             Pair p;
             const auto fromB = [](const SpxPacket&, bool toB) { return !toB; };
             EXPECT_EQ(TimesOf(p, AsksToB, fromB, 25s),
                       (std::vector<milliseconds>{3s, 6s, 9s, 12s, 15s, 18s}));
             EXPECT_EQ(p.a.DisconnectReason(), SPX_DISCON_FAILED);
         }},
        {"Karn at set-up: a reply sent twice (or when, unknown) gives no round trip",
         [] {
             for (const bool timed : {true, false}) {
                 Time now = Time{} + 1h;
                 std::deque<Bytes> store;
                 SpxConnection a = SpxConnection::Caller(CALLER, LISTENER, 0x1111, {}, now);
                 SpxConnection b =
                     *SpxConnection::Answer(ANSWERER, Out(a, now, store).at(0), 0x2222, {}, now, timed);
                 now += 300ms; // the reply's round trip
                 for (const SpxPacket& r : Out(b, now, store))
                     a.Input(r, now);
                 for (const SpxPacket& r : Out(a, now, store))
                     b.Input(r, now);
                 b.SendUnit(Bytes(10), false, now);
                 Out(b, now, store);
                 EXPECT_EQ(b.NextDeadline().value_or(Time{}) - now, timed ? 900ms : 500ms) << timed;
             }
         }},
        {"SPX I: a repeated acknowledgement resends the hole at once", [] { Holes(false); }},
        {"SPX II: the negative acknowledgement resends the hole at once", [] { Holes(true); }},
        {"a hole's resend lost too goes again within a few round trips, not the time-out",
         [] {
             Pair p;
             p.a.SendUnit(Bytes(10 * 1456, 1), false, p.now);
             int fours = 0;
             const auto four = [](const SpxPacket& s, bool toB) {
                 return DataToB(s, toB) && s.sequence == 4;
             };
             const auto at = TimesOf(
                 p, four, [&](const SpxPacket& s, bool toB) { return four(s, toB) && ++fours <= 2; },
                 100ms);
             ASSERT_GE(at.size(), 3u);
             EXPECT_LT(at[2] - at[1], 10ms);
             EXPECT_TRUE(p.a.Quiescent());
         }},
        {"a packet held back behind the next, copies of a packet that asks: no resend",
         [] {
             Pair p({.ackEvery = 4});
             p.a.SendUnit(Bytes(20 * 1456, 1), false, p.now);
             auto out = Out(p.a, p.now, p.store);
             std::swap(out[5], out[6]);
             out.insert(out.begin() + 12, 2, out[11]); // 11 asks: two copies right after it
             std::uint16_t acked = 0;
             for (const SpxPacket& s : out) {
                 p.b.Input(s, p.now);
                 for (const SpxPacket& answer : Out(p.b, p.now, p.store)) {
                     EXPECT_GT(answer.acknowledge, acked) << "the hole named, or a copy answered";
                     acked = answer.acknowledge;
                     p.a.Input(answer, p.now);
                 }
                 for (const SpxPacket& again : Out(p.a, p.now, p.store))
                     EXPECT_TRUE(false) << "sent " << again.sequence;
             }
             p.Step(5ms);
             EXPECT_TRUE(p.a.GetCounters().retransmitted == 0 && p.a.Quiescent());
         }},
        {"the allocation kept; not finished while the last packet (release) is unacknowledged",
         [] {
             Pair p({}, {.window = 4});
             p.a.SendUnit(Bytes(10 * 1456, 1), false, p.now);
             p.a.SendRelease(p.now);
             bool released = false;
             Bytes buf(1456);
             for (int i = 0; i < 2000 && p.b.Next() != Ev::Release; ++i) {
                 for (bool more = false; i % 50 == 49 && p.b.Next() == Ev::Data;)
                     p.b.Take(buf, more);
                 p.Step(1ms, [&](const SpxPacket& s, bool toB) {
                     const auto top = static_cast<std::uint16_t>(
                         spx::GetBE16(p.b.LocalOptions().spx_allocationNumber) + 2); // FC: no buffer
                     EXPECT_TRUE(!DataToB(s, toB) || static_cast<std::int16_t>(s.sequence - top) <= 0)
                         << s.sequence;
                     const bool drop = toB && s.datastream == DS_ORDREL && !released;
                     EXPECT_TRUE(!drop || !p.a.Quiescent());
                     return drop && (released = true);
                 });
             }
             EXPECT_TRUE(released && p.b.Next() == Ev::Release);
             p.Step();
             EXPECT_TRUE(p.a.Quiescent());
         }},
    };
    for (const auto& [name, check] : rules) {
        SCOPED_TRACE(name);
        check();
    }
}
