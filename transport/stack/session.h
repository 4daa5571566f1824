// One SPX connection as the stack runs it. This is the only place that calls
// the SPX state machine, so that a change of its interface is mended here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "door.h"
#include "ipx/spx_connection.h"

namespace spx::stack {

// What the program sees next.
enum class Event : std::uint8_t { None, Data, Release, Disconnect };

class Session {
  public:
    // A caller: the request to `remote` is due.
    // maxPacket: the largest IPX packet the interface carries (SPX II
    // offers it; an SPX I peer gets 576).
    static Session Call(const ipxAddr_t& local, const ipxAddr_t& remote, std::uint16_t myId,
                        std::uint16_t maxPacket, Time now);
    // The answer to a call completed at the door by `first` (the caller's
    // acknowledgement, or its first packet), which the connection takes.
    static Session Answered(const HalfOpen& call, const ipx::SpxPacket& first,
                            std::uint16_t maxPacket, Time now);
    static std::uint16_t Window() { return ipx::SpxConnection::Config{}.window; }

    void Input(const ipx::SpxPacket& p, Time now) { c_.Input(p, now); }
    void Tick(Time now) { c_.Tick(now); }
    std::optional<Time> Deadline() const { return c_.NextDeadline(); }
    // Hands every packet due to send, in order; each span is valid until the
    // next call on the session other than Pop itself.
    std::span<const std::uint8_t> Pop(Time now) { return c_.PopOutput(now); }

    bool Connecting() const;
    bool Established() const;
    bool Ended() const;
    // Ended or closed, nothing left to send or acknowledge: the stack may
    // forget the connection.
    bool Finished() const;

    std::size_t SendRoom() const;
    std::size_t Send(std::span<const std::uint8_t> data, bool more, Time now);
    // Lets a packet that a unit sent with T_MORE left open go out: the
    // program has handed nothing more for now.
    void Push() { c_.Push(); }
    void Release(Time now) { c_.SendRelease(now); }
    void Disconnect(Time now) { c_.Disconnect(now); }
    void Abort() { c_.Abort(); }

    Event Next() const;
    // Takes received bytes of the unit at hand into out, packet after packet;
    // more: the unit goes on past what was taken. The last packet of a unit
    // stays a piece of its own, as the programs tell an end unit by it: when
    // it was taken after others, last is its size (else empty).
    std::size_t Take(std::span<std::uint8_t> out, bool& more, std::optional<std::size_t>& last);
    void TakeRelease() { c_.TakeRelease(); }
    int TakeDisconnect() { return c_.TakeDisconnect(); }

    const ipxAddr_t& Peer() const { return c_.Peer(); }
    const ipxAddr_t& Local() const { return c_.Local(); }
    SPX_OPTS PeerOptions() const { return c_.PeerOptions(); }
    SPX_OPTS LocalOptions() const { return c_.LocalOptions(); }

    // One line of state for the stack's status: state, allocations, bytes,
    // packets, retransmissions.
    std::string Describe() const;
    // Packets this connection refused, by reason, added into `into`.
    void AddDrops(std::span<std::uint64_t> into) const;

  private:
    explicit Session(ipx::SpxConnection c) : c_(std::move(c)) {}
    ipx::SpxConnection c_;
};

} // namespace spx::stack
