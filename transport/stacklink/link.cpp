// An IPX endpoint's connection through the stack: the call (CONN_REQ), the
// units both ways (DATA_REQ written with the program's own buffer, DATA_IND
// read in large reads and handed out piece by piece), the releases and the
// disconnects. The stack runs the SPX connection whatever the program does;
// the library only says what the program asks.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "stacklink.h"

namespace spx::stacklink {

namespace {

// A stack connection's read-ahead: several of the largest data records.
constexpr std::size_t READ_AHEAD = 4 * stack::MAX_RECORD;

constexpr std::string_view STACK_ENDED = "the IPX stack ended";

} // namespace

StackLink::StackLink(int fd, const stack::Path& path) : fd_(fd), path_(path), in_(READ_AHEAD) {}

StackLink::Answer StackLink::AwaitCall() {
    const auto r = AwaitAnswer(fd_, in_);
    if (!r)
        return {stack::Prim::ErrorAck, TliResult(TSYSERR), false};
    if (r->prim == stack::Prim::ConnCon) {
        path_ = *stack::ReadPath(r->body);
        in_.Pop();
        return {r->prim, {}, false};
    }
    if (r->prim == stack::Prim::DisconInd) { // stays, for t_rcvdis
        const auto d = stack::ReadDiscon(r->body);
        detail_.assign(d ? d->detail : "");
        return {r->prim, TliResult(TLOOK), false};
    }
    const auto e = r->prim == stack::Prim::ErrorAck ? stack::ReadError(r->body) : std::nullopt;
    if (!e) {
        SetErrorDetail("the IPX stack answered out of turn");
        errno = EPROTO;
        return {stack::Prim::ErrorAck, TliResult(TSYSERR), false};
    }
    if (!e->detail.empty())
        SetErrorDetail(e->detail);
    errno = e->err;
    return {stack::Prim::ErrorAck, TliResult(e->terr != 0 ? e->terr : TSYSERR),
            (r->flags & stack::FLAG_NOT_IPX) != 0};
}

// ---- receiving ------------------------------------------------------------------

void StackLink::Ends(int reason, std::string_view detail) {
    if (!lost_ && !in_.DisconnectCame()) {
        lost_ = reason;
        detail_.assign(detail);
    }
}

bool StackLink::Take(Deadline deadline) {
    switch (in_.Read(fd_, deadline)) {
    case Reader::Got::Bytes:
        return true;
    case Reader::Got::Nothing:
        return false;
    case Reader::Got::End:
        // After both releases the stack ends the connection quietly.
        if (!(sentRel_ && in_.ReleaseCame()))
            Ends(SPX_DISCON_FAILED, STACK_ENDED);
        return !lost_ || in_.Front().has_value();
    case Reader::Got::Failed:
        Ends(SPX_DISCON_FAILED, STACK_ENDED);
        return true;
    }
    return false;
}

int StackLink::Peek() {
    for (auto r = in_.Front(); r; r = in_.Front()) {
        switch (r->prim) {
        case stack::Prim::DataInd:
            return T_DATA;
        case stack::Prim::OrdrelInd:
            return T_ORDREL;
        case stack::Prim::DisconInd:
            return T_DISCONNECT;
        default:
            in_.Pop(); // nothing the program asked about
        }
    }
    return lost_ ? T_DISCONNECT : 0;
}

std::size_t StackLink::DataReady() const {
    const auto r = in_.Front();
    return r && r->prim == stack::Prim::DataInd ? r->body.size() - in_.taken : 0;
}

std::size_t StackLink::TakeData(std::span<unsigned char> out, int& flags) {
    const auto r = in_.Front();
    const auto rest = r->body.subspan(in_.taken);
    const std::size_t n = std::min(out.size(), rest.size());
    std::copy_n(rest.begin(), n, out.begin());
    in_.taken += n;
    flags = T_MORE;
    if (in_.taken == r->body.size()) {
        flags = (r->flags & stack::FLAG_MORE) != 0 ? T_MORE : 0;
        in_.Pop();
    }
    return n;
}

void StackLink::TakeOrdRel() {
    in_.Pop();
}

int StackLink::TakeDisconnect() {
    for (auto r = in_.Front(); r; r = in_.Front()) {
        if (r->prim == stack::Prim::DisconInd) {
            const auto d = stack::ReadDiscon(r->body);
            const int reason = d ? d->reason : SPX_DISCON_FAILED;
            detail_.assign(d ? d->detail : "");
            in_.Pop();
            return reason;
        }
        in_.Pop();
    }
    return lost_.value_or(SPX_DISCON_FAILED);
}

bool StackLink::Ended() const {
    return lost_.has_value() || in_.DisconnectCame();
}

bool StackLink::Fill(Wait wait) {
    return Take(DeadlineOf(wait));
}

// ---- sending --------------------------------------------------------------------

SysResult StackLink::QueueUnit(std::span<const unsigned char> data, bool more) {
    const std::size_t size = sizeof(stack::Head) + data.size();
    if (size <= GATHER / 16) { // a small unit is copied: a write of its own costs more
        if (gathered_ + size > GATHER)
            if (const SysResult err = Flush())
                return err;
        if (!gather_)
            gather_ = std::make_unique_for_overwrite<std::uint8_t[]>(GATHER);
        const stack::Head head =
            stack::MakeHead(stack::Prim::DataReq, more ? stack::FLAG_MORE : 0, data.size());
        std::memcpy(gather_.get() + gathered_, &head, sizeof head);
        std::copy(data.begin(), data.end(), gather_.get() + gathered_ + sizeof head);
        gathered_ += size;
        return {};
    }
    if (const SysResult err = Flush())
        return err;
    do {
        const std::size_t n = std::min(data.size(), stack::MAX_DATA);
        const bool last = n == data.size();
        stack::Head head =
            stack::MakeHead(stack::Prim::DataReq, !last || more ? stack::FLAG_MORE : 0, n);
        std::array<iovec, 2> iov{iovec{&head, sizeof head},
                                 iovec{const_cast<unsigned char*>(data.data()), n}};
        if (const SysResult err = SendAll(fd_, iov, std::nullopt, &sending_))
            return err;
        data = data.subspan(n);
    } while (!data.empty());
    return {};
}

SysResult StackLink::Flush() {
    if (gathered_ == 0)
        return {};
    iovec iov{gather_.get(), gathered_};
    gathered_ = 0;
    return SendAll(fd_, std::span(&iov, 1), std::nullopt, &sending_);
}

SysResult StackLink::SendOrdRel() {
    if (const SysResult err = Flush())
        return err;
    const SysResult err = WriteRecord(fd_, stack::Prim::OrdrelReq, 0, {}, DeadlineOf(limit_));
    sentRel_ = !err;
    return err;
}

void StackLink::Disconnect() {
    if (Flush()) // units already accepted go out first
        return;
    static_cast<void>(
        WriteRecord(fd_, stack::Prim::DisconReq, 0, stack::SequenceBody(0), DeadlineOf(limit_)));
}

void StackLink::Broke() {
    gathered_ = 0;
    // A record cut short leaves nothing to say on this connection: it ends.
    Take(Clock::now());
    shutdown(fd_, SHUT_RDWR);
    Ends(SPX_DISCON_FAILED, "");
}

void StackLink::Path(spx_path& path) const {
    path = spx_path{};
    path.carrier = SPX_CARRIER_IPX;
    std::memcpy(path.interface, path_.interface, sizeof path.interface);
    path.interface[sizeof path.interface - 1] = '\0';
    path.local = path_.local;
    path.peer = path_.remote;
    path.connected = 1;
}

} // namespace spx::stacklink

namespace spx {


using namespace stacklink;

Joined CallOverStack(int fd, const ipxAddr_t& to) {
    Joined call;
    const int s = OpenStack(stack::Prim::ConnReq, stack::ConnReqBody(to, 0));
    if (s < 0) {
        const int err = errno;
        call.result = TliResult(TSYSERR);
        call.notIpx = err == ENOENT || err == ECONNREFUSED;
        SetErrorDetail(call.notIpx
                           ? "the IPX stack is not running (looked for at " + StackPath() + ")"
                           : "the IPX stack at " + StackPath() + ": " + std::strerror(err));
        errno = err;
        return call;
    }
    auto link = std::make_unique<StackLink>(s, stack::Path{});
    const auto answer = link->AwaitCall();
    if (answer.prim == stack::Prim::ConnCon || answer.prim == stack::Prim::DisconInd) {
        if (dup3(s, fd, O_CLOEXEC) < 0) {
            call.result = TliResult(TSYSERR);
            close(s);
            return call;
        }
        close(s);
        link->MoveTo(fd);
        call.result = answer.result;
        call.peer = link->GetPath().remote;
        call.theirs = link->GetPath().remoteOptions;
        if (call.result.terr == TLOOK)
            SetErrorDetail(link->Detail());
        call.connection = std::move(link);
        return call;
    }
    close(s);
    call.result = answer.result;
    call.notIpx = answer.notIpx;
    if (answer.notIpx) {
        std::array<char, 80> text;
        std::snprintf(text.data(), text.size(),
                      "network %08X is on no IPX interface and is not a TCP address",
                      GetBE32(to.net));
        SetErrorDetail(text.data());
    }
    return call;
}

} // namespace spx
