// The stack's contact with the interfaces: each interface of the file, its
// packet socket, and frames in and out in batches (recvmmsg, sendmmsg).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "ipx/conf.h"
#include "ipx/frame.h"
#include "ipx/packet.h"

namespace spx::stack {

// An interface of the interface file, as this host has it.
struct Iface {
    ipx::IpxInterface conf;
    int index = 0; // the kernel's interface index
    ipx::Mac mac{};
    int mtu = 0;
    int sock = -1; // the packet socket of every packet but connection requests
    int door = -1; // the packet socket of connection requests
    std::uint64_t framesIn = 0, framesOut = 0;
    std::uint64_t kernelDrops = 0, doorDrops = 0; // frames the sockets had no room for
};

// Looks the interface up on this host: false with why set.
bool FindIface(const ipx::IpxInterface& conf, Iface& iface, std::string& why);
// Whether the interface is up and its link running.
bool LinkUp(const Iface& iface);
// Opens iface's two packet sockets (non-blocking, close-on-exec), one taking
// every SPX packet for its network but connection requests, one those: a
// flood of requests fills only the second, and never delays or drops a
// connection's packets. False with why set.
bool OpenIface(Iface& iface, std::string& why);
// Adds to iface's counters the frames its sockets dropped for want of room.
void CountKernelDrops(Iface& iface);
// The largest IPX packet iface carries: its MTU less what its frame type
// puts before the packet, from 576 (SPX I's size) to the largest we send.
std::uint16_t MaxPacketOf(const Iface& iface);
// Our own address on iface.
ipxAddr_t AddressOf(const Iface& iface, std::uint16_t socket);
// Whether `to` is this host on iface (network and MAC address).
bool IsLocal(const Iface& iface, const ipxAddr_t& to);

inline constexpr std::size_t BATCH = 64;
inline constexpr std::size_t FRAME_ROOM = 1536; // a whole Ethernet frame

// Frames received in one batch.
struct Received {
    std::array<std::array<std::uint8_t, FRAME_ROOM>, BATCH> room;
    std::array<std::uint32_t, BATCH> length{};
    std::size_t count = 0;
};
// One recvmmsg on a packet socket; whether any frame came (a frame too large
// for its room comes with length 0).
bool ReceiveBatch(int sock, Received& out);
// Sends IPX packets as frames of iface's type, each to the node its header
// names, in batches; packets the socket has no room for are left to the
// retransmission. False when the socket refused them.
bool SendPackets(Iface& iface, std::span<const std::span<const std::uint8_t>> packets);

// An unpredictable 16-bit number.
std::uint16_t RandomU16();

} // namespace spx::stack
