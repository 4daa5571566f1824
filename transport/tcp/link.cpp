// One endpoint on TCP: binding, calling, the handshake of a caller, and
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
#include <cstdio>
#include <cstring>

#include <spx/tiuser.h>

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
TliResult BindError() {
    if (errno == EADDRINUSE)
        return TliResult(TADDRBUSY);
    return TliResult(errno == EACCES ? TACCES : TSYSERR);
}

// What the endpoint at fd travels on; the peer's end too when connected.
void TcpPath(int fd, bool connected, spx_path& path) {
    path = spx_path{};
    path.carrier = SPX_CARRIER_TCP;
    const auto inet = [fd](bool peer, unsigned int& ip, unsigned short& port) {
        sockaddr_in sin{};
        socklen_t len = sizeof sin;
        sockaddr* sa = reinterpret_cast<sockaddr*>(&sin);
        const int r = peer ? getpeername(fd, sa, &len) : getsockname(fd, sa, &len);
        ip = r == 0 && sin.sin_family == AF_INET ? ntohl(sin.sin_addr.s_addr) : 0;
        port = r == 0 && sin.sin_family == AF_INET ? ntohs(sin.sin_port) : 0;
        return r == 0;
    };
    inet(false, path.localInet, path.localPort);
    path.local = SocketAddress(fd, false);
    path.connected = connected && inet(true, path.peerInet, path.peerPort) ? 1 : 0;
    if (path.connected != 0)
        path.peer = SocketAddress(fd, true);
}

} // namespace

// ---- the endpoint's own socket ------------------------------------------------

bool TcpBinding::ReplaceSocket() {
    int s = NewSocket();
    if (s < 0)
        return false;
    int r = dup3(s, fd_, O_CLOEXEC);
    int err = errno;
    close(s);
    errno = err;
    if (r < 0)
        return false;
    taken_ = false;
    return true;
}

TliResult TcpBinding::Bind(std::uint16_t socket, bool listening, ipxAddr_t& local) {
    if (taken_ && !ReplaceSocket())
        return TliResult(TSYSERR);
    if (!BindPort(fd_, socket))
        return BindError();
    // Callers are taken from the kernel without blocking (see TcpListening).
    if (listening && (listen(fd_, SOMAXCONN) != 0 || !SetBlocking(fd_, false)))
        return TliResult(TSYSERR);
    local = HostAddress(GetBE16(SocketAddress(fd_, false).sock));
    return {};
}

std::unique_ptr<Listening> TcpBinding::Listen() {
    return std::make_unique<TcpListening>(fd_);
}

TliResult TcpBinding::Unbind() {
    return ReplaceSocket() ? TliResult() : TliResult(TSYSERR);
}

Joined TcpBinding::Connect(const ipxAddr_t& to) {
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 0;
    if (!ToInet(to, ipv4, port) || port == 0)
        return {TliResult(TBADADDR)};
    if (taken_ && (!ReplaceSocket() || !BindPort(fd_, 0)))
        return {TliResult(TSYSERR)};
    taken_ = true;
    auto connection = std::make_unique<TcpConnection>(fd_);
    Joined call;
    call.result = connection->Call(ipv4, port, call.theirs, call.peer);
    call.connection = std::move(connection);
    return call;
}

void TcpBinding::Path(spx_path& path) const {
    TcpPath(fd_, false, path);
}

// ---- a connection -----------------------------------------------------------------

TcpConnection::TcpConnection(int fd) : fd_(fd), connectionId_(NewConnectionId()) {
    in_.Reset();
}

ipxAddr_t TcpConnection::Local() const {
    return SocketAddress(fd_, false);
}

void TcpConnection::Path(spx_path& path) const {
    TcpPath(fd_, true, path);
}

SPX_OPTS TcpConnection::Options() const {
    SPX_OPTS o{};
    PutBE16(o.spx_connectionID, connectionId_);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0 || rcvbuf < 0)
        rcvbuf = 0;
    PutBE16(o.spx_allocationNumber, static_cast<std::uint16_t>(std::min(rcvbuf / 534, 0xFFFF)));
    return o;
}

TliResult TcpConnection::CallFailed(int reason, std::uint32_t ipv4, std::uint16_t port,
                                    const char* why) {
    in_.EndStream(reason);
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u port %u %s", ipv4 >> 24, ipv4 >> 16 & 0xFF,
                  ipv4 >> 8 & 0xFF, ipv4 & 0xFF, port, why);
    SetErrorDetail(text.data());
    return TliResult(TLOOK);
}

namespace {

// What a failed TCP connect says of its peer, for errno err.
const char* ConnectText(int err) {
    switch (err) {
    case ECONNREFUSED:
        return "refused the connection: nothing listens there";
    case ETIMEDOUT:
        return "did not answer within 10 s";
    case EHOSTUNREACH:
    case ENETUNREACH:
        return "cannot be reached: no route to it";
    default:
        return std::strerror(err);
    }
}

} // namespace

TliResult TcpConnection::Call(std::uint32_t ipv4, std::uint16_t port, SPX_OPTS& theirs,
                              ipxAddr_t& peer) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(ipv4);
    sin.sin_port = htons(port);
    SetBlocking(fd_, false);
    int r = connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    int err = r == 0 ? 0 : errno;
    if (r != 0 && err == EINPROGRESS) {
        err = ETIMEDOUT;
        socklen_t len = sizeof err;
        if (WaitWritable(fd_, kConnectWait))
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err == 0 ? 0 : -1;
    }
    SetBlocking(fd_, true);
    if (r != 0)
        return CallFailed(SPX_DISCON_FAILED, ipv4, port, ConnectText(err));

    TuneConnection(fd_);
    HandshakeFrame hello = MakeHandshake(FRAME_CONNECT, Options());
    if (send(fd_, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello))
        return CallFailed(SPX_DISCON_FAILED, ipv4, port, "closed the connection at once");
    const char* why = "";
    if (int reason = AwaitAccept(theirs, why))
        return CallFailed(reason, ipv4, port, why);
    peer = SocketAddress(fd_, true);
    return {};
}

int TcpConnection::AwaitAccept(SPX_OPTS& options, const char*& why) {
    std::array<unsigned char, 512> buf{};
    std::size_t have = 0;
    auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    why = "took the connection but sent no SPX answer within 10 s";
    for (;;) {
        Decoded d = DecodeFrame({buf.data(), have}, Phase::Accept);
        if (d.status == Decoded::Error)
            return why = "answered with something other than SPX over TCP", SPX_DISCON_FAILED;
        if (d.status == Decoded::Frame) {
            if (d.type == FRAME_DISCON)
                return why = "refused the call", static_cast<int>(d.reason);
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
            return why = "closed the connection without an answer", SPX_DISCON_FAILED;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return why = std::strerror(errno), SPX_DISCON_FAILED;
        }
        have += static_cast<std::size_t>(n);
    }
}

SysResult TcpConnection::SendOrdRel() {
    const SysResult queued = out_.Queue(fd_, FRAME_ORDREL, 0, {});
    return queued ? queued : out_.Flush(fd_);
}

void TcpConnection::Disconnect() {
    // Units already accepted go out first; then the disconnect ends it.
    DisconFrame bye = MakeDiscon(SPX_DISCON_TERMINATED);
    if (!out_.Queue(fd_, FRAME_DISCON, 0, std::span(bye.reason)))
        static_cast<void>(out_.Flush(fd_));
    out_.Drop();
    // Unread input would turn the close into a reset; it is of no use now.
    std::array<unsigned char, 4096> sink;
    for (int i = 0; i < 64 && recv(fd_, sink.data(), sink.size(), MSG_DONTWAIT) > 0; ++i) {
    }
    shutdown(fd_, SHUT_RDWR);
    in_.Reset();
}

void TcpConnection::Broke() {
    in_.Fill(fd_, NO_WAIT);
    in_.Broke();
}

void TcpConnection::SetLimit(Wait limit) {
    const auto ms = limit.value_or(std::chrono::milliseconds(0)).count(); // 0: none
    const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv); // shown; sends keep to out_.clock
    out_.clock.limit = limit;
}

int NewTcpEndpoint(std::unique_ptr<Binding>& binding) {
    const int fd = NewSocket();
    if (fd >= 0)
        binding = std::make_unique<TcpBinding>(fd);
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
