// The stack's door: connection requests to a listening socket are answered
// here, by a small record and a reply, and become a call for the listener
// only when the caller acknowledges the reply (any packet of it to the socket
// and connection id the reply came from). Half-open calls are bounded per
// source node and in all; a request that finds the table full evicts the
// oldest; a call not completed within its life is forgotten. A repeated
// request (same source address and connection id) is the same call, answered
// again. A table full of calls younger than a moment (a flood) keeps no record
// of a new one: it is answered by its cookie alone. So a flood of forged requests costs a few dozen bytes each, up to the
// bound, and nothing else. The reply comes from a socket of the dynamic range
// (0x4000 to 0x7FFF), not the listener's, with a connection id of it: both
// are, where the id is free, a keyed hash of the call and the time (a cookie),
// else chosen at random. SPX callers take the reply's source address as the
// peer's, so the connection runs on that socket; a caller whose record a flood
// has evicted still completes the set-up when its acknowledgement comes. A
// forger who cannot see the replies must guess 14 bits of socket and 16 of
// id: one guess in 2^30 (1,073,741,824) matches a given call; as a cookie
// holds for its time slot and the one after, a packet matches one of two
// cookies per listening socket, 2^-29 with one listener. At 225,000 forged
// packets a second that is one call in some 40 minutes (2^29 / 225,000 =
// 2,386 s), each still bounded by the listener's queue. Pure: the clock and
// the secret come in as parameters.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <span>
#include <unordered_map>

#include "ipx/packet.h"
#include "sockets.h"

namespace spx::stack {

struct DoorConfig {
    std::size_t total = 4096;   // half-open calls in all
    std::size_t perSource = 16; // of one source node
    std::chrono::milliseconds life{16000};
    std::uint16_t window = 512;            // the allocation the reply announces, in packets
    std::array<std::uint64_t, 2> secret{}; // the cookies' key
    std::chrono::seconds cookieSlot{8};    // a cookie holds for one to two of these
    // A full table evicts its oldest call only when it is at least this old:
    // a table full of younger ones (a flood) answers by cookie alone.
    std::chrono::milliseconds keep{2000};
};

// One answered request.
struct HalfOpen {
    ipxAddr_t caller{}; // the request's source address
    ipxAddr_t local{};  // ours: the listener's address on the interface
    std::uint16_t callerId = 0, callerAlloc = 0;
    std::uint8_t callerControl = 0; // the request's SPX II bits
    std::uint16_t offer = 0;        // and the packet size it offered
    std::uint16_t myId = 0;         // the connection id the reply gave
    std::uint16_t mySocket = 0;     // the dynamic socket the reply came from
    std::size_t iface = 0;          // where it came in
    Time answered{};
    // The reply went once, at answered: the caller's acknowledgement times the
    // round trip. Not when the request came again (whichever reply it answers)
    // or the call was completed by its cookie alone (when it went is unknown).
    bool timed = true;
};

class Door {
  public:
    enum class Verdict : std::uint8_t { New, Repeat, SourceFull, NotRequest };
    // Whether a connection id is taken by a connection of the host.
    using Taken = std::function<bool(std::uint16_t)>;
    struct Answer {
        Verdict verdict;
        const HalfOpen* call = nullptr; // New and Repeat: the call to (re)send the reply of
    };

    // What a reply gives when the cookie's id is taken: an id none has and a
    // dynamic socket, both chosen at random.
    struct Spare {
        std::uint16_t id = 0, socket = DYNAMIC_FIRST;
    };

    explicit Door(const DoorConfig& config = {})
        : config_(config), byCaller_(config.total, Hash{config.secret[1]}),
          perSource_(config.total, Hash{config.secret[0]}) {}

    // A packet sent to a listening socket with dest id FFFF: a connection
    // request is answered (New: with the call's cookie when no connection or
    // call has its id, else with the spare; the oldest call goes when the
    // table is full, unless it is younger than config.keep: then the call,
    // with its cookie, is not recorded, and the answer's call holds until the
    // next request).
    Answer Request(const ipx::SpxPacket& request, const ipxAddr_t& local, std::size_t iface,
                   Time now, const Taken& taken, Spare spare) {
        return Request(request, local, iface, now, taken, [spare] { return spare; });
    }
    // The same, the spare made only when it is needed.
    Answer Request(const ipx::SpxPacket& request, const ipxAddr_t& local, std::size_t iface,
                   Time now, const Taken& taken, const std::function<Spare()>& spare);
    // A packet to a socket and connection id that no connection has: when it
    // is the caller's, to the socket and id of its reply, the call is complete
    // and leaves the door. A call no longer in the table completes too when
    // socket and id are its cookie for one of the listening sockets and the
    // packet is the caller's first (sequence and acknowledge 0); iface and the
    // time it was answered are then unknown (0, now).
    std::optional<HalfOpen> Complete(const ipx::SpxPacket& p,
                                     std::span<const std::uint16_t> listening, Time now);
    bool Holds(std::uint16_t myId) const { return byId_.count(myId) != 0; }

    // Forgets the calls older than their life; when the next one expires.
    void Expire(Time now);
    std::optional<Time> NextExpiry() const;
    // Forgets the calls to a listening socket that is closed.
    void Forget(std::uint16_t socket);

    std::size_t Size() const { return order_.size(); }
    std::uint64_t Evicted() const { return evicted_; }
    std::uint64_t Expired() const { return expired_; }

  private:
    using Key = std::array<std::uint8_t, 14>; // caller address and connection id
    using Node = std::array<std::uint8_t, 6>;
    struct Hash { // of a Key or a Node, keyed: a forger cannot aim at one bucket
        std::uint64_t seed = 0;
        template <std::size_t N> std::size_t operator()(const std::array<std::uint8_t, N>& k) const;
    };
    static Key KeyOf(const ipxAddr_t& a, std::uint16_t id);
    // The cookie's socket and id.
    Spare Cookie(const ipxAddr_t& caller, std::uint16_t callerId, std::uint16_t socket, Time at,
                 int slotsBack) const;
    static Node NodeOf(const ipxAddr_t& a);
    void Erase(std::list<HalfOpen>::iterator it);
    std::optional<HalfOpen> ByCookie(const ipx::SpxPacket& p, std::uint16_t listener,
                                     Time now) const;

    DoorConfig config_;
    std::list<HalfOpen> order_; // oldest first
    std::unordered_map<std::uint16_t, std::list<HalfOpen>::iterator> byId_;
    std::unordered_map<Key, std::list<HalfOpen>::iterator, Hash> byCaller_;
    std::unordered_map<Node, std::size_t, Hash> perSource_;
    HalfOpen unrecorded_; // the last call answered by cookie alone
    std::uint64_t evicted_ = 0, expired_ = 0;
};

// Our address in a call: the listener's node with the reply's socket.
ipxAddr_t LocalOf(const HalfOpen& call);
// The reply that answers a call, from LocalOf(call): a system packet asking for an
// acknowledgement, both ids, sequence and acknowledge 0, our allocation.
// An SPX II caller gets an SPX II reply agreeing on the smaller of its offer
// and maxPacket (what our interface carries); an SPX I caller an SPX I one.
ipx::SpxPacket ReplyOf(const HalfOpen& call, std::uint16_t window, std::uint16_t maxPacket);
// The connection request a call came with, as the SPX connection takes it.
ipx::SpxPacket RequestOf(const HalfOpen& call);

} // namespace spx::stack
