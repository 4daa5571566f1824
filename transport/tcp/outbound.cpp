// Units gathered for sending: frames queued into large writes.
#include "tcp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace spx {

namespace {

// The send time-out set on a blocking socket (SO_SNDTIMEO): how long a
// send may wait for room in all; none when unset.
Wait SendLimit(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0))
        return UNTIL_SOMETHING;
    return std::chrono::milliseconds(std::max<long>(1, tv.tv_sec * 1000 + tv.tv_usec / 1000));
}

// Sends every byte of the vectors; 0 or an errno. A blocking socket waits
// for room at most its send time-out in all, however many pieces go out
// meanwhile (ETIMEDOUT after that); any socket stops waiting as soon as the
// peer has closed its end (EPIPE): a peer that has gone, or sent its
// disconnect, takes nothing more.
int SendAll(int fd, iovec* iov, int count) {
    using Clock = std::chrono::steady_clock;
    const Wait limit = (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0 ? SendLimit(fd) : UNTIL_SOMETHING;
    const auto deadline = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return errno;
            Wait left = limit;
            if (limit) {
                left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left->count() <= 0)
                    return ETIMEDOUT;
            }
            pollfd p{fd, POLLOUT | POLLRDHUP, 0};
            if (poll(&p, 1, PollTimeout(left)) > 0 && (p.revents & POLLOUT) == 0 &&
                (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
                return EPIPE;
            continue;
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
    std::memcpy(buf_.get() + len_, &h, sizeof h);
    if (!payload.empty())
        std::memcpy(buf_.get() + len_ + sizeof h, payload.data(), payload.size());
    len_ += size;
    return 0;
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

} // namespace spx
