// The stack's event loop: packets in and out, the clients' records, the
// timer and the signals.
#include "stack.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace spx::stack {

namespace {

constexpr std::size_t IN_CAPACITY = 4 * MAX_RECORD;
constexpr std::size_t OUT_CAPACITY = 4 * MAX_RECORD;
constexpr std::size_t MAX_LOCAL = 8192; // packets between endpoints of this host
constexpr std::size_t MAX_WAITING = 32; // set-up calls a listener has not yet seen
constexpr std::size_t MAX_WAITING_PER_SOURCE = 8;
constexpr int MAX_BATCHES = 16; // per interface and wake-up
// Batches of connection requests read per wake-up: under a flood the loop
// turns back to the connections and the programs after this many.
constexpr int DOOR_BATCHES = 4;
// Listening sockets whose cookies a packet of no connection is checked against.
constexpr std::size_t MAX_COOKIE_LISTENERS = 64;

// The door's settings, with a key of its own for the cookies.
DoorConfig DoorWithSecret() {
    DoorConfig config;
    if (getrandom(config.secret.data(), sizeof config.secret, 0) != sizeof config.secret)
        config.secret = {static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()),
                         static_cast<std::uint64_t>(getpid())};
    return config;
}

enum Tag : std::uint64_t { LISTEN = 1, CLIENT = 2, IFACE = 3, TIMER = 4, SIGNALS = 5, DOOR = 6 };

std::uint64_t TagOf(Tag kind, std::uint64_t value) {
    return (static_cast<std::uint64_t>(kind) << 32) | value;
}

} // namespace

// ---- buffers -----------------------------------------------------------------

std::span<std::uint8_t> Buffer::Room(std::size_t want) {
    if (begin_ > 0 && bytes_.size() - end_ < want) {
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(begin_),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(end_), bytes_.begin());
        end_ -= begin_;
        begin_ = 0;
    }
    while (bytes_.size() - end_ < want && bytes_.size() < capacity_)
        bytes_.resize(std::min(capacity_, std::max<std::size_t>(16384, bytes_.size() * 2)));
    return {bytes_.data() + end_, bytes_.size() - end_};
}

void Buffer::Consume(std::size_t n) {
    begin_ += n;
    consumed += n;
    if (begin_ == end_)
        begin_ = end_ = 0;
}

void Buffer::Append(std::span<const std::uint8_t> b) {
    auto room = Room(b.size());
    if (room.size() < b.size()) { // control records may pass the data limit a little
        bytes_.resize(end_ + b.size());
        room = {bytes_.data() + end_, b.size()};
    }
    std::copy(b.begin(), b.end(), room.begin());
    end_ += b.size();
}

Client::Client(int f) : fd(f), in(IN_CAPACITY), out(OUT_CAPACITY) {}

// ---- set-up and the loop -----------------------------------------------------

Stack::Stack(std::vector<Iface> ifaces, Options options)
    : ifaces_(std::move(ifaces)), options_(options), door_(DoorWithSecret()),
      received_(std::make_unique<Received>()) {}

Stack::~Stack() {
    for (auto& [fd, c] : clients_)
        close(fd);
    for (auto& i : ifaces_)
        for (int fd : {i.sock, i.door})
            if (fd >= 0)
                close(fd);
    for (int fd : {epoll_, listen_, timer_, signals_})
        if (fd >= 0)
            close(fd);
}

int Stack::Run() {
    std::array<epoll_event, 64> events;
    while (!stopping_) {
        const bool busy = !local_.empty() || !dirty_.empty();
        const int n = epoll_wait(epoll_, events.data(), events.size(), busy ? 0 : -1);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "nspxd: epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        Time now = Clock::now();
        // Connection requests last: what the connections and the programs
        // brought is served first, whatever waits at the door.
        for (int i = 0; i < n; ++i)
            if (events[static_cast<std::size_t>(i)].data.u64 >> 32 != DOOR)
                OnEvent(events[static_cast<std::size_t>(i)].data.u64,
                        events[static_cast<std::size_t>(i)].events, now);
        for (int i = 0; i < n; ++i)
            if (events[static_cast<std::size_t>(i)].data.u64 >> 32 == DOOR)
                OnEvent(events[static_cast<std::size_t>(i)].data.u64,
                        events[static_cast<std::size_t>(i)].events, now);
        Settle(now);
        ArmTimer();
    }
    Shutdown(Clock::now());
    return 0;
}

void Stack::OnEvent(std::uint64_t tag, std::uint32_t events, Time now) {
    const auto value = static_cast<std::uint32_t>(tag);
    switch (static_cast<Tag>(tag >> 32)) {
    case LISTEN:
        return AcceptClients();
    case CLIENT:
        return ServeClient(static_cast<int>(value), events, now);
    case IFACE:
        return ReadIface(value, ifaces_[value].sock, MAX_BATCHES, now);
    case DOOR:
        return ReadIface(value, ifaces_[value].door, DOOR_BATCHES, now);
    case TIMER:
        return OnTimer(now);
    case SIGNALS: {
        signalfd_siginfo info;
        while (read(signals_, &info, sizeof info) == sizeof info)
            stopping_ = true;
        return;
    }
    }
}

// Work left by the events: packets between endpoints of this host, then each
// connection touched (its packets out, its data to its client).
void Stack::Settle(Time now) {
    for (int round = 0; round < 64 && (!local_.empty() || !dirty_.empty() || !doomed_.empty());
         ++round) {
        DrainLocal(now);
        FlushOutbox();
        const auto touched = std::move(dirty_);
        dirty_.clear();
        for (std::uint16_t id : touched)
            if (Conn* c = Find(id))
                Feed(*c, now);
        const auto doomed = std::move(doomed_);
        doomed_.clear();
        for (int fd : doomed)
            CloseClient(fd, now);
    }
}

void Stack::OnTimer(Time now) {
    std::uint64_t expired = 0;
    while (read(timer_, &expired, sizeof expired) < 0 && errno == EINTR) {
    }
    armed_.reset();
    door_.Expire(now);
    while (!schedule_.empty() && schedule_.begin()->first <= now) {
        const std::uint16_t id = schedule_.begin()->second;
        schedule_.erase(schedule_.begin());
        if (Conn* c = Find(id)) {
            c->deadline.reset();
            c->s.Tick(now);
            Touch(*c);
        }
    }
}

void Stack::ArmTimer() {
    std::optional<Time> next = door_.NextExpiry();
    if (!schedule_.empty() && (!next || schedule_.begin()->first < *next))
        next = schedule_.begin()->first;
    if (!next || (armed_ && *armed_ <= *next && *armed_ > Clock::now()))
        return;
    armed_ = std::max(*next, Clock::now() + std::chrono::microseconds(1));
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(armed_->time_since_epoch()).count();
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

// Every connection ends with an informed disconnect; the clients see the
// stack go.
void Stack::Shutdown(Time now) {
    for (auto& [id, c] : conns_) {
        c->s.Disconnect(now);
        Pump(*c, now);
    }
    DrainLocal(now);
    if (!path_.empty())
        unlink(path_.c_str());
}

// ---- interfaces and packets ---------------------------------------------------

void Stack::ReadIface(std::size_t i, int sock, int batches, Time now) {
    Iface& iface = ifaces_[i];
    Received& r = *received_;
    for (int batch = 0; batch < batches && ReceiveBatch(sock, r); ++batch) {
        iface.framesIn += r.count;
        for (std::size_t k = 0; k < r.count; ++k) {
            const auto f =
                ipx::DecodeFrame(iface.conf.frame, std::span(r.room[k]).first(r.length[k]));
            const auto d = f ? ipx::Decode(f.ipx) : ipx::Decoded{};
            if (r.length[k] == 0 || !f || !d)
                CountDrop(Drop::Undecodable);
            else
                Dispatch(d.packet, i, now);
        }
        FlushOutbox();
        if (r.count < BATCH)
            break;
    }
}

void Stack::Dispatch(const ipx::SpxPacket& in, std::size_t iface, Time now) {
    // A source network of 00000000 is "this network": the interface's. A
    // caller is never known by 00000000, which names TCP callers (its MAC
    // address would read as an IPv4 address).
    ipx::SpxPacket p = in;
    if (ipx::NetOf(p.src) == 0)
        PutBE32(p.src.net, ifaces_[iface].conf.network);
    if (p.dstConn == ipx::UNKNOWN_CONNECTION)
        return AtDoor(p, iface, now);
    if (Conn* c = Find(p.dstConn); c && c->socket == ipx::SockOf(p.dst)) {
        c->s.Input(p, now);
        Touch(*c);
        return;
    }
    // No connection of that socket has the id: a call's completion, perhaps,
    // to the socket its reply came from (held by nothing, or shared).
    std::array<std::uint16_t, MAX_COOKIE_LISTENERS> listening{};
    std::size_t n = 0;
    for (auto it = listeners_.begin(); it != listeners_.end() && n < listening.size(); ++it)
        listening[n++] = it->first;
    if (auto call = door_.Complete(p, std::span(listening).first(n), now);
        call && Find(call->myId) == nullptr) {
        call->iface = iface;
        return Complete(*call, p, now);
    }
    CountDrop(sockets_.Held(ipx::SockOf(p.dst)) ? Drop::NoConnection : Drop::NoSocket);
}

// A connection request: answered by the door, or dropped.
void Stack::AtDoor(const ipx::SpxPacket& p, std::size_t iface, Time now) {
    const std::uint16_t socket = ipx::SockOf(p.dst);
    if (listeners_.count(socket) == 0)
        return CountDrop(sockets_.Held(socket) ? Drop::NoConnection : Drop::NoSocket);
    const auto taken = [this](std::uint16_t id) { return conns_.count(id) != 0; };
    const auto spare = [this] {
        return Door::Spare{NewId(), static_cast<std::uint16_t>(
                                        DYNAMIC_FIRST +
                                        RandomU16() % (DYNAMIC_LAST - DYNAMIC_FIRST + 1))};
    };
    const auto a = door_.Request(p, AddressOf(ifaces_[iface], socket), iface, now, taken, spare);
    if (a.verdict == Door::Verdict::SourceFull)
        return CountDrop(Drop::DoorFull);
    if (a.verdict == Door::Verdict::NotRequest)
        return CountDrop(Drop::NoConnection);
    SendOne(iface, ReplyOf(*a.call, Session::Window(), MaxPacketOf(ifaces_[iface])));
}

// The caller acknowledged the reply: a connection, waiting for its listener.
void Stack::Complete(const HalfOpen& call, const ipx::SpxPacket& first, Time now) {
    const std::uint16_t socket = ipx::SockOf(call.local);
    const auto l = listeners_.find(socket);
    if (l == listeners_.end())
        return CountDrop(Drop::NoSocket);
    auto c = std::make_unique<Conn>(Session::Answered(call, first, MaxPacketOf(ifaces_[call.iface]), now));
    c->id = call.myId;
    c->socket = call.mySocket; // the caller's peer socket from the reply on
    c->iface = call.iface;
    c->listener = socket;
    c->started = call.answered;
    c->setUp = now;
    sockets_.Share(call.mySocket);
    const auto fromThere =
        std::count_if(l->second.waiting.begin(), l->second.waiting.end(), [&](std::uint16_t id) {
            const Conn* w = Find(id);
            return w && std::memcmp(w->s.Peer().node, call.caller.node, 6) == 0;
        });
    Conn& conn = *c;
    conns_[call.myId] = std::move(c);
    if (l->second.waiting.size() >= MAX_WAITING ||
        static_cast<std::size_t>(fromThere) >= MAX_WAITING_PER_SOURCE) {
        conn.listener = 0; // more than the listener keeps: the caller sees a refusal
        conn.s.Disconnect(now);
        CountDrop(Drop::DoorFull);
    } else {
        l->second.waiting.push_back(conn.id);
        Report(l->second);
    }
    Touch(conn);
}

// A packet of no connection (the door's reply): to the outbox, which goes out
// in one batch after the frames that caused it.
void Stack::SendOne(std::size_t iface, const ipx::SpxPacket& p) {
    if (outbox_.size() >= BATCH)
        FlushOutbox();
    LocalPacket& out = outbox_.emplace_back();
    out.iface = iface;
    out.length = static_cast<std::uint16_t>(ipx::Encode(p, out.bytes));
}

void Stack::FlushOutbox() {
    std::vector<std::span<const std::uint8_t>> wire;
    for (std::size_t i = 0; i < ifaces_.size(); ++i) {
        wire.clear();
        for (const auto& out : outbox_)
            if (out.iface == i)
                Route(i, std::span(out.bytes).first(out.length), wire);
        SendPackets(ifaces_[i], wire);
    }
    outbox_.clear();
}

// A packet to this host goes to the stack's own input, others to the wire.
void Stack::Route(std::size_t iface, std::span<const std::uint8_t> packet,
                  std::vector<std::span<const std::uint8_t>>& wire) {
    ipxAddr_t dst{};
    std::memcpy(&dst, packet.data() + ipx::OFF_DST_NET, sizeof dst);
    if (!IsLocal(ifaces_[iface], dst)) {
        wire.push_back(packet);
        return;
    }
    if (local_.size() >= MAX_LOCAL)
        return CountDrop(Drop::LocalQueueFull);
    LocalPacket& lp = local_.emplace_back();
    lp.iface = iface;
    lp.length = static_cast<std::uint16_t>(packet.size());
    std::copy(packet.begin(), packet.end(), lp.bytes.begin());
}

void Stack::Pump(Conn& c, Time now) {
    std::vector<std::span<const std::uint8_t>> wire;
    wire.reserve(BATCH);
    for (auto p = c.s.Pop(now); !p.empty(); p = c.s.Pop(now)) {
        Route(c.iface, p, wire);
        if (wire.size() == BATCH) {
            SendPackets(ifaces_[c.iface], wire);
            wire.clear();
        }
    }
    SendPackets(ifaces_[c.iface], wire);
}

void Stack::DrainLocal(Time now) {
    for (std::size_t n = local_.size(); n > 0 && !local_.empty(); --n) {
        const LocalPacket lp = local_.front();
        local_.pop_front();
        const auto d = ipx::Decode(std::span(lp.bytes).first(lp.length));
        if (!d)
            CountDrop(Drop::Undecodable);
        else
            Dispatch(d.packet, lp.iface, now);
    }
}

} // namespace spx::stack

namespace spx::stack {

namespace {

// The directory of path, made when missing (0755).
bool MakeParent(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    const std::string dir = path.substr(0, slash);
    return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Whether a stack answers at path.
bool Answers(const sockaddr_un& sun) {
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live =
        s >= 0 && connect(s, reinterpret_cast<const sockaddr*>(&sun), sizeof sun) == 0;
    if (s >= 0)
        close(s);
    return live;
}

} // namespace

int Stack::Open(const std::string& path) {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sun.sun_path) {
        std::fprintf(stderr, "nspxd: %s: the socket path is too long\n", path.c_str());
        return 1;
    }
    std::memcpy(sun.sun_path, path.data(), path.size());
    if (Answers(sun)) {
        std::fprintf(stderr, "nspxd: a stack is already running at %s\n", path.c_str());
        return 1;
    }
    const auto fail = [&](const char* what) {
        std::fprintf(stderr, "nspxd: %s: %s: %s\n", path.c_str(), what, std::strerror(errno));
        return 1;
    };
    if (!MakeParent(path))
        return fail("cannot make its directory");
    unlink(path.c_str()); // a stale socket of a stack that has gone
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0)
        return fail("bind");
    path_ = path;
    if (chmod(path.c_str(), 0666) != 0 || listen(listen_, 128) != 0)
        return fail("listen");
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (signals_ < 0 || timer_ < 0 || epoll_ < 0)
        return fail("event loop");
    const auto add = [&](int fd, Tag kind, std::uint64_t value) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = TagOf(kind, value);
        return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    bool ok = add(listen_, LISTEN, 0) && add(timer_, TIMER, 0) && add(signals_, SIGNALS, 0);
    for (std::size_t i = 0; i < ifaces_.size(); ++i)
        ok = ok && add(ifaces_[i].sock, IFACE, i) && add(ifaces_[i].door, DOOR, i);
    return ok ? 0 : fail("event loop");
}

} // namespace spx::stack
