// The stack's pure parts: the records between library and stack (each
// primitive's limits, truncation, reserved bytes), the door (bounds, expiry,
// eviction, repeats, completion only by the caller) and the socket table.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "door.h"
#include "sockets.h"
#include "stack_proto.h"

using namespace spx::stack;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Raw(std::uint8_t prim, std::size_t length, std::uint8_t reserved = 0) {
    Bytes b(8 + length, 0x5A);
    b[0] = prim, b[1] = 0, b[2] = reserved, b[3] = 0;
    spx::PutBE32(std::span(b).subspan<4, 4>(), static_cast<std::uint32_t>(length));
    return b;
}

} // namespace

// A record is taken whole, waited for while short, and refused (SIZE_MAX) when
// it can be no record: every primitive at and past its limits.
TEST(StackRecords, Limits) {
    const std::size_t P = sizeof(Path), C = MAX_CONTROL, D = MAX_DATA;
    // A primitive, the body lengths it takes, those it refuses.
    using Lengths = std::vector<std::size_t>;
    const std::tuple<std::uint8_t, Lengths, Lengths> rows[] = {
        {1, {8}, {7, 9}},           // HELLO
        {2, {4}, {3}},              // BIND_REQ
        {34, {}, {5}},              // BIND_ACK
        {3, {16}, {12}},            // CONN_REQ
        {4, {4}, {}},               // CONN_RES
        {5, {4}, {0}},              // DISCON_REQ
        {6, {0, D}, {D + 1}},       // DATA_REQ
        {38, {D}, {D + 1}},         // DATA_IND
        {7, {0}, {1}},              // ORDREL_REQ
        {8, {}, {1}},               // INFO_REQ
        {32, {0}, {}},              // OK_ACK
        {39, {}, {1}},              // ORDREL_IND
        {33, {4, C}, {3, C + 1}},   // ERROR_ACK
        {40, {4}, {C + 1}},         // DISCON_IND
        {35, {4 + P}, {P}},         // CONN_IND
        {36, {P}, {}},              // CONN_CON
        {37, {}, {P + 1}},          // RES_ACK
        {41, {0}, {C + 1}},         // INFO_ACK
        {0, {}, {0}}, {9, {}, {0}}, {31, {}, {0}}, {42, {}, {0}}, {255, {}, {0}}, // none
    };
    for (const auto& [prim, taken, refused] : rows)
        for (const bool ok : {true, false})
            for (const std::size_t length : ok ? taken : refused) {
                SCOPED_TRACE(testing::Message() << "prim " << int{prim} << " length " << length);
                const Bytes b = Raw(prim, length);
                const Decoded d = DecodeRecord(b);
                EXPECT_EQ(d.record.has_value(), ok);
                EXPECT_EQ(d.used, ok ? b.size() : SIZE_MAX);
                // One byte short: more is needed, nothing is refused.
                EXPECT_TRUE(!ok || DecodeRecord(std::span(b).first(b.size() - 1)).used == 0);
            }
    Bytes huge = Raw(6, 0); // an oversized body, refused at once
    spx::PutBE32(std::span(huge).subspan<4, 4>(), 0xFFFFFFFF);
    EXPECT_EQ(DecodeRecord(huge).used, SIZE_MAX);
    EXPECT_EQ(DecodeRecord(Bytes{6, 0, 0}).used, 0u);     // a head not yet whole
    EXPECT_EQ(DecodeRecord(Raw(6, 0, 1)).used, SIZE_MAX); // reserved byte set
}

// What is encoded reads back, texts cut at the control limit, and two records
// in one read come apart.
TEST(StackRecords, Bodies) {
    auto wrongMagic = HelloBody();
    wrongMagic[0] = 'X';
    EXPECT_TRUE(ReadHello(HelloBody()) == VERSION && !ReadHello(wrongMagic));
    EXPECT_EQ(ReadSequence(SequenceBody(0xDEADBEEF)), 0xDEADBEEFu);
    const std::string detail = "network 0000ABCD is on no IPX interface";
    const auto e = ErrorBody(17, 93, detail);
    const auto error = ReadError(e);
    EXPECT_TRUE(error && error->terr == 17 && error->err == 93 && error->detail == detail);
    EXPECT_EQ(DisconBody(237, std::string(5000, 'x')).size(), MAX_CONTROL);
    EXPECT_EQ(ReadDiscon(DisconBody(236, ""))->reason, 236);
    Path p{};
    std::memset(p.interface, 'e', sizeof p.interface); // not terminated on the wire
    const auto read = ReadPath(std::span(reinterpret_cast<const std::uint8_t*>(&p), sizeof p));
    EXPECT_TRUE(read && std::strlen(read->interface) == sizeof p.interface - 1);
    Bytes two;
    AppendRecord(two, Prim::DataInd, FLAG_MORE, Bytes{1, 2, 3});
    AppendRecord(two, Prim::OrdrelInd, 0, {});
    const Decoded first = DecodeRecord(two);
    ASSERT_TRUE(first.record && first.record->flags == FLAG_MORE && first.record->body.size() == 3);
    const Decoded second = DecodeRecord(std::span(two).subspan(first.used));
    EXPECT_TRUE(second.record && second.record->prim == Prim::OrdrelInd);
}

namespace {

spx::ipx::SpxPacket Request(std::uint8_t node, std::uint16_t id, std::uint16_t socket = 0x9000) {
    spx::ipx::SpxPacket p;
    spx::PutBE32(p.src.net, 0xABCD);
    p.src.node[0] = 2, p.src.node[5] = node;
    spx::PutBE16(p.src.sock, 0x4001);
    spx::PutBE16(p.dst.sock, socket);
    p.control = spx::ipx::CC_SYSTEM | spx::ipx::CC_SEND_ACK;
    p.srcConn = id;
    p.dstConn = spx::ipx::UNKNOWN_CONNECTION;
    return p;
}

// The caller's acknowledgement of the reply of call.
spx::ipx::SpxPacket AckOf(const HalfOpen& call) {
    spx::ipx::SpxPacket p;
    p.src = call.caller;
    p.dst = spx::stack::LocalOf(call);
    p.control = spx::ipx::CC_SYSTEM;
    p.srcConn = call.callerId;
    p.dstConn = call.myId;
    return p;
}

ipxAddr_t Listening(std::uint16_t socket = 0x9000) {
    ipxAddr_t a{};
    spx::PutBE16(a.sock, socket);
    return a;
}

constexpr std::array<std::uint16_t, 2> LISTENERS{0x8000, 0x9000};

// The packet with its destination socket or connection id changed.
spx::ipx::SpxPacket To(spx::ipx::SpxPacket p, std::uint16_t socket, std::uint16_t id) {
    spx::PutBE16(p.dst.sock, socket);
    p.dstConn = id;
    return p;
}

} // namespace

// Half-open calls: bounded per source and in all (the oldest evicted), a
// repeat is the same call, they expire, and only the caller's own packet to
// the reply's id completes one.
TEST(StackDoor, Bounds) {
    const Time t0{};
    Door door(DoorConfig{4, 2, 10s, 512, {1, 2}});
    std::uint16_t id = 100;
    const auto taken = [](std::uint16_t) { return true; }; // no cookies: ids 100, 101, ...
    const auto ask = [&](std::uint8_t node, std::uint16_t callerId, Time at) {
        return door.Request(Request(node, callerId), Listening(), 0, at, taken, {id++, 0x4000});
    };
    using enum Door::Verdict;
    const auto first = ask(1, 11, t0);
    EXPECT_TRUE(first.verdict == New && first.call->timed);
    const auto repeat = ask(1, 11, t0 + 1s); // answered with the same id; its set-up is not timed
    EXPECT_TRUE(repeat.verdict == Repeat && repeat.call->myId == 100 && !repeat.call->timed);
    EXPECT_TRUE(ask(1, 12, t0).verdict == New && ask(1, 13, t0).verdict == SourceFull);
    EXPECT_TRUE(ask(2, 21, t0 + 1s).verdict == New && ask(3, 31, t0 + 2s).verdict == New);
    EXPECT_EQ(door.Size(), 4u);
    EXPECT_EQ(ask(4, 41, t0 + 3s).verdict, New); // full: the oldest goes
    EXPECT_TRUE(door.Size() == 4 && door.Evicted() == 1 && !door.Holds(100));
    EXPECT_EQ(ask(1, 13, t0 + 3s).verdict, New); // node 1 has room again
    auto notRequest = Request(5, 51);
    notRequest.control = 0;
    EXPECT_EQ(door.Request(notRequest, Listening(), 0, t0, taken, {id++, 0x4000}).verdict,
              NotRequest);
    EXPECT_EQ(door.NextExpiry(), t0 + 1s + 10s); // node 2's, now the oldest
    door.Expire(t0 + 11s);
    EXPECT_TRUE(door.Size() == 3 && door.Expired() == 1);
    door.Expire(t0 + 13s + 10s);
    EXPECT_TRUE(door.Size() == 0 && !door.NextExpiry());
}

TEST(StackDoor, CompletedOnlyByTheCaller) {
    Door door(DoorConfig{.secret = {3, 4}});
    const Time t0{};
    const auto taken = [](std::uint16_t id) { return id != 500; };
    const auto a = door.Request(Request(1, 11), Listening(), 0, t0, taken, {500, 0x5A5A});
    ASSERT_EQ(a.verdict, Door::Verdict::New);
    const HalfOpen call = *a.call;
    EXPECT_EQ(call.mySocket, 0x5A5A); // the cookie taken: the spare's socket too
    auto stranger = AckOf(call);
    stranger.src.node[5] = 9; // another node
    auto otherId = AckOf(call);
    otherId.srcConn = 12;
    const auto ack = AckOf(call);
    for (const auto& p : {stranger, otherId, To(ack, 0x9001, 500), To(ack, 0x9000, 500),
                          To(ack, 0x5A5B, 500), To(ack, 0x5A5A, 501)})
        EXPECT_FALSE(door.Complete(p, LISTENERS, t0));
    const auto done = door.Complete(ack, LISTENERS, t0);
    EXPECT_TRUE(done && done->myId == 500 && !door.Holds(500));
    EXPECT_FALSE(door.Complete(ack, LISTENERS, t0)); // once
    // The reply names both ids and announces the window; the request it
    // came with reads back for the connection.
    const auto reply = ReplyOf(call, 512, 1500); // an SPX I request: an SPX I reply
    EXPECT_EQ(std::tuple(reply.control & (spx::ipx::CC_SPX2 | spx::ipx::CC_SEND_ACK),
                         spx::ipx::SockOf(reply.src), reply.srcConn, reply.dstConn,
                         reply.allocation, RequestOf(call).srcConn, RequestOf(call).dstConn),
              std::tuple(spx::ipx::CC_SEND_ACK, 0x5A5A, 500, 11, 511, 11,
                         spx::ipx::UNKNOWN_CONNECTION));
    // An SPX II request: the reply agrees on the smaller of its offer and
    // what our interface carries, and the request reads back with its offer.
    for (const auto [offer, ours, agreed] : {std::array{1500, 1500, 1500}, {1500, 1492, 1492},
                                             {1000, 1500, 1000}, {100, 1500, 576}}) {
        auto spx2 = Request(4, 41);
        spx2.control |= spx::ipx::CC_SPX2 | spx::ipx::CC_NEGOTIATE | spx::ipx::CC_EXTENDED;
        spx2.negotiation = static_cast<std::uint16_t>(offer);
        const HalfOpen c2 = *door.Request(spx2, Listening(), 0, t0, taken, {500, 0x5A5A}).call;
        const auto r2 = ReplyOf(c2, 512, static_cast<std::uint16_t>(ours));
        EXPECT_TRUE((r2.control & spx::ipx::CC_SPX2) && r2.negotiation == agreed &&
                    RequestOf(c2).negotiation == offer && door.Complete(AckOf(c2), LISTENERS, t0))
            << offer << " " << ours;
    }
    door.Request(Request(2, 21, 0x9001), Listening(0x9001), 0, t0, taken, {501, 0x4000});
    door.Request(Request(3, 31), Listening(), 0, t0, taken, {502, 0x4000});
    door.Forget(0x9001); // its listener closed
    EXPECT_TRUE(!door.Holds(501) && door.Holds(502));
}

// A call completes by its cookie, to the reply's socket with the reply's id,
// with its record and once a flood has evicted it: only the caller's first
// packet, only within its time, and only for the caller it was made for.
TEST(StackDoor, Cookies) {
    const Time t0{};
    const auto none = [](std::uint16_t) { return false; };
    Door other(DoorConfig{.secret = {5, 7}});
    const HalfOpen foreign =
        *other.Request(Request(1, 11), Listening(), 0, t0, none, {7, 0x4000}).call;
    for (const bool evicted : {false, true}) {
        Door door(DoorConfig{.total = 1, .secret = {5, 6}, .keep = 0s});
        const HalfOpen call =
            *door.Request(Request(1, 11), Listening(), 0, t0, none, {7, 0x4000}).call;
        EXPECT_TRUE(call.myId != 7 && foreign.myId != call.myId); // the cookie, free, secret's
        EXPECT_TRUE(call.mySocket >= DYNAMIC_FIRST && call.mySocket <= DYNAMIC_LAST);
        if (evicted)
            door.Request(Request(2, 21), Listening(), 0, t0, none, {8, 0x4000});
        EXPECT_EQ(door.Holds(call.myId), !evicted);
        const auto ack = AckOf(call);
        auto later = ack;
        later.sequence = 1;
        auto stranger = ack;
        stranger.src.node[5] = 9;
        const std::uint16_t wrongSocket = call.mySocket == 0x7FFF ? 0x4000 : call.mySocket + 1;
        struct Row {
            spx::ipx::SpxPacket p;
            Time at;
            bool completes;
        } rows[] = {{To(ack, 0x9000, call.myId), t0, false}, // the listener's socket
                    {To(ack, wrongSocket, call.myId), t0, false},
                    {To(ack, call.mySocket, call.myId ^ 1), t0, false},
                    {later, t0, !evicted}, // the record takes any packet of the caller
                    {stranger, t0, false},
                    {ack, t0 + 17s, false},
                    {ack, t0 + 9s, true},
                    {ack, t0, true}};
        for (const auto& r : rows) {
            const auto done = door.Complete(r.p, LISTENERS, r.at);
            EXPECT_EQ(done.has_value(), r.completes) << evicted;
            EXPECT_TRUE(!done || (done->callerId == 11 && done->mySocket == call.mySocket &&
                                  done->timed == (r.p.sequence == 1) && // by its record
                                  spx::ipx::SockOf(done->local) == 0x9000));
        }
        EXPECT_FALSE(door.Complete(ack, std::span(LISTENERS).first(1), t0)); // not listening
        // An SPX II caller's first packet names the size its reply agreed on;
        // by its cookie too the connection is SPX II of that size.
        auto spx2 = ack;
        spx2.control |= spx::ipx::CC_SPX2 | spx::ipx::CC_EXTENDED;
        spx2.negotiation = 1000;
        const auto two = door.Complete(spx2, LISTENERS, t0);
        ASSERT_TRUE(two);
        EXPECT_TRUE(RequestOf(*two).control & spx::ipx::CC_SPX2);
        EXPECT_EQ(RequestOf(*two).negotiation, 1000);
    }
    // A table full of young calls (a flood) records no more: a new call is
    // answered by its cookie, which completes it; its spare, when the
    // cookie's id is taken, needs a record and evicts the oldest.
    Door door(DoorConfig{.total = 2, .secret = {5, 6}, .keep = 2s});
    const auto busy = [&](std::uint16_t) { return true; }; // the cookie's id is taken
    const HalfOpen spare =
        *door.Request(Request(1, 11), Listening(), 0, t0, busy, {9, 0x6001}).call;
    EXPECT_EQ(spare.myId, 9);
    EXPECT_EQ(spare.mySocket, 0x6001);
    door.Request(Request(2, 21), Listening(), 0, t0, none, {10, 0x4000});
    const HalfOpen unrecorded =
        *door.Request(Request(3, 31), Listening(), 0, t0 + 1s, none, {11, 0x4000}).call;
    EXPECT_EQ(door.Size(), 2u);
    EXPECT_EQ(door.Evicted(), 0u);
    EXPECT_FALSE(door.Holds(unrecorded.myId));
    EXPECT_TRUE(door.Complete(AckOf(unrecorded), LISTENERS, t0 + 1s));
    EXPECT_EQ(door.Request(Request(4, 41), Listening(), 0, t0 + 1s, busy, {12, 0x4000}).call->myId, 12);
    EXPECT_TRUE(door.Holds(12));
    EXPECT_EQ(door.Evicted(), 1u);
    door.Request(Request(5, 51), Listening(), 0, t0 + 2s, none, {13, 0x4000}); // the oldest is old enough
    EXPECT_EQ(door.Evicted(), 2u);
}

// Sockets: one holder each, shared by the connections on it (taken by one
// when none holds it), freed by the last; dynamic ones from the range,
// resting after use.
TEST(StackSockets, Table) {
    SocketTable t(2s);
    const Time t0{};
    EXPECT_TRUE(t.Bind(0x9000) && !t.Bind(0x9000) && !t.Bind(0));
    t.Share(0x9000);             // a connection accepted on it
    t.Release(0x9000, t0);       // the listener closes
    EXPECT_TRUE(t.Held(0x9000)); // the connection still runs
    t.Release(0x9000, t0);
    EXPECT_FALSE(t.Held(0x9000));
    EXPECT_TRUE(t.Bind(0x9000));
    EXPECT_EQ(t.BindDynamic(0x3FFF, t0), 0x7FFF); // any start: wraps into the range
    EXPECT_FALSE(t.Bind(0x7FFF));
    t.Release(0x7FFF, t0);
    EXPECT_EQ(t.BindDynamic(0x3FFF, t0 + 1s), 0x4000); // 7FFF rests
    EXPECT_EQ(t.BindDynamic(0x3FFF, t0 + 3s), 0x7FFF); // rested
    t.Share(0x4321); // a call completed at the door on a socket none held
    EXPECT_FALSE(t.Bind(0x4321));
    EXPECT_FALSE((t.Release(0x4321, t0), t.Held(0x4321)));
    SocketTable full;
    for (unsigned i = 0; i < 0x4000; ++i)
        ASSERT_TRUE(full.BindDynamic(static_cast<std::uint16_t>(i), t0));
    EXPECT_TRUE(!full.BindDynamic(0, t0) && full.Count() == 0x4000);
}
