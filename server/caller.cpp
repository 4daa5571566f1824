#include "caller.h"

#include <unistd.h>

#include <array>
#include <cerrno>

#include <spx/tiuser.h>

#include "cause.h"
#include "connection.h"
#include "spxsupport.h"

Caller::Caller(int fd, Limit idle) : fd_(fd), idle_(idle) {
    SetIdleLimit(fd, idle);
}

int Caller::ReceiveRequest(std::span<unsigned char, SPX_MAX_DATA> record) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + idle_.value_or(*REQUEST_WAIT);
    std::array<unsigned char, SPX_MAX_DATA> dropped;
    std::size_t kept = 0;
    int n = 0;
    for (int flags = T_MORE; n >= 0 && (flags & T_MORE) != 0;) {
        // Each receive waits no longer than the time left for the whole.
        const auto left = ceil<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            t_errno = TSYSERR;
            errno = ETIMEDOUT;
            n = -1;
            break;
        }
        SetIdleLimit(fd_, left);
        const auto room = kept < record.size() ? record.subspan(kept) : std::span(dropped);
        n = t_rcv(fd_, room.data(), static_cast<unsigned>(room.size()), &flags);
        if (n >= 0 && kept < record.size())
            kept += static_cast<std::size_t>(n);
    }
    const int rcvErrno = errno, rcvTerrno = t_errno;
    SetIdleLimit(fd_, idle_);
    errno = rcvErrno;
    t_errno = rcvTerrno;
    return n < 0 ? -1 : static_cast<int>(kept);
}

pollfd Caller::Watched() const {
    return {fd_, POLLIN | POLLRDHUP, 0};
}

bool Caller::Gone(const pollfd& watched) const {
    if ((watched.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0)
        return true;
    // News that is no hang-up: the provider says whether the connection has
    // ended.
    return (watched.revents & POLLIN) != 0 && Look() == T_DISCONNECT;
}

bool Caller::Gone() const {
    pollfd p = Watched();
    return poll(&p, 1, 0) > 0 && Gone(p);
}

bool Caller::SendStatus(unsigned char status) {
    return t_snd(fd_, &status, 1, 0) >= 0;
}

bool Caller::SendUnit(std::span<const unsigned char> unit) {
    return t_snd(fd_, unit.data(), static_cast<unsigned>(unit.size()), T_MORE) >= 0;
}

bool Caller::SendEnd(unsigned char endByte) {
    return t_snd(fd_, &endByte, 1, 0) >= 0;
}

bool Caller::Push() {
    return spx_push(fd_) >= 0;
}

int Caller::Await() {
    return AwaitEvent(fd_, idle_);
}

bool Caller::DropData() {
    std::array<unsigned char, 4096> dropped;
    int flags = 0;
    return t_rcv(fd_, dropped.data(), dropped.size(), &flags) >= 0 || t_errno == TLOOK;
}

int Caller::AwaitDroppingData() {
    int event = Await();
    for (; event == T_DATA; event = Await())
        if (!DropData())
            return -1;
    return event;
}

int Caller::Look() const {
    return t_look(fd_);
}

ServiceEnd Caller::Close(const Closing& rule) {
    if (rule.ourRelease != nullptr && t_sndrel(fd_) < 0)
        Failed(rule.stream, rule.ourRelease);
    if (rule.theirRelease == nullptr)
        return ServiceEnd::Exit;
    const int event = rule.dropData ? AwaitDroppingData() : Await();
    if (t_rcvrel(fd_) < 0) {
        Failed(rule.stream, rule.theirRelease);
        if (rule.strict || event == 0)
            return ServiceEnd::Abort;
    }
    while (rule.theirDisconnect != nullptr && t_rcvdis(fd_, nullptr) < 0) {
        // Nothing there yet: wait for it, as long as the idle limit allows.
        if (t_errno != TNODIS || Await() != T_DISCONNECT) {
            Failed(rule.stream, rule.theirDisconnect);
            return ServiceEnd::Abort;
        }
    }
    return ServiceEnd::Exit;
}

bool Caller::Failed(std::FILE* stream, const char* line) {
    Failure f = NoteFailure(fd_, FailedStep::Exchange);
    if (f.terrno == TSYSERR && f.err == ETIMEDOUT && !idle_) { // only the request's wait is bounded
        f.waited = *REQUEST_WAIT;
        f.limit = "request's time limit";
    }
    Report(stream, "%s", line);
    SpxError(fd_); // takes a disconnect, and keeps its reason
    f.reason = lastDisconnectReason;
    ReportCause(f);
    return false;
}

void Caller::End(ServiceEnd how) {
    if (how == ServiceEnd::Abort) {
        // Fixed text, without the prefix: callers and their tests look for it.
        std::fputs("in abort\n", stderr);
        // A connection whose disconnect was taken already has nothing to end:
        // its t_snddis would fail and report a failure that is none.
        if (t_getstate(fd_) != T_IDLE && t_snddis(fd_, nullptr) < 0)
            Failed(stdout, "abortive t_snddis failed \n\t");
    }
    Push();
    // The child is the connection's last holder: its close ends it for the
    // caller (236) on every carrier, where _exit alone ends only a TCP one.
    t_close(fd_);
    std::fflush(nullptr);
    _exit(0);
}
