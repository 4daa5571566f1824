// Callers of a listening endpoint. Each caller is accepted from the kernel at
// once and read without blocking; only a caller whose first frame is a valid
// CONNECT reaches the program. Silent callers are dropped after 5 seconds,
// anything else at once, so that no caller can hold up another. Of the
// callers of one address at most MAX_READY_PER_SOURCE wait for t_listen;
// its further valid callers are held, in the order they came, until one of
// those has been taken, so that one host's burst cannot put the callers of
// others behind all of it. When every slot is taken, or no descriptor is
// left for a new caller, the oldest handshake of the address with the most
// handshakes gives way; when every slot holds a valid caller, the next ones
// wait in the kernel's queue, unanswered, instead of being refused.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "endpoint.h"

namespace spx {

namespace {

constexpr auto CONNECT_WAIT = std::chrono::seconds(5);
constexpr std::size_t MAX_PENDING = 1024;
constexpr std::size_t MAX_READY_PER_SOURCE = 16;

// Reads what the caller has sent. True while it may still become a valid
// caller; on completion moves it to ready.
bool ReadCaller(PendingCaller& c, Listener& l) {
    for (;;) {
        ssize_t n = recv(c.fd, c.buf.data() + c.have, c.buf.size() - c.have, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.have += static_cast<std::size_t>(n);
        Decoded d = DecodeFrame({c.buf.data(), c.have}, Phase::Connect);
        if (d.status == Decoded::Error)
            return false;
        if (d.status == Decoded::Frame) {
            Indication ind;
            ind.sequence = l.nextSequence++;
            if (l.nextSequence <= 0)
                l.nextSequence = 1;
            ind.fd = c.fd;
            ind.source = c.source;
            ind.addr = SocketAddress(c.fd, true);
            ind.options = d.options;
            l.Complete(ind);
            c.fd = -1; // now owned by the indication
            return false;
        }
    }
}

} // namespace

Listener::~Listener() { CloseAll(); }

void Listener::CloseAll() {
    for (auto& c : pending)
        if (c.fd >= 0)
            close(c.fd);
    for (auto& i : ready)
        close(i.fd);
    for (auto& i : reported)
        close(i.fd);
    for (auto& i : held)
        close(i.fd);
    pending.clear();
    ready.clear();
    reported.clear();
    held.clear();
}

void Listener::Complete(const Indication& indication) {
    const auto fromThere = std::ranges::count(ready, indication.source, &Indication::source);
    (static_cast<std::size_t>(fromThere) < MAX_READY_PER_SOURCE ? ready : held).push_back(indication);
}

void Listener::TakenFrom(std::uint32_t source) {
    const auto it = std::ranges::find(held, source, &Indication::source);
    if (it != held.end()) {
        ready.push_back(*it);
        held.erase(it);
    }
}

Indication* Listener::Reported(int sequence) {
    auto it = std::find_if(reported.begin(), reported.end(),
                           [&](const Indication& i) { return i.sequence == sequence; });
    return it == reported.end() ? nullptr : &*it;
}

void Listener::Forget(Indication* indication) {
    close(indication->fd);
    reported.erase(reported.begin() + (indication - reported.data()));
}

bool Listener::Serve(int listenFd, Wait wait) {
    const auto now = std::chrono::steady_clock::now();
    // Not while every slot holds a valid caller: those in the kernel's queue wait there.
    const bool accepting = now >= acceptPausedUntil && (!pending.empty() || held.size() < MAX_PENDING);

    // Wait for a new caller, bytes from a pending one, or the next deadline.
    std::vector<pollfd> fds;
    fds.reserve(pending.size() + 1);
    fds.push_back({accepting ? listenFd : -1, POLLIN, 0});
    using std::chrono::milliseconds;
    Wait left = wait;
    const auto until = [&](std::chrono::steady_clock::time_point t) {
        const auto ms = std::max(std::chrono::ceil<milliseconds>(t - now), milliseconds(0));
        left = left ? std::min(*left, ms) : ms;
    };
    for (auto& c : pending) {
        fds.push_back({c.fd, POLLIN, 0});
        until(c.deadline);
    }
    if (now < acceptPausedUntil) // out of descriptors: wait for the callers' bytes or deadlines
        until(acceptPausedUntil);
    int r = poll(fds.data(), fds.size(), PollTimeout(left));
    const bool interrupted = r < 0 && errno == EINTR;
    if (r < 0 && !interrupted)
        return true;

    for (std::size_t i = 1; i < fds.size(); ++i) {
        auto& c = pending[i - 1];
        if (fds[i].revents != 0 && !ReadCaller(c, *this) && c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
        }
    }
    const auto later = std::chrono::steady_clock::now();
    for (auto& c : pending) {
        if (c.fd >= 0 && later >= c.deadline) {
            close(c.fd);
            c.fd = -1;
        }
    }
    std::erase_if(pending, [](const PendingCaller& c) { return c.fd < 0; });

    if (r > 0 && (fds[0].revents & POLLIN) != 0) {
        // Every slot holding a valid caller: the next ones wait in the kernel.
        while (!pending.empty() || held.size() < MAX_PENDING) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &fromLength,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !pending.empty()) {
                DropBusiest(); // its descriptor goes to the caller at the door
                continue;
            }
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    acceptPausedUntil = later + std::chrono::milliseconds(100);
                break;
            }
            PendingCaller c;
            c.fd = fd;
            c.source = from.sin_addr.s_addr;
            c.deadline = later + CONNECT_WAIT;
            // The CONNECT usually comes with the connection: read it now.
            if (!ReadCaller(c, *this)) {
                if (c.fd >= 0)
                    close(c.fd);
                continue;
            }
            if (pending.size() + held.size() >= MAX_PENDING)
                DropBusiest();
            pending.push_back(c);
        }
    }
    return !interrupted;
}

void Listener::DropBusiest() {
    std::unordered_map<std::uint32_t, std::size_t> handshakes;
    auto busiest = pending.begin();
    for (auto it = pending.begin(); it != pending.end(); ++it)
        if (++handshakes[it->source] > handshakes[busiest->source])
            busiest = it;
    // busiest is the newest of the busiest address's handshakes: its oldest gives way
    const auto oldest = std::ranges::find(pending, busiest->source, &PendingCaller::source);
    close(oldest->fd);
    pending.erase(oldest);
}

} // namespace spx
