// Records to and from the IPX stack: read in large reads with the
// descriptors that ride with them, written whole within a deadline, and the
// start of every stack connection (HELLO with the first request).
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "stacklink.h"

namespace spx::stacklink {

namespace {

// How long a poll may wait for deadline; -1 for none.
int PollUntil(Deadline deadline) {
    if (!deadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return PollTimeout(std::max(left, std::chrono::milliseconds(0)));
}

// Waits for events on fd until deadline: poll's revents, 0 when the time ran
// out, -1 when a signal cut the wait short.
int Await(int fd, short events, Deadline deadline) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, PollUntil(deadline));
    if (r < 0)
        return -1;
    return r == 0 ? 0 : p.revents;
}

} // namespace

Deadline DeadlineOf(Wait wait) {
    return wait ? Deadline(Clock::now() + *wait) : std::nullopt;
}

std::string StackPath() {
    const char* path = std::getenv("NSPX_STACK");
    return path != nullptr && *path != '\0' ? path : std::string(stack::DEFAULT_PATH);
}

// ---- reading ------------------------------------------------------------------

Reader::Reader(std::size_t capacity) : capacity_(std::max(capacity, stack::MAX_RECORD)) {
    buf_.reset(new std::uint8_t[capacity_]);
}

Reader::~Reader() {
    Reset();
}

void Reader::Reset() {
    for (int fd : fds_)
        close(fd);
    fds_.clear();
    pos_ = end_ = scan_ = taken = 0;
    bad_ = discon_ = ordrel_ = false;
}

Reader::Got Reader::Read(int fd, Deadline deadline) {
    if (bad_)
        return Got::Failed;
    if (pos_ > 0 && (end_ == capacity_ || pos_ >= capacity_ / 2)) {
        std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        scan_ -= pos_;
        pos_ = 0;
    }
    if (end_ == capacity_)
        return Got::Nothing; // the front record is whole: take it first
    iovec iov{buf_.get() + end_, capacity_ - end_};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(4 * sizeof(int))> control;
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const int ready = Await(fd, POLLIN, deadline);
        if (ready <= 0)
            return ready == 0 || errno == EINTR ? Got::Nothing : Got::Failed;
        n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int got = -1;
            std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof got);
            fds_.push_back(got);
        }
    }
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Got::Nothing
                                                                         : Got::Failed;
    if (n == 0)
        return Got::End;
    end_ += static_cast<std::size_t>(n);
    Scan();
    return Got::Bytes;
}

void Reader::Scan() {
    while (end_ >= scan_ + sizeof(stack::Head)) {
        const auto prim = static_cast<stack::Prim>(buf_[scan_]);
        discon_ = discon_ || prim == stack::Prim::DisconInd;
        ordrel_ = ordrel_ || prim == stack::Prim::OrdrelInd;
        scan_ += sizeof(stack::Head) + GetBE32(std::span(buf_.get() + scan_ + 4, 4).first<4>());
    }
}

std::optional<stack::Record> Reader::Front() const {
    const stack::Decoded d = stack::DecodeRecord({buf_.get() + pos_, end_ - pos_});
    if (d.used == SIZE_MAX)
        const_cast<Reader*>(this)->bad_ = true;
    return d.record;
}

void Reader::Pop() {
    const stack::Decoded d = stack::DecodeRecord({buf_.get() + pos_, end_ - pos_});
    if (d.record)
        pos_ += d.used;
    taken = 0;
}

int Reader::TakeDescriptor() {
    if (fds_.empty())
        return -1;
    const int fd = fds_.front();
    fds_.pop_front();
    return fd;
}

// ---- writing ------------------------------------------------------------------

SysResult WriteRecord(int fd, stack::Prim prim, std::uint8_t flags,
                      std::span<const std::uint8_t> body, Deadline deadline) {
    stack::Head head = stack::MakeHead(prim, flags, body.size());
    std::array<iovec, 2> iov{iovec{&head, sizeof head},
                             iovec{const_cast<std::uint8_t*>(body.data()), body.size()}};
    return SendAll(fd, iov, deadline);
}

// ---- the start of a stack connection ------------------------------------------

int OpenStack(stack::Prim prim, std::span<const std::uint8_t> body) {
    const std::string path = StackPath();
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (path.size() >= sizeof sun.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(sun.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::vector<std::uint8_t> first;
    stack::AppendRecord(first, stack::Prim::Hello, 0, stack::HelloBody());
    stack::AppendRecord(first, prim, 0, body);
    iovec iov{first.data(), first.size()};
    int err = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0)
        err = errno;
    else
        err = SendAll(fd, std::span(&iov, 1), std::nullopt).err;
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

std::optional<stack::Record> AwaitAnswer(int fd, Reader& in, const Aside& aside) {
    using stack::Prim;
    bool greeted = false;
    for (;;) {
        for (auto r = in.Front(); r; r = in.Front()) {
            if (r->prim == Prim::Hello && !greeted && stack::ReadHello(r->body) == stack::VERSION) {
                greeted = true;
                in.Pop();
                continue;
            }
            const auto error = r->prim == Prim::ErrorAck ? stack::ReadError(r->body) : std::nullopt;
            if (r->prim == Prim::Hello || (error && error->err == EPROTONOSUPPORT && !greeted)) {
                const auto v = stack::ReadHello(r->body);
                SetErrorDetail("the IPX stack at " + StackPath() + " speaks another version (" +
                               (v ? std::to_string(*v) : std::string(error ? error->detail : "")) +
                               "); this program speaks version " + std::to_string(stack::VERSION));
                errno = EPROTONOSUPPORT;
                return std::nullopt;
            }
            if (!aside || !aside(*r))
                return r;
            in.Pop();
        }
        const Reader::Got got = in.Read(fd, std::nullopt);
        if (got == Reader::Got::End || got == Reader::Got::Failed) {
            SetErrorDetail("the IPX stack ended");
            errno = ECONNRESET;
            return std::nullopt;
        }
    }
}

} // namespace spx::stacklink
