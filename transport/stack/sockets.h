// The IPX socket numbers of the host, held by the stack alone: a socket bound
// by a listener or a caller, a dynamic one (0x4000 to 0x7FFF) chosen for an
// endpoint that named none or by the door for a call it answered, each freed
// when its last holder (the endpoint and every connection still running on
// it) lets go. A freed dynamic socket rests a while before it is chosen
// again, so that late packets of an old connection meet no new one. Pure: the
// clock comes in as a parameter.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace spx::stack {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

inline constexpr std::uint16_t DYNAMIC_FIRST = 0x4000;
inline constexpr std::uint16_t DYNAMIC_LAST = 0x7FFF;

class SocketTable {
  public:
    explicit SocketTable(std::chrono::milliseconds rest = std::chrono::seconds(2)) : rest_(rest) {}

    // Takes socket (not 0) for a new holder: false when it is held already.
    bool Bind(std::uint16_t socket);
    // Takes a free dynamic socket, looking from `start` on (any number; the
    // caller passes a random one); empty when every one is held or resting.
    std::optional<std::uint16_t> BindDynamic(std::uint16_t start, Time now);
    // One more holder of a socket (a connection that runs on it): taken
    // when none holds it, resting or not.
    void Share(std::uint16_t socket);
    // One holder less; the socket is free when none is left.
    void Release(std::uint16_t socket, Time now);

    bool Held(std::uint16_t socket) const { return held_.count(socket) != 0; }
    std::size_t Count() const { return held_.size(); }

  private:
    std::chrono::milliseconds rest_;
    std::unordered_map<std::uint16_t, unsigned> held_; // socket: holders
    std::unordered_map<std::uint16_t, Time> resting_;  // dynamic, freed at
};

} // namespace spx::stack
