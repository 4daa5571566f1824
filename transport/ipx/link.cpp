// One endpoint's SPX connection over an interface: the connection's packets
// through the endpoint's packet socket, its timers through a timerfd, both
// in the epoll set that stands at the endpoint's descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include <spx/tiuser.h>

#include "endpoint.h"
#include "ipx/filter.h"
#include "ipx/shell.h"

namespace spx::ipx {

namespace {

// A connect waits at most this long, whatever the connection's own retries.
constexpr auto CONNECT_LIMIT = std::chrono::seconds(20);
// The last holder waits at most this long for the peer to take what it sent.
constexpr auto LINGER_LIMIT = std::chrono::seconds(5);

// The connection's settings on port: packets as large as its frames carry.
SpxConnection::Config ConfigFor(const Port& port) {
    SpxConnection::Config c;
    const long overhead = static_cast<long>(FrameHeaderSize(port.conf.frame) - ETH_HEADER);
    c.maxPacket = static_cast<std::uint16_t>(std::clamp<long>(
        port.mtu - overhead, static_cast<long>(SPX1_PACKET), static_cast<long>(MAX_PACKET)));
    return c;
}

void CloseIf(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

IpxLink::~IpxLink() {
    CloseIf(sock_);
    CloseIf(timer_);
    CloseIf(hold_);
    CloseIf(holders_[0]);
    CloseIf(holders_[1]);
}

int IpxLink::Bind(std::uint16_t, bool, ipxAddr_t&) {
    return TOUTSTATE;
}

void IpxLink::Path(spx_path& path) const {
    path = spx_path{};
    path.carrier = SPX_CARRIER_IPX;
    port_.conf.interface.copy(path.interface, sizeof path.interface - 1);
    path.local = local_;
    path.connected = conn_ ? 1 : 0;
    if (conn_)
        path.peer = conn_->Peer();
}

bool IpxLink::Open(const Port& port) {
    port_ = port;
    local_ = AddressOf(port, socket_);
    sock_ =
        OpenPacketSocket(port, BuildFilter(port.conf.frame, port.conf.network, socket_, connId_));
    if (sock_ < 0)
        return false;
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    const int set = epoll_create1(EPOLL_CLOEXEC);
    bool ok = timer_ >= 0 && set >= 0 && WatchReadable(set, sock_) && WatchReadable(set, timer_) &&
              pipe2(holders_, O_CLOEXEC) == 0 && dup3(set, fd_, O_CLOEXEC) >= 0;
    const int err = errno;
    if (set >= 0)
        close(set);
    errno = err;
    return ok;
}

int IpxLink::Connect(const ipxAddr_t& to, SPX_OPTS& theirs, ipxAddr_t& peer) {
    if (SockOf(to) == 0)
        return TBADADDR;
    const auto& all = file_->interfaces;
    const auto it = std::find_if(all.begin(), all.end(),
                                 [&](const IpxInterface& i) { return i.network == NetOf(to); });
    Port port;
    if (it == all.end() || !PortOf(*it, port))
        return TSYSERR;
    connId_ = NewConnId();
    if ((hold_ = HoldDynamicSocket(port, socket_)) < 0 || !Open(port))
        return TSYSERR;
    conn_ = SpxConnection::Caller(local_, to, connId_, ConfigFor(port), Clock::now());
    Pump(Clock::now());
    Arm();
    const bool answered = WaitUntil(
        [&] { return conn_->GetState() != SpxConnection::State::Connecting; }, CONNECT_LIMIT);
    if (!answered || conn_->GetState() != SpxConnection::State::Established) {
        if (!answered)
            Broke();
        return TLOOK; // the disconnect is pending
    }
    theirs = conn_->PeerOptions();
    peer = conn_->Peer();
    return 0;
}

int IpxLink::Answer(const Port& port, const SpxPacket& request) {
    connId_ = NewConnId();
    if ((hold_ = HoldDynamicSocket(port, socket_)) < 0 || !Open(port))
        return TSYSERR;
    const Time now = Clock::now();
    conn_ = SpxConnection::Answer(local_, request, connId_, ConfigFor(port), now);
    if (!conn_) {
        errno = EPROTO;
        return TSYSERR;
    }
    Pump(now);
    Arm();
    return 0;
}

SPX_OPTS IpxLink::Options() const {
    if (conn_)
        return conn_->LocalOptions();
    SPX_OPTS o{};
    PutBE16(o.spx_connectionID, connId_);
    return o;
}

// ---- the wire side -------------------------------------------------------------

void IpxLink::Service() {
    if (!conn_)
        return;
    const Time now = Clock::now();
    serviced_ = now;
    ReceiveFrames(sock_, [&](std::span<const std::uint8_t> frame) {
        const FrameDecoded f = DecodeFrame(port_.conf.frame, frame);
        const ipx::Decoded d = f ? Decode(f.ipx) : ipx::Decoded{};
        if (!f || !d)
            ++dropped_;
        else
            conn_->Input(d.packet, now);
    });
    std::uint64_t expired = 0;
    while (read(timer_, &expired, sizeof expired) < 0 && errno == EINTR) {
    }
    if (armed_ <= now)
        armed_ = Time::min(); // fired: nothing is set
    conn_->Tick(now);
    Pump(now);
    Arm();
}

void IpxLink::Pump(Time now) {
    std::array<std::span<const std::uint8_t>, 64> batch;
    std::size_t n = 0;
    for (auto p = conn_->PopOutput(now); !p.empty(); p = conn_->PopOutput(now)) {
        batch[n++] = p;
        if (n == batch.size()) {
            SendPackets(sock_, port_, batch);
            n = 0;
        }
    }
    SendPackets(sock_, port_, std::span(batch).first(n));
}

void IpxLink::Arm() {
    // The timer is set anew only when the connection's next deadline comes
    // before the one it is set for (or that one has passed): a timer that
    // fires early costs one wake-up, setting it for every packet costs more.
    const auto deadline = conn_->NextDeadline();
    const Time now = Clock::now();
    if (!deadline || (armed_ > now && *deadline >= armed_))
        return;
    armed_ = std::max(*deadline, now + std::chrono::microseconds(1));
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(armed_.time_since_epoch()).count();
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

bool IpxLink::WaitUntil(const std::function<bool()>& done, Wait wait) {
    const auto until = wait ? Clock::now() + *wait : Time::max();
    for (;;) {
        Service();
        if (done())
            return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (wait && left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, PollTimeout(wait ? Wait(left) : UNTIL_SOMETHING));
    }
}

// ---- the program's side ----------------------------------------------------------

int IpxLink::Peek() {
    const int ev = conn_ ? conn_->Peek() : 0;
    return ev == 0 && failed_ ? T_DISCONNECT : ev;
}

std::size_t IpxLink::DataReady() const {
    // What has come of a unit is delivered at once: its size is not known.
    return conn_ && conn_->Peek() == T_DATA ? 1 : 0;
}

std::size_t IpxLink::TakeData(std::span<unsigned char> out, int& flags) {
    const std::size_t n = conn_->Take(out, flags);
    Pump(Clock::now()); // the window may have opened
    Arm();
    return n;
}

void IpxLink::TakeOrdRel() {
    conn_->TakeRelease();
}

int IpxLink::TakeDisconnect() {
    int reason = conn_ ? conn_->TakeDisconnect() : 0;
    if (reason == 0 && failed_)
        reason = SPX_DISCON_FAILED;
    failed_ = false;
    return reason;
}

bool IpxLink::Ended() const {
    return failed_ || (conn_ && conn_->DisconnectArrived());
}

bool IpxLink::Fill(Wait wait) {
    if (!conn_)
        return false;
    const auto before = std::make_pair(conn_->GetCounters().dataIn, Peek());
    return WaitUntil([&] { return std::make_pair(conn_->GetCounters().dataIn, Peek()) != before; },
                     wait);
}

void IpxLink::Poll() {
    // At most once a millisecond: a program that looks before every read
    // would otherwise pay a receive call per packet.
    if (Clock::now() - serviced_ >= std::chrono::milliseconds(1))
        Service();
}

int IpxLink::QueueUnit(std::span<const unsigned char> data, bool more) {
    const auto room = [&] { return Ended() || conn_->SendRoom() > 0; };
    bool first = true;
    while (first || !data.empty()) {
        if (conn_->SendRoom() == 0 && !WaitUntil(room, limit_))
            return ETIMEDOUT;
        if (Ended())
            return EPIPE;
        const Time now = Clock::now();
        data = data.subspan(conn_->SendUnit(data, more, now));
        Pump(now);
        Arm();
        first = false;
    }
    return 0;
}

int IpxLink::Flush() {
    // Sends only: reading here would take packets from the process that
    // serves the connection when this one merely lets its copy go (t_close
    // after fork).
    if (conn_) {
        conn_->Push();
        Pump(Clock::now());
        Arm();
    }
    return 0;
}

int IpxLink::SendOrdRel() {
    if (Ended())
        return EPIPE;
    const Time now = Clock::now();
    conn_->SendRelease(now);
    Pump(now);
    Arm();
    return 0;
}

void IpxLink::Disconnect() {
    conn_->Disconnect(Clock::now());
    Linger();
}

void IpxLink::Broke() {
    if (conn_ && conn_->DisconnectArrived())
        return; // the peer's own end stands
    if (conn_)
        conn_->Abort();
    failed_ = true;
}

void IpxLink::Linger() {
    if (conn_)
        conn_->Push();
    if (conn_)
        WaitUntil([&] { return conn_->Quiescent() || Ended(); }, LINGER_LIMIT);
}

void IpxLink::Release() {
    if (!conn_ || holders_[1] < 0)
        return;
    CloseIf(holders_[1]);
    pollfd p{holders_[0], 0, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLHUP) == 0)
        return; // another process holds the connection still
    if (conn_->GetState() == SpxConnection::State::Established)
        conn_->Disconnect(Clock::now()); // the peer sees 236, as when a TCP peer closes
    Linger();
}

} // namespace spx::ipx
