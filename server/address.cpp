#include "address.h"

#include <span>

#include <spx/byteorder.h>

CallerKey::CallerKey(const ipxAddr_t& address) : network_(spx::GetBE32(address.net)) {
    std::copy(std::begin(address.node), std::end(address.node), node_.begin());
}

std::uint32_t CallerKey::IPv4() const {
    return Ipx() ? 0 : spx::GetBE32(std::span(node_).subspan<2, 4>());
}

std::size_t CallerKey::Hash() const {
    std::uint64_t h = network_;
    for (const unsigned char b : node_)
        h = h * 1099511628211ULL ^ b;
    return static_cast<std::size_t>(h);
}

std::string ShowAddress(const ipxAddr_t& address) {
    std::string shown;
    const auto hex = [&](std::span<const unsigned char> bytes) {
        for (const unsigned char b : bytes)
            shown += "0123456789ABCDEF"[b >> 4], shown += "0123456789ABCDEF"[b & 15];
        shown += 'h';
    };
    hex(address.net), shown += ' ', hex(address.node), shown += ' ';
    hex(address.sock);
    return shown;
}
