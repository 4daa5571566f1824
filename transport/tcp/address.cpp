// Mapping between IPX addresses and IPv4: node 00 00 a b c d is the host
// a.b.c.d, the all-zero node this host, the socket the TCP port.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "tcp.h"

namespace spx {

namespace {

ipxAddr_t Make(std::uint32_t ipv4, std::uint16_t port) {
    ipxAddr_t a{};
    a.node[2] = static_cast<unsigned char>(ipv4 >> 24);
    a.node[3] = static_cast<unsigned char>(ipv4 >> 16);
    a.node[4] = static_cast<unsigned char>(ipv4 >> 8);
    a.node[5] = static_cast<unsigned char>(ipv4);
    PutBE16(a.sock, port);
    return a;
}

// IPv4 address of the first configured interface that is up and not
// loopback; loopback when there is none.
std::uint32_t FirstInterface() {
    static bool known = false;
    static std::uint32_t addr = INADDR_LOOPBACK;
    if (known)
        return addr;
    known = true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return addr;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        addr = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        break;
    }
    freeifaddrs(list);
    return addr;
}

} // namespace

ipxAddr_t HostAddress(std::uint16_t port) {
    return Make(FirstInterface(), port);
}

ipxAddr_t SocketAddress(int fd, bool peer) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    int r = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&sin), &len)
                 : getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    if (r != 0 || sin.sin_family != AF_INET)
        return Make(INADDR_LOOPBACK, 0);
    std::uint32_t ip = ntohl(sin.sin_addr.s_addr);
    if (ip == INADDR_ANY)
        ip = FirstInterface();
    return Make(ip, ntohs(sin.sin_port));
}

bool ToInet(const ipxAddr_t& addr, std::uint32_t& ipv4, std::uint16_t& port) {
    port = GetBE16(addr.sock);
    if (std::all_of(std::begin(addr.node), std::end(addr.node),
                    [](unsigned char b) { return b == 0; })) {
        ipv4 = INADDR_LOOPBACK;
        return true;
    }
    if (addr.node[0] != 0 || addr.node[1] != 0)
        return false;
    ipv4 = (std::uint32_t{addr.node[2]} << 24) | (std::uint32_t{addr.node[3]} << 16) |
           (std::uint32_t{addr.node[4]} << 8) | addr.node[5];
    return true;
}

} // namespace spx
