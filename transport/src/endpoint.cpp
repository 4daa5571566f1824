#include "endpoint.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include <spx/tiuser.h>

namespace spx {

// ---- frames read ahead ------------------------------------------------------

void Inbound::Reset() {
    if (!buf_)
        buf_ = std::make_unique_for_overwrite<unsigned char[]>(CAPACITY);
    pos_ = end_ = scan_ = endPos_ = dataLeft_ = 0;
    scanSawOrdRel_ = inData_ = ended_ = byFrame_ = protocolError_ = false;
    dataFlags_ = 0;
    reason_ = 0;
}

void Inbound::Preload(std::span<const unsigned char> bytes) {
    Compact();
    std::size_t n = std::min(bytes.size(), CAPACITY - end_);
    std::memcpy(buf_.get() + end_, bytes.data(), n);
    end_ += n;
    Scan();
}

void Inbound::Compact() {
    if (pos_ == 0)
        return;
    std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    scan_ -= pos_;
    if (ended_)
        endPos_ -= pos_;
    pos_ = 0;
}

void Inbound::Fill(int fd, int timeoutMs) {
    if (ended_ || !buf_)
        return;
    if (pos_ == end_ || CAPACITY - end_ < CAPACITY / 4)
        Compact();
    if (end_ == CAPACITY)
        return;
    if (timeoutMs != 0) {
        pollfd p{fd, POLLIN, 0};
        int r;
        do
            r = poll(&p, 1, timeoutMs);
        while (r < 0 && errno == EINTR);
        if (r <= 0)
            return;
    }
    for (;;) {
        ssize_t n = recv(fd, buf_.get() + end_, CAPACITY - end_, MSG_DONTWAIT);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            Scan();
            return;
        }
        if (n == 0) {
            EndStream(SPX_DISCON_TERMINATED);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            EndStream(SPX_DISCON_FAILED);
        return;
    }
}

void Inbound::EndStream(int reason) {
    if (ended_)
        return;
    ended_ = true;
    reason_ = reason;
    if (scan_ < end_) {
        // A header cut short: the bytes of it are no frame.
        end_ = scan_;
    }
    endPos_ = std::min(scan_, end_);
}

void Inbound::Broke() {
    EndStream(SPX_DISCON_FAILED);
    if (!byFrame_)
        reason_ = SPX_DISCON_FAILED;
}

void Inbound::Scan() {
    while (!ended_ && scan_ < end_) {
        Decoded d = DecodeFrame({buf_.get() + scan_, end_ - scan_}, Phase::Transfer);
        if (d.status == Decoded::Incomplete)
            return;
        bool afterRelease = scanSawOrdRel_ && d.type != FRAME_DISCON;
        if (d.status == Decoded::Error || afterRelease) {
            // Whatever follows is not to be trusted: the connection failed here.
            protocolError_ = true;
            ended_ = true;
            reason_ = SPX_DISCON_FAILED;
            endPos_ = end_ = scan_;
            return;
        }
        if (d.type == FRAME_DISCON) {
            ended_ = true;
            byFrame_ = true;
            reason_ = static_cast<int>(d.reason);
            endPos_ = end_ = scan_;
            return;
        }
        if (d.type == FRAME_ORDREL)
            scanSawOrdRel_ = true;
        scan_ += FRAME_HEADER + d.length;
    }
}

int Inbound::Peek() {
    if (!buf_)
        return 0;
    for (;;) {
        if (inData_) {
            if (dataLeft_ == 0 || pos_ < end_)
                return T_DATA;
            return ended_ ? T_DISCONNECT : 0;
        }
        if (ended_ && pos_ >= endPos_)
            return T_DISCONNECT;
        if (pos_ >= scan_ || end_ - pos_ < FRAME_HEADER)
            return 0; // the next header is not judged yet
        Decoded d = DecodeFrame({buf_.get() + pos_, end_ - pos_}, Phase::Transfer);
        if (d.type == FRAME_ORDREL)
            return T_ORDREL;
        // A DATA frame: its payload follows the header.
        pos_ += FRAME_HEADER;
        inData_ = true;
        dataLeft_ = d.length;
        dataFlags_ = d.flags;
    }
}

std::size_t Inbound::DataReady() const {
    if (!inData_)
        return 0;
    return std::min(dataLeft_, end_ - pos_);
}

std::size_t Inbound::TakeData(std::span<unsigned char> out, int& flags) {
    std::size_t n = std::min(out.size(), DataReady());
    std::memcpy(out.data(), buf_.get() + pos_, n);
    pos_ += n;
    dataLeft_ -= n;
    if (dataLeft_ == 0) {
        inData_ = false;
        flags = (dataFlags_ & FRAME_MORE) ? T_MORE : 0;
    } else {
        flags = T_MORE;
    }
    return n;
}

void Inbound::TakeOrdRel() { pos_ += FRAME_HEADER; }

int Inbound::TakeDisconnect() {
    pos_ = end_ = scan_ = endPos_ = 0;
    inData_ = false;
    dataLeft_ = 0;
    return reason_;
}

// ---- units gathered for sending -------------------------------------------

namespace {

// Sends every byte of the vectors; 0 or an errno.
int SendAll(int fd, iovec* iov, int count) {
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                WaitWritable(fd, -1);
                continue;
            }
            return errno;
        }
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

} // namespace

int Outbound::Queue(int fd, FrameType type, std::uint8_t flags,
                    std::span<const unsigned char> payload) {
    if (!buf_)
        buf_ = std::make_unique_for_overwrite<unsigned char[]>(CAPACITY);
    const std::size_t size = FRAME_HEADER + payload.size();
    if (len_ + size > CAPACITY) {
        if (int err = Flush(fd))
            return err;
    }
    FrameHeader h = MakeHeader(type, flags, static_cast<std::uint16_t>(payload.size()));
    if (size > CAPACITY) {
        // Larger than the whole buffer: straight to the connection.
        iovec iov[2] = {{&h, sizeof h},
                        {const_cast<unsigned char*>(payload.data()), payload.size()}};
        return SendAll(fd, iov, 2);
    }
    const auto now = std::chrono::steady_clock::now();
    if (len_ == 0)
        oldest_ = now;
    std::memcpy(buf_.get() + len_, &h, sizeof h);
    if (!payload.empty())
        std::memcpy(buf_.get() + len_ + sizeof h, payload.data(), payload.size());
    len_ += size;
    return now - oldest_ > HOLD ? Flush(fd) : 0;
}

int Outbound::QueueUnit(int fd, std::span<const unsigned char> data, bool more) {
    do {
        auto piece = data.first(std::min(data.size(), FRAME_MAX_PAYLOAD));
        data = data.subspan(piece.size());
        const std::uint8_t flags = (more || !data.empty()) ? FRAME_MORE : 0;
        if (int err = Queue(fd, FRAME_DATA, flags, piece))
            return err;
    } while (!data.empty());
    return 0;
}

int Outbound::Flush(int fd) {
    if (len_ == 0)
        return 0;
    iovec iov{buf_.get(), len_};
    len_ = 0;
    return SendAll(fd, &iov, 1);
}

// ---- module stack -----------------------------------------------------------

ModuleStack::ModuleStack() { Push("timod"); }

std::string_view ModuleStack::Top() const {
    if (count_ == 0)
        return "nspx";
    return names_[static_cast<std::size_t>(count_ - 1)].data();
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
    auto& slot = names_[static_cast<std::size_t>(count_++)];
    slot.fill('\0');
    name.copy(slot.data(), FMNAMESZ);
    return true;
}

// ---- endpoints of this process ---------------------------------------------

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

void FlushBeforeFork() { FlushAll(); }

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
        pthread_atfork(FlushBeforeFork, nullptr, nullptr);
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

bool WaitWritable(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do
        r = poll(&p, 1, timeoutMs);
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
