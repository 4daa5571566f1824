// Who a caller is: its real address as the provider reports it at t_listen.
// A TCP caller comes with network 00000000 and node 00 00 + its IPv4
// address; an IPX caller always with a network that is not 00000000 (the
// one it sent, or its receiving interface's when it sent 00000000). The
// network alone tells the two apart: a node that happens to start with
// 00 00 is a MAC address on an IPX network, never an IPv4 host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <spx/ipx.h>

// One caller key: an IPv4 address, or an IPX network and node. Callers of
// one key share the children of -p and the places of the waiting room.
class CallerKey {
  public:
    CallerKey() = default;
    explicit CallerKey(const ipxAddr_t& address);
    bool Ipx() const { return network_ != 0; }
    // The IPX network (0 for a TCP caller), the node, and the IPv4 address
    // (host order) of a TCP caller (0 for an IPX caller).
    std::uint32_t Network() const { return network_; }
    const std::array<unsigned char, 6>& Node() const { return node_; }
    std::uint32_t IPv4() const;
    bool operator==(const CallerKey&) const = default;
    std::size_t Hash() const;

  private:
    std::uint32_t network_ = 0;
    std::array<unsigned char, 6> node_{};
};

struct CallerKeyHash {
    std::size_t operator()(const CallerKey& key) const { return key.Hash(); }
};

// An address as the verbose lines show it: "0000ABCDh 020000000002h 4500h".
std::string ShowAddress(const ipxAddr_t& address);
