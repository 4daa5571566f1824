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
#include <vector>

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

// The endpoints by descriptor number: every call looks its endpoint up, so
// the lookup is an index.
std::vector<std::unique_ptr<Endpoint>>& Table() {
    static auto* table = new std::vector<std::unique_ptr<Endpoint>>;
    return *table;
}

} // namespace

Endpoint* FindEndpoint(int fd) {
    const auto& table = Table();
    const auto at = static_cast<std::size_t>(fd);
    Endpoint* ep = fd >= 0 && at < table.size() ? table[at].get() : nullptr;
    if (ep == nullptr)
        t_errno = TBADF;
    return ep;
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
    auto& table = Table();
    const auto at = static_cast<std::size_t>(fd);
    if (table.size() <= at)
        table.resize(at + 1);
    table[at] = std::move(ep);
    return *table[at];
}

void RemoveEndpoint(int fd) {
    if (fd >= 0 && static_cast<std::size_t>(fd) < Table().size())
        Table()[static_cast<std::size_t>(fd)].reset();
}

void FlushAll() {
    int saved = errno;
    for (auto& ep : Table()) {
        if (ep && !ep->out.Empty() && ep->out.Flush(ep->fd) != 0)
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
