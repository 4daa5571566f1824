// The verbose lines that say what a connection travels on: the carrier
// (TCP or IPX), the interface, and both addresses as they are on it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <spx/tiuser.h>

// An address as the verbose lines print it, without line end:
// "0000ABCDh 020000000001h 4500h".
std::string IpxAddressText(const ipxAddr_t& a);

// The line for path (without prefix or line end), after what ("connection",
// "listener"): "connection over IPX on eth0: local 0000ABCDh
// 020000000002h 4001h, peer 0000ABCDh 020000000001h 4500h", "connection over
// TCP: local 127.0.0.1 port 40312, peer 127.0.0.1 port 19216".
std::string PathLine(std::string_view what, const spx_path& path);

// Prints the line of every path of fd (spx_getpath) on stream.
void ShowPaths(std::FILE* stream, int fd, std::string_view what);
