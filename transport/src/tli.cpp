// The TLI calls of the SPX provider.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "endpoint.h"

using namespace spx;

namespace {

constexpr std::string_view kDevice = "/dev/nspx";
// How long a look waits when nothing is pending.
constexpr Wait kLookWait = std::chrono::milliseconds(10);

int Fail(int err) {
    t_errno = err;
    return -1;
}

int Fail(TliResult result) {
    return Fail(result.terr);
}

int SysFail(int err) {
    errno = err;
    t_errno = TSYSERR;
    return -1;
}

// The next event of a connected endpoint, after its queued units have gone
// out, waiting a little for one when none is there.
int NextEvent(Endpoint& ep) {
    ep.FlushQueued();
    Connection& c = *ep.connection;
    int ev = c.Peek();
    if (ev == 0) {
        c.Fill(kLookWait);
        ev = c.Peek();
    }
    return ev;
}

// The endpoint of fd, as long as the TLI calls may use it ("timod" on top).
Endpoint* Usable(int fd) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep != nullptr && !ep->modules.TliUsable()) {
        t_errno = TBADF;
        return nullptr;
    }
    return ep;
}

// Runs body on the endpoint of fd when the TLI calls may use it; -1 (TBADF)
// otherwise.
template <typename Body> int WithEndpoint(int fd, Body body) {
    ClearErrorDetail();
    Endpoint* ep = Usable(fd);
    if (ep == nullptr)
        return -1;
    const int result = body(*ep);
    // A call that fails for a pending disconnect says what the carrier knows
    // of it (the IPX stack's word: "the IPX stack ended", ...).
    if (result < 0 && t_errno == TLOOK && ep->Ended() && !ep->connection->Detail().empty())
        SetErrorDetail(ep->connection->Detail());
    return result;
}

bool InConnection(const Endpoint& ep) {
    return ep.state == T_DATAXFER || ep.state == T_OUTREL || ep.state == T_INREL ||
           (ep.state == T_OUTCON && ep.Ended());
}

// Copies a record into a netbuf the caller described; false when it does not fit.
template <typename T> bool Give(netbuf& nb, const T& value) {
    if (nb.maxlen == 0)
        return true;
    if (nb.maxlen < sizeof(T) || nb.buf == nullptr)
        return false;
    std::memcpy(nb.buf, &value, sizeof(T));
    nb.len = sizeof(T);
    return true;
}

bool Fits(const netbuf& nb, std::size_t size) {
    return nb.maxlen == 0 || nb.maxlen >= size;
}

// The callers of a listening endpoint bound to socket: on TCP, and on the
// stack's IPX interfaces too whenever a stack runs and has any. Null with
// t_errno set.
std::unique_ptr<Listening> Listen(Endpoint& ep, unsigned qlen) {
    auto tcp = ep.binding->Listen();
    TliResult result;
    auto ipx = ListenOverStack(GetBE16(ep.local.sock), qlen, result);
    std::unique_ptr<Listening> both;
    if (ipx != nullptr)
        both = ListenOnBoth(ep.fd, std::move(tcp), std::move(ipx), result);
    if (both == nullptr)
        Fail(result);
    return both;
}

// Whether to can be reached over TCP: its node is 00 00 and an IPv4 address.
bool TcpAddress(const ipxAddr_t& to) {
    return to.node[0] == 0 && to.node[1] == 0;
}

// Calls to over the stack when its network is not 00000000: the call
// settled (connected, or the t_errno of its failure); none when the call
// goes over TCP.
std::optional<Joined> CallOverIpx(Endpoint& ep, const ipxAddr_t& to) {
    if (GetBE32(to.net) == 0)
        return std::nullopt;
    Joined call = CallOverStack(ep.fd, to);
    if (call.notIpx && TcpAddress(to)) {
        ClearErrorDetail();
        return std::nullopt;
    }
    if (call.notIpx)
        call.result = TliResult(TBADADDR);
    return call;
}

} // namespace

int t_open(const char* path, int oflag, t_info* info) {
    if (path == nullptr || kDevice != path)
        return Fail(TBADNAME);
    if ((oflag & O_ACCMODE) != O_RDWR)
        return Fail(TBADFLAG);
    ClearErrorDetail();
    std::unique_ptr<Binding> binding;
    const int fd = NewTcpEndpoint(binding);
    if (fd < 0)
        return SysFail(errno);
    AddEndpoint(fd, std::move(binding));
    if (info != nullptr) {
        info->addr = sizeof(ipxAddr_t);
        info->options = sizeof(SPX_OPTS);
        info->tsdu = -1;
        info->etsdu = -2;
        info->connect = -2;
        info->discon = -2;
        info->servtype = T_COTS_ORD;
    }
    return fd;
}

int t_bind(int fd, struct t_bind* req, struct t_bind* ret) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_UNBND)
            return Fail(TOUTSTATE);
        std::uint16_t socket = 0;
        if (req != nullptr && req->addr.len != 0) {
            if (req->addr.len != sizeof(ipxAddr_t) || req->addr.buf == nullptr)
                return Fail(TBADADDR);
            ipxAddr_t want;
            std::memcpy(&want, req->addr.buf, sizeof want);
            socket = GetBE16(want.sock);
        }
        if (ret != nullptr && !Fits(ret->addr, sizeof(ipxAddr_t)))
            return Fail(TBUFOVFLW);
        const unsigned int qlen = req != nullptr ? req->qlen : 0;
        if (const TliResult bound = ep.binding->Bind(socket, qlen > 0, ep.local))
            return Fail(bound);
        if (qlen > 0 && (ep.listener = Listen(ep, qlen)) == nullptr)
            return -1;
        if (ret != nullptr) {
            Give(ret->addr, ep.local);
            ret->qlen = qlen;
        }
        ep.state = T_IDLE;
        return 0;
    });
}

int t_unbind(int fd) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_IDLE)
            return Fail(InConnection(ep) && ep.Ended() ? TLOOK : TOUTSTATE);
        if (const TliResult unbound = ep.binding->Unbind())
            return Fail(unbound);
        ep.connection.reset();
        ep.listener.reset();
        ep.state = T_UNBND;
        return 0;
    });
}

int t_listen(int fd, t_call* call) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (!ep.listener)
            return Fail(TBADQLEN);
        if (ep.state != T_IDLE && ep.state != T_INCON)
            return Fail(TOUTSTATE);
        if (call == nullptr || !Fits(call->addr, sizeof(ipxAddr_t)) ||
            !Fits(call->opt, sizeof(SPX_OPTS)))
            return Fail(TBUFOVFLW);
        Listening& l = *ep.listener;
        while (!l.FirstReady())
            if (!l.Serve(UNTIL_SOMETHING) && !l.FirstReady())
                return SysFail(EINTR); // a caught signal: the program decides
        const Call c = l.Report();
        Give(call->addr, c.addr);
        Give(call->opt, c.options);
        call->udata.len = 0;
        call->sequence = c.sequence;
        ep.state = T_INCON;
        return 0;
    });
}

int t_accept(int fd, int resfd, t_call* call) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (!ep.listener || ep.state != T_INCON)
            return Fail(TOUTSTATE);
        if (resfd == fd)
            return Fail(TNOTSUPPORT);
        Endpoint* res = Usable(resfd);
        if (res == nullptr)
            return -1;
        if (res->state != T_IDLE || res->listener)
            return Fail(TOUTSTATE);
        Listening& l = *ep.listener;
        const int sequence = call == nullptr ? 0 : call->sequence;
        if (!l.Reported(sequence))
            return Fail(TBADSEQ);
        Joined accepted = l.Accept(sequence, res->fd);
        if (accepted.result)
            return Fail(accepted.result);
        res->Take(std::move(accepted.connection));
        res->local = res->connection->Local();
        res->state = T_DATAXFER;
        ep.state = l.Outstanding() ? T_INCON : T_IDLE;
        return 0;
    });
}

int t_connect(int fd, t_call* sndcall, t_call* rcvcall) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_IDLE || ep.listener)
            return Fail(TOUTSTATE);
        if (sndcall == nullptr || sndcall->addr.len != sizeof(ipxAddr_t) ||
            sndcall->addr.buf == nullptr)
            return Fail(TBADADDR);
        if (rcvcall != nullptr &&
            (!Fits(rcvcall->addr, sizeof(ipxAddr_t)) || !Fits(rcvcall->opt, sizeof(SPX_OPTS))))
            return Fail(TBUFOVFLW);
        ipxAddr_t to;
        std::memcpy(&to, sndcall->addr.buf, sizeof to);
        std::optional<Joined> ipx = CallOverIpx(ep, to);
        Joined call = ipx ? std::move(*ipx) : ep.binding->Connect(to);
        if (call.connection != nullptr)
            ep.Take(std::move(call.connection));
        if (call.result) {
            if (call.result.terr == TLOOK) // a disconnect is pending
                ep.state = T_OUTCON;
            return Fail(call.result);
        }
        ep.local = ep.connection->Local();
        ep.state = T_DATAXFER;
        if (rcvcall != nullptr) {
            Give(rcvcall->addr, call.peer);
            Give(rcvcall->opt, call.theirs);
            rcvcall->udata.len = 0;
        }
        return 0;
    });
}

int t_getstate(int fd) {
    Endpoint* ep = Usable(fd);
    return ep == nullptr ? -1 : ep->state;
}

int t_snd(int fd, const void* buf, unsigned int nbytes, int flags) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if ((flags & ~T_MORE) != 0)
            return Fail(TBADFLAG);
        if (ep.state != T_DATAXFER && ep.state != T_INREL)
            return Fail(ep.Ended() && InConnection(ep) ? TLOOK : TOUTSTATE);
        if (ep.Ended())
            return Fail(TLOOK);
        if (buf == nullptr && nbytes != 0)
            return Fail(TBADDATA);
        Connection& c = *ep.connection;
        std::span<const unsigned char> data(static_cast<const unsigned char*>(buf), nbytes);
        SysResult sent = c.QueueUnit(data, (flags & T_MORE) != 0);
        if (!sent && (flags & T_MORE) == 0)
            sent = c.Flush();
        if (sent) {
            c.Broke();
            return Fail(TLOOK);
        }
        return static_cast<int>(nbytes);
    });
}

int spx_push(int fd) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep == nullptr)
        return -1;
    if (!ep->FlushQueued())
        return Fail(TLOOK);
    return 0;
}

int spx_setlimit(int fd, long ms) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep == nullptr)
        return -1;
    if (ms < 0) {
        errno = EINVAL;
        return Fail(TSYSERR);
    }
    ep->limit = ms == 0 ? UNTIL_SOMETHING : Wait(std::chrono::milliseconds(ms));
    if (ep->connection)
        ep->connection->SetLimit(ep->limit);
    return 0;
}

int spx_getpath(int fd, unsigned int index, spx_path* path) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep == nullptr)
        return -1;
    if (path == nullptr)
        return Fail(TBADDATA);
    if (index == 0) {
        if (ep->connection)
            ep->connection->Path(*path);
        else
            ep->binding->Path(*path);
        if (ep->listener) { // on TCP every IPv4 address of the host, at the bound port
            path->localInet = 0;
            path->localPort = GetBE16(ep->local.sock);
        }
        return 0;
    }
    // A listener's IPX side: its socket on every interface of the host's stack.
    if (index != 1 || !ep->listener || !ep->listener->OnIpx())
        return Fail(TNOADDR);
    *path = spx_path{};
    path->carrier = SPX_CARRIER_IPX;
    std::memcpy(path->local.sock, ep->local.sock, sizeof path->local.sock);
    return 0;
}

long spx_getlimit(int fd) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep == nullptr)
        return -1;
    return ep->limit ? static_cast<long>(ep->limit->count()) : 0;
}

int t_rcv(int fd, void* buf, unsigned int nbytes, int* flags) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_DATAXFER && ep.state != T_OUTREL)
            return Fail(TOUTSTATE);
        if (buf == nullptr && nbytes != 0)
            return Fail(TBADDATA);
        ep.FlushQueued();
        Connection& c = *ep.connection;
        // What can be handed over now: a piece of data, TLOOK, or nothing yet.
        const auto take = [&]() -> std::optional<int> {
            const int ev = c.Peek();
            if (ev == T_ORDREL || ev == T_DISCONNECT)
                return Fail(TLOOK);
            if (ev != T_DATA)
                return std::nullopt;
            const std::size_t want = std::min<std::size_t>(nbytes, c.DataLeft());
            if (c.DataReady() < want && !c.Ended())
                return std::nullopt;
            int f = 0;
            const std::size_t n = c.TakeData({static_cast<unsigned char*>(buf), nbytes}, f);
            if (flags != nullptr)
                *flags = f;
            return static_cast<int>(n);
        };
        if (const auto now = take())
            return *now;
        // Within the limit of silence: the deadline moves on with every byte,
        // so that a long unit arriving slowly is not cut.
        using Clock = std::chrono::steady_clock;
        const Wait limit = ep.limit;
        auto deadline = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
        for (;;) {
            Wait wait = UNTIL_SOMETHING;
            if (limit) {
                wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (wait->count() <= 0)
                    return SysFail(ETIMEDOUT);
            }
            if (c.Fill(wait))
                deadline = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
            if (const auto later = take())
                return *later;
        }
    });
}

int t_look(int fd) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.listener) {
            if (!ep.listener->FirstReady())
                ep.listener->Serve(kLookWait);
            return ep.listener->FirstReady() ? T_LISTEN : 0;
        }
        if (!InConnection(ep)) {
            // Nothing can happen here; the pause keeps a polling loop cheap.
            poll(nullptr, 0, PollTimeout(kLookWait));
            return 0;
        }
        return NextEvent(ep);
    });
}

int t_sndrel(int fd) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_DATAXFER && ep.state != T_INREL)
            return Fail(ep.Ended() && InConnection(ep) ? TLOOK : TOUTSTATE);
        if (ep.Ended())
            return Fail(TLOOK);
        if (ep.connection->SendOrdRel()) {
            ep.connection->Broke();
            return Fail(TLOOK);
        }
        ep.state = ep.state == T_DATAXFER ? T_OUTREL : T_IDLE;
        return 0;
    });
}

int t_rcvrel(int fd) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_DATAXFER && ep.state != T_OUTREL)
            return Fail(TOUTSTATE);
        const int ev = NextEvent(ep);
        if (ev == 0)
            return Fail(TNOREL);
        if (ev != T_ORDREL)
            return Fail(TLOOK);
        ep.connection->TakeOrdRel();
        ep.state = ep.state == T_DATAXFER ? T_INREL : T_IDLE;
        return 0;
    });
}

int t_snddis(int fd, t_call* call) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.listener) {
            Listening& l = *ep.listener;
            const int sequence = call == nullptr ? 0 : call->sequence;
            if (!l.Reported(sequence))
                return Fail(TBADSEQ);
            l.Refuse(sequence);
            ep.state = l.Outstanding() ? T_INCON : T_IDLE;
            return 0;
        }
        if (!InConnection(ep))
            return Fail(TOUTSTATE);
        if (ep.Ended())
            return Fail(TLOOK);
        ep.connection->Disconnect();
        ep.state = T_IDLE;
        return 0;
    });
}

int t_rcvdis(int fd, t_discon* discon) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (!InConnection(ep))
            return Fail(ep.state == T_IDLE ? TNODIS : TOUTSTATE);
        ep.FlushQueued();
        Connection& c = *ep.connection;
        if (!c.Ended())
            c.Fill(kLookWait);
        if (!c.Ended())
            return Fail(TNODIS);
        int reason = c.TakeDisconnect();
        if (discon != nullptr) {
            discon->reason = reason;
            discon->sequence = 0;
            discon->udata.len = 0;
        }
        ep.state = T_IDLE;
        return 0;
    });
}

int t_close(int fd) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep == nullptr)
        return -1;
    ep->FlushQueued();
    if (ep->connection)
        ep->connection->Release();
    RemoveEndpoint(fd);
    if (close(fd) != 0)
        return SysFail(errno);
    return 0;
}
