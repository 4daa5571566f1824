// Interfaces and packet sockets.
#include "wire.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "ipx/filter.h"

namespace spx::stack {

namespace {

// The interface's request block, named.
ifreq RequestFor(const std::string& name) {
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name.data(), std::min(name.size(), std::size_t{IFNAMSIZ - 1}));
    return ifr;
}

} // namespace

bool FindIface(const ipx::IpxInterface& conf, Iface& iface, std::string& why) {
    iface.conf = conf;
    iface.index = static_cast<int>(if_nametoindex(conf.interface.c_str()));
    ifreq hw = RequestFor(conf.interface), mtu = RequestFor(conf.interface);
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool known = iface.index > 0 && probe >= 0 && ioctl(probe, SIOCGIFHWADDR, &hw) == 0 &&
                       hw.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    if (known && ioctl(probe, SIOCGIFMTU, &mtu) == 0)
        iface.mtu = mtu.ifr_mtu;
    if (probe >= 0)
        close(probe);
    if (!known) {
        why = conf.interface + ": no such Ethernet interface on this host";
        return false;
    }
    std::memcpy(iface.mac.data(), hw.ifr_hwaddr.sa_data, iface.mac.size());
    return true;
}

bool LinkUp(const Iface& iface) {
    ifreq ifr = RequestFor(iface.conf.interface);
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool ok = probe >= 0 && ioctl(probe, SIOCGIFFLAGS, &ifr) == 0;
    if (probe >= 0)
        close(probe);
    return ok && (ifr.ifr_flags & IFF_UP) != 0 && (ifr.ifr_flags & IFF_RUNNING) != 0;
}

namespace {

// A packet socket on iface taking what the filter lets through, with a
// receive buffer of `room` bytes; -1 with why set.
int OpenSocket(const Iface& iface, ipx::Requests requests, int room, std::string& why) {
    const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        why = iface.conf.interface + ": cannot open a packet socket: " + std::strerror(errno) +
              (errno == EPERM ? " (CAP_NET_RAW is missing)" : "");
        return -1;
    }
    const auto filter = ipx::BuildInterfaceFilter(iface.conf.frame, iface.conf.network, requests);
    sock_fprog prog{static_cast<unsigned short>(filter.size()),
                    const_cast<sock_filter*>(filter.data())};
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = iface.index;
    const int big = 8 << 20, on = 1;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    // Our own frames are none of our input: the kernel need not copy each
    // one it sends for this socket's filter to refuse.
    setsockopt(s, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (setsockopt(s, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        why = iface.conf.interface + ": packet socket: " + std::strerror(errno);
        close(s);
        return -1;
    }
    return s;
}

std::uint64_t Dropped(int sock) {
    tpacket_stats stats{};
    socklen_t size = sizeof stats;
    if (sock < 0 || getsockopt(sock, SOL_PACKET, PACKET_STATISTICS, &stats, &size) != 0)
        return 0;
    return stats.tp_drops; // since the last look: the kernel starts again at 0
}

} // namespace

bool OpenIface(Iface& iface, std::string& why) {
    // Requests wait at most a short queue: past it a flood's are dropped by
    // the kernel, at no cost to the stack, and a caller's repeated request
    // finds the queue no longer than the stack reads in a moment.
    iface.sock = OpenSocket(iface, ipx::Requests::None, 8 << 20, why);
    iface.door = iface.sock < 0 ? -1 : OpenSocket(iface, ipx::Requests::Only, 2 << 20, why);
    if (iface.door >= 0)
        return true;
    if (iface.sock >= 0)
        close(iface.sock);
    iface.sock = -1;
    return false;
}

void CountKernelDrops(Iface& iface) {
    iface.kernelDrops += Dropped(iface.sock);
    iface.doorDrops += Dropped(iface.door);
}

ipxAddr_t AddressOf(const Iface& iface, std::uint16_t socket) {
    ipxAddr_t a{};
    PutBE32(a.net, iface.conf.network);
    std::memcpy(a.node, iface.mac.data(), sizeof a.node);
    PutBE16(a.sock, socket);
    return a;
}

bool IsLocal(const Iface& iface, const ipxAddr_t& to) {
    return ipx::NetOf(to) == iface.conf.network &&
           std::memcmp(to.node, iface.mac.data(), sizeof to.node) == 0;
}

bool ReceiveBatch(int sock, Received& out) {
    std::array<iovec, BATCH> iov;
    std::array<mmsghdr, BATCH> msgs;
    for (std::size_t i = 0; i < BATCH; ++i) {
        iov[i] = {out.room[i].data(), FRAME_ROOM};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(sock, msgs.data(), BATCH, MSG_DONTWAIT, nullptr);
    out.count = n > 0 ? static_cast<std::size_t>(n) : 0;
    for (std::size_t i = 0; i < out.count; ++i) // a giant frame is nobody's packet
        out.length[i] = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) ? 0 : msgs[i].msg_len;
    return out.count > 0;
}

bool SendPackets(Iface& iface, std::span<const std::span<const std::uint8_t>> packets) {
    static const std::array<std::uint8_t, ipx::MIN_FRAME> zeros{};
    std::array<std::array<std::uint8_t, ipx::MAX_FRAME_HEADER>, BATCH> headers;
    std::array<std::array<iovec, 3>, BATCH> iov;
    std::array<mmsghdr, BATCH> msgs;
    const auto frame = iface.conf.frame;
    while (!packets.empty()) {
        const std::size_t n = std::min(packets.size(), BATCH);
        for (std::size_t i = 0; i < n; ++i) {
            const auto p = packets[i];
            ipx::Mac dst{};
            if (p.size() >= ipx::IPX_HEADER)
                std::memcpy(dst.data(), p.data() + offsetof(ipx::IpxHeaderWire, dstNode),
                            dst.size());
            const std::size_t h =
                ipx::EncodeFrameHeader(frame, dst, iface.mac, p.size(), headers[i]);
            iov[i] = {
                iovec{headers[i].data(), h}, iovec{const_cast<std::uint8_t*>(p.data()), p.size()},
                iovec{const_cast<std::uint8_t*>(zeros.data()), ipx::FramePadding(frame, p.size())}};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = iov[i].data();
            msgs[i].msg_hdr.msg_iovlen = 3;
        }
        std::size_t sent = 0;
        while (sent < n) {
            const int r = sendmmsg(iface.sock, msgs.data() + sent, static_cast<unsigned>(n - sent),
                                   MSG_DONTWAIT);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && (errno == ENOBUFS || errno == EAGAIN)) // the retransmission mends it
                break;
            if (r < 0)
                return false;
            sent += static_cast<std::size_t>(r);
        }
        iface.framesOut += sent;
        packets = packets.subspan(n);
    }
    return true;
}

std::uint16_t RandomU16() {
    // The kernel's random bytes, fetched a block at a time: the door draws
    // on them for every request it answers.
    static std::array<std::uint16_t, 512> pool{};
    static std::size_t next = pool.size();
    if (next == pool.size()) {
        if (getrandom(pool.data(), sizeof pool, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof pool))
            for (auto& v : pool) // no entropy yet: still varied, if guessable
                v = static_cast<std::uint16_t>(getpid() ^ static_cast<int>(time(nullptr)) ^
                                               static_cast<int>(&v - pool.data()) * 40503);
        next = 0;
    }
    return pool[next++];
}

std::uint16_t MaxPacketOf(const Iface& iface) {
    const long overhead = static_cast<long>(ipx::FrameHeaderSize(iface.conf.frame) - ipx::ETH_HEADER);
    return static_cast<std::uint16_t>(
        std::clamp<long>(iface.mtu - overhead, static_cast<long>(ipx::SPX1_PACKET),
                         static_cast<long>(ipx::MAX_PACKET)));
}

} // namespace spx::stack
