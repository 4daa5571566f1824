// The interface file (NSPX_CONF, else /etc/nspx.conf): which interfaces are
// on an IPX network, their network numbers and frame types.
//
//     # interface  network   frame
//     eth0         0000ABCD  ethernet_ii
//
// One interface a line, fields separated by blanks (spaces or tabs), '#'
// starts a comment, blank lines are ignored. The network is exactly 8
// hexadecimal digits, neither 00000000 nor FFFFFFFF, and appears once; an
// interface appears once; its name is a Linux interface name (1 to 15
// bytes, none of them '/', ':' or a blank, neither "." nor "..").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ipx/frame.h"

namespace spx::ipx {

struct IpxInterface {
    std::string interface;
    std::uint32_t network = 0;
    FrameType frame = FrameType::EthernetII;
};

// The parsed file, or one line of text naming the file, the line and what is
// wrong: "/etc/nspx.conf:3: network 00000000 is reserved".
using ConfResult = std::variant<std::vector<IpxInterface>, std::string>;

ConfResult ParseConf(std::string_view text, std::string_view path);

} // namespace spx::ipx
