// The IPX carrier's contact with the system: the interface file, the
// interfaces, packet sockets (and the privilege they need), socket holds,
// connection ids, and frames in and out in batches.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <spx/tiuser.h>

#include "ipx/shell.h"

namespace spx {

namespace {

constexpr const char* DEFAULT_CONF = "/etc/nspx.conf";
constexpr std::size_t MAX_CONF = 64 * 1024;

// The file's text; false with the detail set when it cannot be read. A file
// that is not there is an empty one.
bool ReadConf(const char* path, std::string& text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    if (fd < 0 && (errno == EMFILE || errno == ENFILE))
        return false; // the process's shortage, not the file's: a plain system error
    std::array<char, 4096> buf;
    ssize_t n = 0;
    while (fd >= 0 && text.size() <= MAX_CONF && (n = read(fd, buf.data(), buf.size())) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buf.data(), static_cast<std::size_t>(n));
    }
    const int err = errno;
    if (fd >= 0)
        close(fd);
    if (fd < 0 || n < 0 || text.size() > MAX_CONF) {
        SetErrorDetail(std::string(path) + ": " +
                       (text.size() > MAX_CONF ? "larger than 64 KiB" : std::strerror(err)));
        errno = text.size() > MAX_CONF ? EFBIG : err;
        return false;
    }
    return true;
}

} // namespace

Interfaces LoadIpxInterfaces() {
    const char* path = std::getenv("NSPX_CONF");
    if (path == nullptr || *path == '\0')
        path = DEFAULT_CONF;
    std::string text;
    if (!ReadConf(path, text))
        return nullptr;
    auto parsed = ipx::ParseConf(text, path);
    if (auto* fault = std::get_if<std::string>(&parsed)) {
        SetErrorDetail(*fault);
        errno = EINVAL;
        return nullptr;
    }
    auto file = std::make_shared<InterfaceFile>();
    file->interfaces = std::get<std::vector<ipx::IpxInterface>>(std::move(parsed));
    return file;
}

bool HaveIpxInterfaces(const InterfaceFile& file) {
    return !file.interfaces.empty();
}

bool IsIpxNetwork(const InterfaceFile& file, std::uint32_t net) {
    return std::any_of(file.interfaces.begin(), file.interfaces.end(),
                       [&](const ipx::IpxInterface& i) { return i.network == net; });
}

bool IpxListeningPath(const InterfaceFile& file, std::size_t index, std::uint16_t socket,
                      spx_path& path) {
    if (index >= file.interfaces.size())
        return false;
    ipx::Port port;
    if (!ipx::PortOf(file.interfaces[index], port)) // gone since: its network still tells
        port.conf = file.interfaces[index];
    ClearErrorDetail();
    path = spx_path{};
    path.carrier = SPX_CARRIER_IPX;
    port.conf.interface.copy(path.interface, sizeof path.interface - 1);
    path.local = ipx::AddressOf(port, socket);
    return true;
}

namespace ipx {

bool PortOf(const IpxInterface& conf, Port& port) {
    port.conf = conf;
    port.index = static_cast<int>(if_nametoindex(conf.interface.c_str()));
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, conf.interface.data(),
                std::min(conf.interface.size(), std::size_t{IFNAMSIZ - 1}));
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool known = port.index > 0 && probe >= 0 && ioctl(probe, SIOCGIFHWADDR, &ifr) == 0 &&
                       ifr.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    const int err = errno;
    if (known)
        std::memcpy(port.mac.data(), ifr.ifr_hwaddr.sa_data, port.mac.size());
    if (known && ioctl(probe, SIOCGIFMTU, &ifr) == 0) // the same union: after the address
        port.mtu = ifr.ifr_mtu;
    if (probe >= 0)
        close(probe);
    if (!known) {
        SetErrorDetail(conf.interface + ": no such Ethernet interface on this host");
        errno = port.index > 0 ? err : ENODEV;
        return false;
    }
    return true;
}

ipxAddr_t AddressOf(const Port& port, std::uint16_t socket) {
    ipxAddr_t a{};
    PutBE32(a.net, port.conf.network);
    std::memcpy(a.node, port.mac.data(), sizeof a.node);
    PutBE16(a.sock, socket);
    return a;
}

namespace {

// The calling thread's capability sets.
bool Capabilities(__user_cap_data_struct (&data)[2], bool set) {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(set ? SYS_capset : SYS_capget, &head, data) == 0;
}

// Raises CAP_NET_RAW to effective when it is permitted and not effective.
// Whether it did (and so must give it up afterwards).
bool RaiseNetRaw() {
    __user_cap_data_struct caps[2]{};
    constexpr unsigned bit = 1u << CAP_NET_RAW; // CAP_NET_RAW is below 32
    if (!Capabilities(caps, false) || (caps[0].permitted & bit) == 0 ||
        (caps[0].effective & bit) != 0)
        return false;
    caps[0].effective |= bit;
    return Capabilities(caps, true);
}

// Gives CAP_NET_RAW up from every set: the packet sockets are open.
void DropNetRaw() {
    __user_cap_data_struct caps[2]{};
    constexpr unsigned bit = 1u << CAP_NET_RAW;
    if (!Capabilities(caps, false))
        return;
    caps[0].effective &= ~bit;
    caps[0].permitted &= ~bit;
    caps[0].inheritable &= ~bit;
    Capabilities(caps, true);
}

int NewPacketSocket() {
    return socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0); // takes nothing until bound
}

} // namespace

int OpenPacketSocket(const Port& port, const std::vector<sock_filter>& filter) {
    int s = NewPacketSocket();
    if (s < 0 && (errno == EPERM || errno == EACCES) && RaiseNetRaw()) {
        s = NewPacketSocket();
        const int err = errno;
        DropNetRaw();
        errno = err;
    }
    if (s < 0) {
        const int err = errno;
        SetErrorDetail(port.conf.interface + ": cannot open a packet socket: " +
                       std::strerror(err) + (err == EPERM ? " (CAP_NET_RAW is missing)" : ""));
        errno = err;
        return -1;
    }
    sock_fprog prog{static_cast<unsigned short>(filter.size()),
                    const_cast<sock_filter*>(filter.data())};
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = port.index;
    int big = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (setsockopt(s, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        const int err = errno;
        SetErrorDetail(port.conf.interface + ": packet socket: " + std::strerror(err));
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

int HoldSocket(const Port& port, std::uint16_t socket) {
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    // An abstract name: the kernel frees it when the last holder closes it.
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    const int n = std::snprintf(sun.sun_path + 1, sizeof sun.sun_path - 1, "nspx/%d/%04x",
                                port.index, socket);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (bind(s, reinterpret_cast<sockaddr*>(&sun), size) != 0) {
        const int err = errno;
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

int HoldDynamicSocket(const Port& port, std::uint16_t& socket) {
    std::uint16_t start = 0;
    if (getrandom(&start, sizeof start, 0) != sizeof start)
        start = static_cast<std::uint16_t>(getpid());
    for (unsigned i = 0; i < 0x4000; ++i) {
        socket = static_cast<std::uint16_t>(0x4000 + (start + i) % 0x4000);
        const int hold = HoldSocket(port, socket);
        if (hold >= 0 || errno != EADDRINUSE)
            return hold;
    }
    errno = EADDRNOTAVAIL;
    return -1;
}

std::uint16_t NewConnId() {
    std::uint16_t id = 0;
    while (id == 0 || id == UNKNOWN_CONNECTION)
        if (getrandom(&id, sizeof id, 0) != sizeof id)
            id = static_cast<std::uint16_t>(NewConnectionId() | 1);
    return id;
}

namespace {

constexpr std::size_t BATCH = 64;
constexpr std::size_t FRAME_ROOM = 1536; // a whole Ethernet frame
constexpr int MAX_BATCHES = 16;          // then the other work of the caller goes on

} // namespace

bool ReceiveFrames(int sock, const std::function<void(std::span<const std::uint8_t>)>& take) {
    // Each thread its own (a program has one; the provider's tests run two).
    thread_local const auto room =
        std::make_unique<std::array<std::array<std::uint8_t, FRAME_ROOM>, BATCH>>();
    std::array<iovec, BATCH> iov;
    std::array<mmsghdr, BATCH> msgs;
    bool any = false;
    for (int batch = 0; batch < MAX_BATCHES; ++batch) {
        for (std::size_t i = 0; i < BATCH; ++i) {
            iov[i] = {(*room)[i].data(), FRAME_ROOM};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(sock, msgs.data(), BATCH, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            break;
        any = true;
        for (int i = 0; i < n; ++i) {
            const auto& m = msgs[static_cast<std::size_t>(i)];
            if ((m.msg_hdr.msg_flags & MSG_TRUNC) == 0) // a giant frame is nobody's packet
                take({(*room)[static_cast<std::size_t>(i)].data(), m.msg_len});
        }
        if (static_cast<std::size_t>(n) < BATCH)
            break;
    }
    return any;
}

bool SendPackets(int sock, const Port& port,
                 std::span<const std::span<const std::uint8_t>> packets) {
    static const std::array<std::uint8_t, MIN_FRAME> zeros{};
    std::array<std::array<std::uint8_t, MAX_FRAME_HEADER>, BATCH> headers;
    std::array<std::array<iovec, 3>, BATCH> iov;
    std::array<mmsghdr, BATCH> msgs;
    while (!packets.empty()) {
        const std::size_t n = std::min(packets.size(), BATCH);
        for (std::size_t i = 0; i < n; ++i) {
            const auto p = packets[i];
            Mac dst{};
            if (p.size() >= IPX_HEADER)
                std::memcpy(dst.data(), p.data() + offsetof(IpxHeaderWire, dstNode), dst.size());
            const std::size_t h =
                EncodeFrameHeader(port.conf.frame, dst, port.mac, p.size(), headers[i]);
            iov[i] = {iovec{headers[i].data(), h},
                      iovec{const_cast<std::uint8_t*>(p.data()), p.size()},
                      iovec{const_cast<std::uint8_t*>(zeros.data()),
                            FramePadding(port.conf.frame, p.size())}};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = iov[i].data();
            msgs[i].msg_hdr.msg_iovlen = 3;
        }
        int sent = 0;
        while (static_cast<std::size_t>(sent) < n) {
            const int r = sendmmsg(sock, msgs.data() + sent,
                                   static_cast<unsigned>(n) - static_cast<unsigned>(sent), 0);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && errno == ENOBUFS) // the queue is full: the retransmission mends it
                break;
            if (r < 0)
                return false;
            sent += r;
        }
        packets = packets.subspan(n);
    }
    return true;
}

} // namespace ipx
} // namespace spx
