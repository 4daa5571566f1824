// The callers on one IPX socket of every interface. Each interface has a
// packet socket whose filter takes only connection requests for that
// socket; a request becomes a caller for t_listen once, however often the
// caller repeats it. t_accept gives the caller an answering endpoint with a
// socket of its own, whose reply the caller takes as the peer's address.
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include <spx/tiuser.h>

#include "endpoint.h"
#include "ipx/filter.h"
#include "ipx/shell.h"

namespace spx {

namespace ipx {

namespace {

// As on TCP: callers waiting at most, and of one node.
constexpr std::size_t MAX_WAITING = 1024;
constexpr std::size_t MAX_WAITING_PER_NODE = 16;
// A request repeated this long after its answer is still no new caller.
constexpr auto REMEMBER_ANSWERED = std::chrono::seconds(60);

bool SameCaller(const SpxPacket& a, const SpxPacket& b) {
    return a.srcConn == b.srcConn && SameAddress(a.src, b.src);
}

bool SameNode(const SpxPacket& a, const SpxPacket& b) {
    return std::equal(std::begin(a.src.node), std::end(a.src.node), std::begin(b.src.node));
}

} // namespace

IpxListening::~IpxListening() {
    for (auto& d : doors_) {
        close(d.sock);
        close(d.hold);
    }
    if (set_ >= 0)
        close(set_);
}

int IpxListening::Open(const InterfaceFile& file, std::uint16_t socket) {
    socket_ = socket;
    set_ = epoll_create1(EPOLL_CLOEXEC);
    if (set_ < 0)
        return TSYSERR;
    for (const auto& i : file.interfaces) {
        Door d;
        if (!PortOf(i, d.port))
            return TSYSERR;
        if ((d.hold = socket_ == 0 ? HoldDynamicSocket(d.port, socket_)
                                   : HoldSocket(d.port, socket_)) < 0)
            return errno == EADDRINUSE ? TADDRBUSY : TSYSERR;
        d.sock =
            OpenPacketSocket(d.port, BuildFilter(i.frame, i.network, socket_, UNKNOWN_CONNECTION));
        if (d.sock < 0) {
            close(d.hold);
            return TSYSERR;
        }
        doors_.push_back(d);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = d.sock;
        if (epoll_ctl(set_, EPOLL_CTL_ADD, d.sock, &ev) != 0)
            return TSYSERR;
    }
    return 0;
}

bool IpxListening::Known(const SpxPacket& p) const {
    const auto same = [&](const Request& r) { return SameCaller(r.packet, p); };
    return std::any_of(ready_.begin(), ready_.end(), same) ||
           std::any_of(reported_.begin(), reported_.end(), same) ||
           std::any_of(answered_.begin(), answered_.end(), same);
}

void IpxListening::Take(std::size_t door, std::span<const std::uint8_t> frame, Time now) {
    const Port& port = doors_[door].port;
    const FrameDecoded f = DecodeFrame(port.conf.frame, frame);
    const ipx::Decoded d = f ? Decode(f.ipx) : ipx::Decoded{};
    const SpxPacket& p = d.packet;
    if (!f || !d || (p.control & CC_SYSTEM) == 0 || p.dstConn != UNKNOWN_CONNECTION ||
        p.srcConn == 0 || p.srcConn == UNKNOWN_CONNECTION) {
        ++dropped_;
        return;
    }
    const auto fromThere = std::count_if(ready_.begin(), ready_.end(),
                                         [&](const Request& r) { return SameNode(r.packet, p); });
    if (Known(p) || ready_.size() >= MAX_WAITING ||
        static_cast<std::size_t>(fromThere) >= MAX_WAITING_PER_NODE)
        return; // a repeat, or more than this listener keeps: the caller tries again
    Request r;
    r.arrived = now;
    r.door = door;
    r.packet = p;
    r.packet.data = {};
    r.call.sequence = NextSequence();
    r.call.addr = p.src;
    if (NetOf(p.src) == 0) // "this network": the caller's real one is the interface's
        PutBE32(r.call.addr.net, port.conf.network);
    PutBE16(r.call.options.spx_connectionID, p.srcConn);
    PutBE16(r.call.options.spx_allocationNumber, p.allocation);
    ready_.push_back(r);
}

bool IpxListening::Serve(Wait wait) {
    bool calm = true;
    if (wait != NO_WAIT) {
        std::array<epoll_event, 8> events;
        calm = epoll_wait(set_, events.data(), events.size(), PollTimeout(wait)) >= 0 ||
               errno != EINTR;
    }
    const Time now = Clock::now();
    while (!answered_.empty() && now - answered_.front().arrived > REMEMBER_ANSWERED)
        answered_.pop_front();
    for (std::size_t i = 0; i < doors_.size(); ++i)
        ReceiveFrames(doors_[i].sock, [&](std::span<const std::uint8_t> f) { Take(i, f, now); });
    return calm;
}

std::optional<Time> IpxListening::FirstReady() const {
    if (ready_.empty())
        return std::nullopt;
    return ready_.front().arrived;
}

Call IpxListening::Report() {
    reported_.push_back(ready_.front());
    ready_.pop_front();
    return reported_.back().call;
}

std::vector<IpxListening::Request>::iterator IpxListening::Find(int sequence) {
    return std::find_if(reported_.begin(), reported_.end(),
                        [&](const Request& r) { return r.call.sequence == sequence; });
}

bool IpxListening::Reported(int sequence) const {
    return std::any_of(reported_.begin(), reported_.end(),
                       [&](const Request& r) { return r.call.sequence == sequence; });
}

int IpxListening::Accept(int sequence, Endpoint& res) {
    const auto it = Find(sequence);
    if (it == reported_.end())
        return TBADSEQ;
    auto link = std::make_unique<IpxLink>(res.fd, nullptr); // answers: calls nobody
    if (int terr = link->Answer(doors_[it->door].port, it->packet))
        return terr;
    res.link = std::move(link);
    it->arrived = Clock::now();
    answered_.push_back(*it);
    reported_.erase(it);
    return 0;
}

void IpxListening::Refuse(int sequence) {
    const auto it = Find(sequence);
    if (it == reported_.end())
        return;
    const Door& door = doors_[it->door];
    std::array<std::uint8_t, MAX_PACKET> bytes;
    const std::size_t n = Encode(RefusalOf(it->packet, AddressOf(door.port, socket_)), bytes);
    const std::span<const std::uint8_t> packet(bytes.data(), n);
    SendPackets(door.sock, door.port, std::span(&packet, 1));
    it->arrived = Clock::now();
    answered_.push_back(*it);
    reported_.erase(it);
}

} // namespace ipx

std::unique_ptr<Link> NewIpxLink(int fd, Interfaces file) {
    return std::make_unique<ipx::IpxLink>(fd, std::move(file));
}

std::unique_ptr<Listening> ListenIpx(const InterfaceFile& file, std::uint16_t socket, int& terr) {
    auto l = std::make_unique<ipx::IpxListening>();
    terr = l->Open(file, socket);
    return terr == 0 ? std::move(l) : nullptr;
}

} // namespace spx
