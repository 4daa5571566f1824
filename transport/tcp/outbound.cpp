// Units gathered for sending: frames queued into large writes.
#include "tcp.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace spx {

SysResult Outbound::Queue(int fd, FrameType type, std::uint8_t flags,
                          std::span<const unsigned char> payload) {
    if (!buf_)
        buf_ = std::make_unique_for_overwrite<unsigned char[]>(CAPACITY);
    const std::size_t size = FRAME_HEADER + payload.size();
    if (len_ + size > CAPACITY) {
        if (const SysResult flushed = Flush(fd))
            return flushed;
    }
    FrameHeader h = MakeHeader(type, flags, static_cast<std::uint16_t>(payload.size()));
    if (size > CAPACITY) {
        // Larger than the whole buffer: straight to the connection.
        std::array<iovec, 2> iov = {
            iovec{&h, sizeof h}, iovec{const_cast<unsigned char*>(payload.data()), payload.size()}};
        return SendAll(fd, iov, std::nullopt, &clock);
    }
    std::memcpy(buf_.get() + len_, &h, sizeof h);
    if (!payload.empty())
        std::memcpy(buf_.get() + len_ + sizeof h, payload.data(), payload.size());
    len_ += size;
    return {};
}

SysResult Outbound::QueueUnit(int fd, std::span<const unsigned char> data, bool more) {
    do {
        auto piece = data.first(std::min(data.size(), FRAME_MAX_PAYLOAD));
        data = data.subspan(piece.size());
        const std::uint8_t flags = (more || !data.empty()) ? FRAME_MORE : 0;
        if (const SysResult queued = Queue(fd, FRAME_DATA, flags, piece))
            return queued;
    } while (!data.empty());
    return {};
}

SysResult Outbound::Flush(int fd) {
    if (len_ == 0)
        return {};
    iovec iov{buf_.get(), len_};
    len_ = 0;
    return SendAll(fd, std::span(&iov, 1), std::nullopt, &clock);
}

} // namespace spx
