#include "endpoint.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <map>

#include <spx/tiuser.h>

namespace spx {

// ---- module stack -----------------------------------------------------------

ModuleStack::ModuleStack() { Push("timod"); }

std::string_view ModuleStack::Top() const {
    if (count_ == 0)
        return "nspx";
    return modules_[static_cast<std::size_t>(count_ - 1)] == Module::Timod ? "timod" : "tirdwr";
}

bool ModuleStack::Pop() {
    if (count_ == 0)
        return false;
    --count_;
    return true;
}

bool ModuleStack::Push(std::string_view name) {
    if ((name != "timod" && name != "tirdwr") || count_ == DEPTH)
        return false;
    modules_[static_cast<std::size_t>(count_++)] = name == "timod" ? Module::Timod : Module::Tirdwr;
    return true;
}

// ---- endpoints of this process ---------------------------------------------

void Endpoint::SendFailed() {
    in.Fill(fd, NO_WAIT);
    in.Broke();
}

bool Endpoint::FlushQueued() {
    if (!connected || out.Empty() || out.Flush(fd) == 0)
        return true;
    SendFailed();
    return false;
}

SPX_OPTS Endpoint::Options() const {
    SPX_OPTS o{};
    PutBE16(o.spx_connectionID, connectionId);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0 || rcvbuf < 0)
        rcvbuf = 0;
    PutBE16(o.spx_allocationNumber,
            static_cast<std::uint16_t>(std::min(rcvbuf / 534, 0xFFFF)));
    return o;
}

namespace {

std::map<int, std::unique_ptr<Endpoint>>& Table() {
    static auto* table = new std::map<int, std::unique_ptr<Endpoint>>;
    return *table;
}

} // namespace

Endpoint* FindEndpoint(int fd) {
    auto it = Table().find(fd);
    if (it == Table().end()) {
        t_errno = TBADF;
        return nullptr;
    }
    return it->second.get();
}

Endpoint& AddEndpoint(int fd) {
    static bool hooked = false;
    if (!hooked) {
        // Queued units go out before a fork (so that they are not sent twice)
        // and at a normal exit (so that none is lost).
        hooked = true;
        pthread_atfork(FlushAll, nullptr, nullptr);
        std::atexit(FlushAll);
    }
    auto ep = std::make_unique<Endpoint>();
    ep->fd = fd;
    ep->state = T_UNBND;
    ep->connectionId = NewConnectionId();
    auto& slot = Table()[fd];
    slot = std::move(ep);
    return *slot;
}

void RemoveEndpoint(int fd) { Table().erase(fd); }

void FlushAll() {
    int saved = errno;
    for (auto& [fd, ep] : Table()) {
        if (!ep->out.Empty() && ep->out.Flush(fd) != 0)
            ep->in.Broke();
    }
    errno = saved;
}

// ---- sockets ------------------------------------------------------------------

int NewSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

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

int PollTimeout(Wait wait) {
    return wait ? static_cast<int>(std::clamp<long long>(wait->count(), 0, INT_MAX)) : -1;
}

bool WaitWritable(int fd, Wait wait) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do
        r = poll(&p, 1, PollTimeout(wait));
    while (r < 0 && errno == EINTR);
    return r > 0;
}

std::uint16_t NewConnectionId() {
    static std::uint16_t next = 0;
    if (next == 0)
        next = static_cast<std::uint16_t>((getpid() * 40503u) ^ 0x5A5Au);
    std::uint16_t id = next++;
    return id != 0 ? id : next++;
}

} // namespace spx
