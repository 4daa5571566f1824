#include "endpoint.h"

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <spx/tiuser.h>

namespace spx {

// ---- module stack -----------------------------------------------------------

ModuleStack::ModuleStack() {
    Push("timod");
}

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

void Endpoint::Take(std::unique_ptr<Connection> c) {
    connection = std::move(c);
    connection->SetLimit(limit);
    binding->Yield();
}

bool Endpoint::FlushQueued() {
    if (!connection || !connection->Flush())
        return true;
    connection->Broke();
    return false;
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

Endpoint& AddEndpoint(int fd, std::unique_ptr<Binding> binding) {
    static bool hooked = false;
    if (!hooked) {
        // Queued units go out before a fork (so that they are not sent twice)
        // and at a normal exit (so that none is lost).
        hooked = true;
        pthread_atfork(FlushAll, nullptr, nullptr);
        std::atexit(ReleaseAll);
    }
    auto ep = std::make_unique<Endpoint>();
    ep->fd = fd;
    ep->state = T_UNBND;
    ep->binding = std::move(binding);
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
    for (auto& ep : Table())
        if (ep)
            ep->FlushQueued();
    errno = saved;
}

void ReleaseAll() {
    int saved = errno;
    for (auto& ep : Table()) {
        if (ep)
            ep->FlushQueued();
        if (ep && ep->connection)
            ep->connection->Release();
    }
    errno = saved;
}

// ---- numbers the carriers share ----------------------------------------------

int PollTimeout(Wait wait) {
    return wait ? static_cast<int>(std::clamp<long long>(wait->count(), 0, INT_MAX)) : -1;
}

std::optional<Clock::time_point> SendClock::Until() const {
    return limit && since ? std::optional(*since + *limit) : std::nullopt;
}

void SendClock::Waited() {
    if (!since) {
        since = Clock::now();
        sent = 0;
    }
}

void SendClock::Sent(std::size_t n) {
    sent += n;
    if (sent >= SEND_BLOCK)
        since.reset();
}

SysResult SendAll(int fd, std::span<iovec> iov, std::optional<Clock::time_point> deadline,
                  SendClock* clock) {
    bool waited = false;
    while (!iov.empty()) {
        msghdr msg{};
        msg.msg_iov = iov.data();
        msg.msg_iovlen = iov.size();
        ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return SysResult(errno);
        if (n < 0) {
            waited = true;
            if (clock != nullptr) {
                clock->Waited();
                deadline = clock->Until();
            }
            pollfd p{fd, POLLOUT | POLLRDHUP, 0};
            int left = -1;
            if (deadline)
                left = PollTimeout(
                    std::max(std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()),
                             std::chrono::milliseconds(0)));
            const int r = poll(&p, 1, left);
            if (r == 0) // the limit passed without room
                return SysResult(ETIMEDOUT);
            if (r > 0 && (p.revents & POLLOUT) == 0 &&
                (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
                return SysResult(EPIPE); // the peer has closed its end: it takes nothing more
            continue;
        }
        auto done = static_cast<std::size_t>(n);
        if (clock != nullptr)
            clock->Sent(done);
        while (!iov.empty() && done >= iov.front().iov_len) {
            done -= iov.front().iov_len;
            iov = iov.subspan(1);
        }
        if (!iov.empty()) {
            iov.front().iov_base = static_cast<char*>(iov.front().iov_base) + done;
            iov.front().iov_len -= done;
        }
    }
    if (clock != nullptr && !waited) // room at once: the peer keeps up
        clock->since.reset();
    return {};
}

bool WatchReadable(int set, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(set, EPOLL_CTL_ADD, fd, &ev) == 0;
}

std::uint16_t NewConnectionId() {
    static std::uint16_t next = 0;
    if (next == 0)
        next = static_cast<std::uint16_t>((getpid() * 40503u) ^ 0x5A5Au);
    std::uint16_t id = next++;
    return id != 0 ? id : next++;
}

int NextSequence() {
    static int next = 0;
    if (++next <= 0)
        next = 1;
    return next;
}

} // namespace spx
