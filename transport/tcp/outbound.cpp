// Units gathered for sending: frames queued into large writes.
#include "tcp.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace spx {

namespace {

// Sends every byte of the vectors; 0 or an errno. A wait for room is bounded
// by the clock's limit in all (ETIMEDOUT after that), however many pieces
// go out meanwhile; any socket stops waiting as soon as the peer has closed
// its end (EPIPE): a peer that has gone, or sent its disconnect, takes
// nothing more.
int SendAll(int fd, iovec* iov, int count, SendClock& clock) {
    bool waited = false;
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
            waited = true;
            clock.Waited();
            Wait left = UNTIL_SOMETHING;
            if (const auto until = clock.Until()) {
                left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now());
                if (left->count() <= 0)
                    return ETIMEDOUT;
            }
            pollfd p{fd, POLLOUT | POLLRDHUP, 0};
            const int r = poll(&p, 1, PollTimeout(left));
            if (r == 0) // the limit passed without room
                return ETIMEDOUT;
            if (r > 0 && (p.revents & POLLOUT) == 0 &&
                (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
                return EPIPE;
            continue;
        }
        auto left = static_cast<std::size_t>(n);
        clock.Sent(left);
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
    if (!waited) // room at once: the peer keeps up
        clock.since.reset();
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
        return SendAll(fd, iov, 2, clock);
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
    return SendAll(fd, &iov, 1, clock);
}

} // namespace spx
