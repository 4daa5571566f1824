// Callers of a listening endpoint. Each caller is accepted from the kernel at
// once and read without blocking; only a caller whose first frame is a valid
// CONNECT reaches the program. Silent callers are dropped after 5 seconds,
// anything else at once, so that no caller can hold up another. Of the
// callers of one address at most MAX_READY_PER_SOURCE wait for t_listen;
// its further valid callers are held, in the order they came, until one of
// those has been taken, so that one host's burst cannot put the callers of
// others behind all of it. One address holds at most its share of the
// handshake slots (an eighth): a host that opens many connections and sends
// nothing gives way to its own newer callers, never fills the table for
// others. The slots are a quarter of the descriptor limit, at most
// MAX_PENDING. When every slot is taken, or no descriptor is left for a new
// caller, the oldest handshake of the address with the most handshakes
// gives way; when every slot holds a valid caller, the next ones wait in
// the kernel's queue, unanswered, instead of being refused.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include <spx/tiuser.h>

#include "tcp.h"

namespace spx {

namespace {

constexpr auto CONNECT_WAIT = std::chrono::seconds(5);
constexpr std::size_t MAX_PENDING = 1024;
constexpr std::size_t MAX_READY_PER_SOURCE = 16;

// The handshake slots: a quarter of the descriptor limit (each holds one),
// from 16 to MAX_PENDING.
std::size_t Slots() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return MAX_PENDING;
    return std::clamp<std::size_t>(files.rlim_cur / 4, 16, MAX_PENDING);
}

} // namespace

TcpListening::TcpListening(int listenFd)
    : listenFd_(listenFd), watchFd_(listenFd), slots_(Slots()),
      sourceShare_(std::max<std::size_t>(slots_ / 8, MAX_READY_PER_SOURCE)) {}

bool TcpListening::ReadCaller(PendingCaller& c) {
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
            ind.fd = c.fd;
            ind.source = c.source;
            ind.arrived = std::chrono::steady_clock::now();
            ind.call.sequence = NextSequence();
            ind.call.addr = SocketAddress(c.fd, true);
            ind.call.options = d.options;
            Complete(ind);
            c.fd = -1; // now owned by the indication
            return false;
        }
    }
}

TcpListening::~TcpListening() {
    CloseAll();
    if (ownsListen_)
        close(listenFd_);
}

void TcpListening::Share(int acceptFd, int watchFd) {
    listenFd_ = acceptFd;
    watchFd_ = watchFd;
    ownsListen_ = true;
}

void TcpListening::CloseAll() {
    for (auto& c : pending_)
        if (c.fd >= 0)
            close(c.fd);
    for (auto& i : ready_)
        close(i.fd);
    for (auto& i : reported_)
        close(i.fd);
    for (auto& i : held_)
        close(i.fd);
    pending_.clear();
    ready_.clear();
    reported_.clear();
    held_.clear();
}

void TcpListening::Complete(const Indication& indication) {
    const auto fromThere = std::ranges::count(ready_, indication.source, &Indication::source);
    (static_cast<std::size_t>(fromThere) < MAX_READY_PER_SOURCE ? ready_ : held_)
        .push_back(indication);
}

void TcpListening::TakenFrom(std::uint32_t source) {
    const auto it = std::ranges::find(held_, source, &Indication::source);
    if (it != held_.end()) {
        ready_.push_back(*it);
        held_.erase(it);
    }
}

bool TcpListening::Room() const {
    return !pending_.empty() || held_.size() < slots_;
}

std::optional<std::chrono::steady_clock::time_point> TcpListening::FirstReady() const {
    if (ready_.empty())
        return std::nullopt;
    return ready_.front().arrived;
}

Call TcpListening::Report() {
    reported_.push_back(ready_.front());
    ready_.pop_front();
    TakenFrom(reported_.back().source);
    return reported_.back().call;
}

Indication* TcpListening::Find(int sequence) {
    auto it = std::find_if(reported_.begin(), reported_.end(),
                           [&](const Indication& i) { return i.call.sequence == sequence; });
    return it == reported_.end() ? nullptr : &*it;
}

bool TcpListening::Reported(int sequence) const {
    return std::any_of(reported_.begin(), reported_.end(),
                       [&](const Indication& i) { return i.call.sequence == sequence; });
}

void TcpListening::Forget(Indication* indication) {
    close(indication->fd);
    reported_.erase(reported_.begin() + (indication - reported_.data()));
}

Joined TcpListening::Accept(int sequence, int fd) {
    Indication* it = Find(sequence);
    if (it == nullptr)
        return {TliResult(TBADSEQ)};
    // A caller that has gone already is accepted all the same: the service
    // endpoint then finds the disconnect.
    SetBlocking(it->fd, true);
    TuneConnection(it->fd);
    auto connection = std::make_unique<TcpConnection>(fd);
    HandshakeFrame accept = MakeHandshake(FRAME_ACCEPT, connection->Options());
    send(it->fd, &accept, sizeof accept, MSG_NOSIGNAL);
    if (dup3(it->fd, fd, O_CLOEXEC) < 0)
        return {TliResult(TSYSERR)};
    Forget(it);
    return {{}, std::move(connection)};
}

void TcpListening::Refuse(int sequence) {
    if (Indication* it = Find(sequence)) {
        DisconFrame refuse = MakeDiscon(SPX_DISCON_TERMINATED);
        send(it->fd, &refuse, sizeof refuse, MSG_NOSIGNAL | MSG_DONTWAIT);
        Forget(it);
    }
}

bool TcpListening::Serve(Wait wait) {
    const auto now = std::chrono::steady_clock::now();
    // Not while every slot holds a valid caller: those in the kernel's queue wait there.
    const bool accepting = now >= acceptPausedUntil_ && Room();

    // Wait for a new caller, bytes from a pending one, or the next deadline.
    std::vector<pollfd> fds;
    fds.reserve(pending_.size() + 1);
    fds.push_back({accepting ? watchFd_ : -1, POLLIN, 0});
    using std::chrono::milliseconds;
    Wait left = wait;
    const auto until = [&](std::chrono::steady_clock::time_point t) {
        const auto ms = std::max(std::chrono::ceil<milliseconds>(t - now), milliseconds(0));
        left = left ? std::min(*left, ms) : ms;
    };
    for (auto& c : pending_) {
        fds.push_back({c.fd, POLLIN, 0});
        until(c.deadline);
    }
    if (now < acceptPausedUntil_) // out of descriptors: wait for the callers' bytes or deadlines
        until(acceptPausedUntil_);
    int r = poll(fds.data(), fds.size(), PollTimeout(left));
    const bool interrupted = r < 0 && errno == EINTR;
    if (r < 0 && !interrupted)
        return true;

    for (std::size_t i = 1; i < fds.size(); ++i) {
        auto& c = pending_[i - 1];
        if (fds[i].revents != 0 && !ReadCaller(c) && c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
        }
    }
    const auto later = std::chrono::steady_clock::now();
    for (auto& c : pending_) {
        if (c.fd >= 0 && later >= c.deadline) {
            close(c.fd);
            c.fd = -1;
        }
    }
    std::erase_if(pending_, [](const PendingCaller& c) { return c.fd < 0; });
    if (r > 0 && (fds[0].revents & POLLIN) != 0)
        AcceptCallers(later);
    return !interrupted;
}

void TcpListening::AcceptCallers(std::chrono::steady_clock::time_point now) {
    // Every slot holding a valid caller: the next ones wait in the kernel.
    while (Room()) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &fromLength,
                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !pending_.empty()) {
            DropBusiest(); // its descriptor goes to the caller at the door
            continue;
        }
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil_ = now + std::chrono::milliseconds(100);
            return;
        }
        PendingCaller c;
        c.fd = fd;
        c.source = from.sin_addr.s_addr;
        c.deadline = now + CONNECT_WAIT;
        // The CONNECT usually comes with the connection: read it now.
        if (!ReadCaller(c)) {
            if (c.fd >= 0)
                close(c.fd);
            continue;
        }
        const auto fromThere = std::ranges::count(pending_, c.source, &PendingCaller::source);
        if (static_cast<std::size_t>(fromThere) >= sourceShare_)
            DropOldest(c.source); // its share taken: its own oldest gives way
        else if (pending_.size() + held_.size() >= slots_)
            DropBusiest();
        pending_.push_back(c);
    }
}

void TcpListening::DropBusiest() {
    std::unordered_map<std::uint32_t, std::size_t> handshakes;
    auto busiest = pending_.begin();
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (++handshakes[it->source] > handshakes[busiest->source])
            busiest = it;
    // busiest is the newest of the busiest address's handshakes: its oldest gives way
    DropOldest(busiest->source);
}

void TcpListening::DropOldest(std::uint32_t source) {
    const auto oldest = std::ranges::find(pending_, source, &PendingCaller::source);
    close(oldest->fd);
    pending_.erase(oldest);
}

} // namespace spx
