// The socket filter of one endpoint on one interface: a classic BPF program
// that the shell attaches (SO_ATTACH_FILTER) to an ETH_P_ALL packet socket
// bound to that interface, so that the kernel hands each endpoint only its
// own SPX packets, in the listener and in every child after fork alike.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <linux/filter.h>

#include "ipx/frame.h"

namespace spx::ipx {

// Accepts (whole frame) only frames that
//  - were sent to this host (packet type PACKET_HOST: neither our own
//    outgoing frames nor frames for other hosts seen in promiscuous mode),
//  - are of the interface's frame type,
//  - carry an IPX packet of type 5 whose destination network is `network`
//    or 0 and whose destination socket is `socket`,
//  - when connId is given, whose SPX destination connection id is *connId.
// A listener passes UNKNOWN_CONNECTION (0xFFFF): it takes connection requests
// only. A connected endpoint (its own socket) passes its own connection id,
// so that packets of an earlier connection on the same socket never reach
// it. A frame too short for a field the program loads is dropped.
std::vector<sock_filter> BuildFilter(FrameType frame, std::uint32_t network, std::uint16_t socket,
                                     std::optional<std::uint16_t> connId);

// Which packets of the interface a socket of the host's stack takes:
// connection requests (SPX destination connection id FFFF), or every other.
enum class Requests : std::uint8_t { Any, Only, None };

// The same checks without the socket and the connection id: every SPX packet
// of the interface's frame type for `network` (or 0) sent to this host, or of
// those the connection requests only or all but them. The host's stack takes
// these and tells sockets and connections apart itself.
std::vector<sock_filter> BuildInterfaceFilter(FrameType frame, std::uint32_t network,
                                              Requests requests = Requests::Any);

} // namespace spx::ipx
