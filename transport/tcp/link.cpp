// One endpoint on TCP: binding, connecting, the handshake of a caller, and
// the ends of a connection. The endpoint's descriptor is its TCP socket;
// a fresh socket takes its place (dup3) when a new connection needs one.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include <spx/tiuser.h>

#include "endpoint.h"
#include "tcp.h"

namespace spx {

namespace {

// A connect waits at most this long for the connection, then for ACCEPT.
constexpr auto kConnectWait = std::chrono::seconds(10);

bool BindPort(int fd, std::uint16_t port) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
}

// The t_errno of a failed bind.
int BindError() {
    if (errno == EADDRINUSE)
        return TADDRBUSY;
    return errno == EACCES ? TACCES : TSYSERR;
}

} // namespace

TcpLink::TcpLink(int fd, bool connected)
    : fd_(fd), connected_(connected), connectionId_(NewConnectionId()) {
    if (connected)
        in_.Reset();
}

bool TcpLink::ReplaceSocket() {
    int s = NewSocket();
    if (s < 0)
        return false;
    int r = dup3(s, fd_, O_CLOEXEC);
    int err = errno;
    close(s);
    errno = err;
    if (r < 0)
        return false;
    connected_ = false;
    out_.Drop();
    return true;
}

int TcpLink::Bind(std::uint16_t socket, bool listening, ipxAddr_t& local) {
    if (connected_ && !ReplaceSocket())
        return TSYSERR;
    if (!BindPort(fd_, socket))
        return BindError();
    // Callers are taken from the kernel without blocking (see TcpListening).
    if (listening && (listen(fd_, SOMAXCONN) != 0 || !SetBlocking(fd_, false)))
        return TSYSERR;
    local = HostAddress(GetBE16(SocketAddress(fd_, false).sock));
    return 0;
}

std::unique_ptr<Listening> TcpLink::Listen() {
    return std::make_unique<TcpListening>(fd_);
}

int TcpLink::Unbind() {
    return ReplaceSocket() ? 0 : TSYSERR;
}

ipxAddr_t TcpLink::Local() const {
    return SocketAddress(fd_, false);
}

SPX_OPTS TcpLink::Options() const {
    SPX_OPTS o{};
    PutBE16(o.spx_connectionID, connectionId_);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0 || rcvbuf < 0)
        rcvbuf = 0;
    PutBE16(o.spx_allocationNumber, static_cast<std::uint16_t>(std::min(rcvbuf / 534, 0xFFFF)));
    return o;
}

int TcpLink::ConnectFailed(int reason) {
    in_.Reset();
    in_.EndStream(reason);
    return TLOOK;
}

int TcpLink::Connect(const ipxAddr_t& to, SPX_OPTS& theirs, ipxAddr_t& peer) {
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 0;
    if (!ToInet(to, ipv4, port) || port == 0)
        return TBADADDR;
    if (connected_ && (!ReplaceSocket() || !BindPort(fd_, 0)))
        return TSYSERR;

    connected_ = true;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(ipv4);
    sin.sin_port = htons(port);
    SetBlocking(fd_, false);
    int r = connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    if (r != 0 && errno == EINPROGRESS && WaitWritable(fd_, kConnectWait)) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
    }
    SetBlocking(fd_, true);
    if (r != 0)
        return ConnectFailed(SPX_DISCON_FAILED);

    TuneConnection(fd_);
    in_.Reset();
    out_.Drop();
    HandshakeFrame hello = MakeHandshake(FRAME_CONNECT, Options());
    if (send(fd_, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello))
        return ConnectFailed(SPX_DISCON_FAILED);
    if (int reason = AwaitAccept(theirs))
        return ConnectFailed(reason);
    peer = SocketAddress(fd_, true);
    return 0;
}

int TcpLink::AwaitAccept(SPX_OPTS& options) {
    std::array<unsigned char, 512> buf{};
    std::size_t have = 0;
    auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    for (;;) {
        Decoded d = DecodeFrame({buf.data(), have}, Phase::Accept);
        if (d.status == Decoded::Error)
            return SPX_DISCON_FAILED;
        if (d.status == Decoded::Frame) {
            if (d.type == FRAME_DISCON)
                return static_cast<int>(d.reason);
            options = d.options;
            in_.Preload({buf.data() + d.consumed, have - d.consumed});
            return 0;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || have == buf.size())
            return SPX_DISCON_FAILED;
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return SPX_DISCON_FAILED;
        ssize_t n = recv(fd_, buf.data() + have, buf.size() - have, MSG_DONTWAIT);
        if (n == 0)
            return SPX_DISCON_FAILED;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return SPX_DISCON_FAILED;
        }
        have += static_cast<std::size_t>(n);
    }
}

int TcpLink::SendOrdRel() {
    int err = out_.Queue(fd_, FRAME_ORDREL, 0, {});
    return err != 0 ? err : out_.Flush(fd_);
}

void TcpLink::Disconnect() {
    // Units already accepted go out first; then the disconnect ends it.
    DisconFrame bye = MakeDiscon(SPX_DISCON_TERMINATED);
    if (out_.Queue(fd_, FRAME_DISCON, 0, std::span(bye.reason)) == 0)
        out_.Flush(fd_);
    out_.Drop();
    // Unread input would turn the close into a reset; it is of no use now.
    std::array<unsigned char, 4096> sink;
    for (int i = 0; i < 64 && recv(fd_, sink.data(), sink.size(), MSG_DONTWAIT) > 0; ++i) {
    }
    shutdown(fd_, SHUT_RDWR);
    in_.Reset();
}

void TcpLink::Broke() {
    in_.Fill(fd_, NO_WAIT);
    in_.Broke();
}

void TcpLink::SetLimit(Wait limit) {
    const auto ms = limit.value_or(std::chrono::milliseconds(0)).count(); // 0: none
    const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv); // shown; sends keep to out_.clock
    out_.clock.limit = limit;
}

std::unique_ptr<Link> NewTcpLink(int fd, bool fresh) {
    auto link = std::make_unique<TcpLink>(fd);
    if (fresh && !link->ReplaceSocket())
        return nullptr;
    return link;
}

int NewTcpEndpoint(std::unique_ptr<Link>& link) {
    const int fd = NewSocket();
    if (fd >= 0)
        link = std::make_unique<TcpLink>(fd);
    return fd;
}

// ---- sockets ------------------------------------------------------------------

int NewSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void TuneConnection(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A vanished peer becomes a failed connection within about two minutes.
    int idle = 60, interval = 10, count = 6;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool WaitWritable(int fd, Wait wait) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do
        r = poll(&p, 1, PollTimeout(wait));
    while (r < 0 && errno == EINTR);
    return r > 0;
}

bool SetBlocking(int fd, bool blocking) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return false;
    fl = blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
    return fcntl(fd, F_SETFL, fl) == 0;
}

} // namespace spx
