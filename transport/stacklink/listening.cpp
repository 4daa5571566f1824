// The callers of a listening endpoint on the stack's IPX socket. The stack
// answers connection requests itself and reports a caller (CONN_IND) once
// it has completed the set-up; t_accept asks for the connection (CONN_RES)
// and receives its descriptor, t_snddis refuses the caller (DISCON_REQ).
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <spx/tiuser.h>

#include "stacklink.h"

namespace spx::stacklink {

namespace {

// How often a listener without a stack asks for one.
constexpr auto RETRY = std::chrono::seconds(2);

} // namespace

StackListening::~StackListening() {
    if (fd_ >= 0)
        close(fd_);
}

void StackListening::Lost() {
    if (watchFd_ >= 0)
        epoll_ctl(watchFd_, EPOLL_CTL_DEL, fd_, nullptr);
    close(fd_);
    fd_ = -1;
    ready_.clear();
    in_.Reset();
    retry_ = Clock::now() + RETRY;
}

Wait StackListening::Due() const {
    if (fd_ >= 0)
        return UNTIL_SOMETHING;
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(retry_ - Clock::now()),
                    std::chrono::milliseconds(0));
}

std::optional<TliResult> StackListening::Bind() {
    const auto body =
        stack::BindBody(socket_, static_cast<std::uint16_t>(std::min(qlen_, 0xFFFFu)));
    fd_ = OpenStack(stack::Prim::BindReq, body);
    const auto bound = fd_ < 0 ? std::nullopt : AwaitBound();
    const bool done = bound && !*bound;
    if (!done && fd_ >= 0) {
        close(fd_);
        fd_ = -1;
        in_.Reset();
    }
    if (!bound) {
        ClearErrorDetail(); // no failure: TCP alone for now
        retry_ = Clock::now() + RETRY;
    }
    if (done && watchFd_ >= 0 && !WatchReadable(watchFd_, fd_))
        Lost();
    return bound;
}

bool StackListening::Serve(Wait wait) {
    if (fd_ < 0) { // no stack has the socket: ask again when it is time
        if (Clock::now() >= retry_)
            Bind();
        return true;
    }
    const Reader::Got got = in_.Read(fd_, DeadlineOf(wait));
    TakeIndications();
    if (got == Reader::Got::End || got == Reader::Got::Failed)
        Lost();
    return true;
}

bool StackListening::TakeIndication(const stack::Record& r) {
    if (r.prim != stack::Prim::ConnInd)
        return false;
    Indication i;
    i.arrived = Clock::now();
    i.stackSequence = *stack::ReadSequence(r.body);
    const auto path = *stack::ReadPath(r.body.subspan(4));
    i.call.sequence = NextSequence();
    i.call.addr = path.remote;
    i.call.options = path.remoteOptions;
    ready_.push_back(i);
    return true;
}

void StackListening::TakeIndications() {
    for (auto r = in_.Front(); r; r = in_.Front()) {
        TakeIndication(*r);
        in_.Pop(); // anything else is no caller
    }
}

std::optional<Clock::time_point> StackListening::FirstReady() const {
    if (ready_.empty())
        return std::nullopt;
    return ready_.front().arrived;
}

Call StackListening::Report() {
    reported_.push_back(ready_.front());
    ready_.pop_front();
    return reported_.back().call;
}

std::vector<StackListening::Indication>::iterator StackListening::Find(int sequence) {
    return std::ranges::find_if(reported_,
                                [&](const Indication& i) { return i.call.sequence == sequence; });
}

bool StackListening::Reported(int sequence) const {
    return std::ranges::any_of(reported_,
                               [&](const Indication& i) { return i.call.sequence == sequence; });
}

std::optional<stack::Record> StackListening::Ask(stack::Prim prim, std::uint32_t stackSequence) {
    if (fd_ < 0 || WriteRecord(fd_, prim, 0, stack::SequenceBody(stackSequence), std::nullopt)) {
        errno = ECONNRESET;
        return std::nullopt;
    }
    // Callers reported meanwhile wait their turn.
    const auto answer =
        AwaitAnswer(fd_, in_, [&](const stack::Record& r) { return TakeIndication(r); });
    if (!answer)
        Lost();
    return answer;
}

std::optional<TliResult> StackListening::AwaitBound() {
    const auto answer = AwaitAnswer(fd_, in_);
    if (!answer) // a stack that ended, or of another version: TCP alone
        return std::nullopt;
    const auto e = stack::ReadError(answer->body);
    const bool notIpx = (answer->flags & stack::FLAG_NOT_IPX) != 0;
    const bool bound = answer->prim == stack::Prim::BindAck;
    in_.Pop();
    if (bound)
        return TliResult();
    if (answer->prim != stack::Prim::ErrorAck || notIpx || !e)
        return std::nullopt; // no interface: TCP alone
    if (!e->detail.empty())
        SetErrorDetail(e->detail);
    errno = e->err;
    return TliResult(e->terr != 0 ? e->terr : TSYSERR);
}

Joined StackListening::Accept(int sequence, int fd) {
    const auto it = Find(sequence);
    if (it == reported_.end())
        return {TliResult(TBADSEQ)};
    const std::uint32_t stackSequence = it->stackSequence;
    reported_.erase(it);
    const auto answer = Ask(stack::Prim::ConnRes, stackSequence);
    if (!answer)
        return {TliResult(TSYSERR)};
    if (answer->prim != stack::Prim::ConnResAck) {
        const auto e = stack::ReadError(answer->body);
        in_.Pop();
        if (e && !e->detail.empty())
            SetErrorDetail(e->detail);
        errno = e ? e->err : EPROTO;
        return {TliResult(e && e->terr != 0 ? e->terr : TSYSERR)};
    }
    const auto path = *stack::ReadPath(answer->body);
    in_.Pop();
    const int given = in_.TakeDescriptor();
    if (given < 0) {
        errno = EPROTO;
        return {TliResult(TSYSERR)};
    }
    const int moved = dup3(given, fd, O_CLOEXEC);
    const int err = errno;
    close(given);
    if (moved < 0) {
        errno = err;
        return {TliResult(TSYSERR)};
    }
    return {{}, std::make_unique<StackLink>(fd, path)};
}

void StackListening::Refuse(int sequence) {
    const auto it = Find(sequence);
    if (it == reported_.end())
        return;
    const std::uint32_t stackSequence = it->stackSequence;
    reported_.erase(it);
    if (Ask(stack::Prim::DisconReq, stackSequence))
        in_.Pop(); // OK_ACK, or ERROR_ACK for a caller already gone: it is refused either way
}

} // namespace spx::stacklink

namespace spx {

std::unique_ptr<Listening> ListenOverStack(std::uint16_t socket, unsigned qlen, TliResult& result) {
    using namespace stacklink;
    auto l = std::make_unique<StackListening>(socket, qlen);
    result = l->Bind().value_or(TliResult());
    return result ? nullptr : std::move(l);
}

} // namespace spx
