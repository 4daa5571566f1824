// The TLI calls of the SPX provider.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <spx/tiuser.h>

#include "endpoint.h"

using namespace spx;

namespace {

constexpr std::string_view kDevice = "/dev/nspx";
// How long a look waits when nothing is pending, and a connect at most.
constexpr Wait kLookWait = std::chrono::milliseconds(10);
constexpr auto kConnectWait = std::chrono::seconds(10);

int Fail(int err) {
    t_errno = err;
    return -1;
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
    int ev = ep.in.Peek();
    if (ev == 0) {
        ep.in.Fill(ep.fd, kLookWait);
        ev = ep.in.Peek();
    }
    return ev;
}

// How long a receive may wait for the peer: the receive time-out set on the
// descriptor (SO_RCVTIMEO), or until something comes when none is set.
Wait ReceiveLimit(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0))
        return UNTIL_SOMETHING;
    return std::chrono::milliseconds(std::max<long>(1, tv.tv_sec * 1000 + tv.tv_usec / 1000));
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
    Endpoint* ep = Usable(fd);
    return ep == nullptr ? -1 : body(*ep);
}

bool InConnection(const Endpoint& ep) {
    return ep.state == T_DATAXFER || ep.state == T_OUTREL || ep.state == T_INREL ||
           (ep.state == T_OUTCON && ep.in.Ended());
}

// Gives fd a fresh, unconnected socket in place of the old one.
bool ReplaceSocket(Endpoint& ep) {
    int s = NewSocket();
    if (s < 0)
        return false;
    int r = dup3(s, ep.fd, O_CLOEXEC);
    int err = errno;
    close(s);
    errno = err;
    if (r < 0)
        return false;
    ep.connected = false;
    ep.out.Drop();
    return true;
}

bool BindPort(int fd, std::uint16_t port) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
}

bool SetBlocking(int fd, bool blocking) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return false;
    fl = blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
    return fcntl(fd, F_SETFL, fl) == 0;
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

bool Fits(const netbuf& nb, std::size_t size) { return nb.maxlen == 0 || nb.maxlen >= size; }

// A connect that went nowhere leaves a disconnect pending.
int ConnectFailed(Endpoint& ep, int reason) {
    ep.in.Reset();
    ep.in.EndStream(reason);
    ep.state = T_OUTCON;
    return Fail(TLOOK);
}

// Waits for the listener's ACCEPT or DISCON. 0 on ACCEPT (options filled),
// otherwise the disconnect reason.
int AwaitAccept(Endpoint& ep, SPX_OPTS& options) {
    std::array<unsigned char, 512> buf{};
    std::size_t have = 0;
    auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    for (;;) {
        Decoded d = DecodeFrame({buf.data(), have}, Phase::Accept);
        if (d.status == Decoded::Error)
            return SPX_DISCON_FAILED;
        if (d.status == Decoded::Frame) {
            if (d.type == FRAME_DISCON)
                return static_cast<int>(d.reason);
            options = d.options;
            ep.in.Preload({buf.data() + d.consumed, have - d.consumed});
            return 0;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || have == buf.size())
            return SPX_DISCON_FAILED;
        pollfd p{ep.fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return SPX_DISCON_FAILED;
        ssize_t n = recv(ep.fd, buf.data() + have, buf.size() - have, MSG_DONTWAIT);
        if (n == 0)
            return SPX_DISCON_FAILED;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return SPX_DISCON_FAILED;
        }
        have += static_cast<std::size_t>(n);
    }
}

} // namespace

int t_open(const char* path, int oflag, t_info* info) {
    if (path == nullptr || kDevice != path)
        return Fail(TBADNAME);
    if ((oflag & O_ACCMODE) != O_RDWR)
        return Fail(TBADFLAG);
    int fd = NewSocket();
    if (fd < 0)
        return SysFail(errno);
    AddEndpoint(fd);
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
        std::uint16_t port = 0;
        if (req != nullptr && req->addr.len != 0) {
            if (req->addr.len != sizeof(ipxAddr_t) || req->addr.buf == nullptr)
                return Fail(TBADADDR);
            ipxAddr_t want;
            std::memcpy(&want, req->addr.buf, sizeof want);
            port = GetBE16(want.sock);
        }
        if (ret != nullptr && !Fits(ret->addr, sizeof(ipxAddr_t)))
            return Fail(TBUFOVFLW);
        const unsigned int qlen = req != nullptr ? req->qlen : 0;
        if (ep.connected && !ReplaceSocket(ep))
            return SysFail(errno);
        if (!BindPort(fd, port)) {
            if (errno == EADDRINUSE)
                return Fail(TADDRBUSY);
            if (errno == EACCES)
                return Fail(TACCES);
            return SysFail(errno);
        }
        if (qlen > 0) {
            // Callers are taken from the kernel without blocking (see Listener).
            if (listen(fd, SOMAXCONN) != 0 || !SetBlocking(fd, false))
                return SysFail(errno);
            ep.listener = std::make_unique<Listener>();
        }
        ep.local = HostAddress(GetBE16(SocketAddress(fd, false).sock));
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
            return Fail(InConnection(ep) && ep.in.Ended() ? TLOOK : TOUTSTATE);
        if (!ReplaceSocket(ep))
            return SysFail(errno);
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
        if (call == nullptr || !Fits(call->addr, sizeof(ipxAddr_t)) || !Fits(call->opt, sizeof(SPX_OPTS)))
            return Fail(TBUFOVFLW);
        Listener& l = *ep.listener;
        while (l.ready.empty())
            if (!l.Serve(fd, UNTIL_SOMETHING) && l.ready.empty())
                return SysFail(EINTR); // a caught signal: the program decides
        Indication ind = l.ready.front();
        l.ready.pop_front();
        l.TakenFrom(ind.source);
        l.reported.push_back(ind);
        Give(call->addr, ind.addr);
        Give(call->opt, ind.options);
        call->udata.len = 0;
        call->sequence = ind.sequence;
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
        Listener& l = *ep.listener;
        Indication* it = l.Reported(call == nullptr ? 0 : call->sequence);
        if (it == nullptr)
            return Fail(TBADSEQ);

        // A caller that has gone already is accepted all the same: the service
        // endpoint then finds the disconnect.
        SetBlocking(it->fd, true);
        TuneConnection(it->fd);
        res->connectionId = NewConnectionId();
        HandshakeFrame accept = MakeHandshake(FRAME_ACCEPT, res->Options());
        send(it->fd, &accept, sizeof accept, MSG_NOSIGNAL);
        if (dup3(it->fd, resfd, O_CLOEXEC) < 0)
            return SysFail(errno);
        l.Forget(it);

        res->connected = true;
        res->in.Reset();
        res->out.Drop();
        res->local = SocketAddress(resfd, false);
        res->state = T_DATAXFER;
        ep.state = l.reported.empty() ? T_IDLE : T_INCON;
        return 0;
    });
}

int t_connect(int fd, t_call* sndcall, t_call* rcvcall) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_IDLE || ep.listener)
            return Fail(TOUTSTATE);
        if (sndcall == nullptr || sndcall->addr.len != sizeof(ipxAddr_t) || sndcall->addr.buf == nullptr)
            return Fail(TBADADDR);
        if (rcvcall != nullptr && (!Fits(rcvcall->addr, sizeof(ipxAddr_t)) ||
                                   !Fits(rcvcall->opt, sizeof(SPX_OPTS))))
            return Fail(TBUFOVFLW);
        ipxAddr_t to;
        std::memcpy(&to, sndcall->addr.buf, sizeof to);
        std::uint32_t ipv4 = 0;
        std::uint16_t port = 0;
        if (!ToInet(to, ipv4, port) || port == 0)
            return Fail(TBADADDR);
        if (ep.connected && (!ReplaceSocket(ep) || !BindPort(fd, 0)))
            return SysFail(errno);

        ep.connected = true;
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(ipv4);
        sin.sin_port = htons(port);
        SetBlocking(fd, false);
        int r = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        if (r != 0 && errno == EINPROGRESS && WaitWritable(fd, kConnectWait)) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            r = err == 0 ? 0 : -1;
        }
        SetBlocking(fd, true);
        if (r != 0)
            return ConnectFailed(ep, SPX_DISCON_FAILED);

        TuneConnection(fd);
        ep.in.Reset();
        ep.out.Drop();
        HandshakeFrame hello = MakeHandshake(FRAME_CONNECT, ep.Options());
        if (send(fd, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello))
            return ConnectFailed(ep, SPX_DISCON_FAILED);
        SPX_OPTS theirs{};
        if (int reason = AwaitAccept(ep, theirs))
            return ConnectFailed(ep, reason);

        ep.local = SocketAddress(fd, false);
        ep.state = T_DATAXFER;
        if (rcvcall != nullptr) {
            Give(rcvcall->addr, SocketAddress(fd, true));
            Give(rcvcall->opt, theirs);
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
            return Fail(ep.in.Ended() && InConnection(ep) ? TLOOK : TOUTSTATE);
        if (ep.in.Ended())
            return Fail(TLOOK);
        if (buf == nullptr && nbytes != 0)
            return Fail(TBADDATA);
        std::span<const unsigned char> data(static_cast<const unsigned char*>(buf), nbytes);
        int err = ep.out.QueueUnit(fd, data, (flags & T_MORE) != 0);
        if (err == 0 && (flags & T_MORE) == 0)
            err = ep.out.Flush(fd);
        if (err != 0) {
            ep.SendFailed();
            return Fail(TLOOK);
        }
        return static_cast<int>(nbytes);
    });
}

int spx_push(int fd) {
    Endpoint* ep = FindEndpoint(fd);
    if (ep == nullptr)
        return -1;
    return ep->FlushQueued() ? 0 : Fail(TLOOK);
}

int t_rcv(int fd, void* buf, unsigned int nbytes, int* flags) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.state != T_DATAXFER && ep.state != T_OUTREL)
            return Fail(TOUTSTATE);
        if (buf == nullptr && nbytes != 0)
            return Fail(TBADDATA);
        ep.FlushQueued();
        // What can be handed over now: a piece of data, TLOOK, or nothing yet.
        const auto take = [&]() -> std::optional<int> {
            const int ev = ep.in.Peek();
            if (ev == T_ORDREL || ev == T_DISCONNECT)
                return Fail(TLOOK);
            if (ev != T_DATA)
                return std::nullopt;
            const std::size_t want = std::min<std::size_t>(nbytes, ep.in.DataLeft());
            if (ep.in.DataReady() < want && !ep.in.Ended())
                return std::nullopt;
            int f = 0;
            const std::size_t n = ep.in.TakeData({static_cast<unsigned char*>(buf), nbytes}, f);
            if (flags != nullptr)
                *flags = f;
            return static_cast<int>(n);
        };
        if (const auto now = take())
            return *now;
        // Within the limit of silence: the deadline moves on with every byte,
        // so that a long unit arriving slowly is not cut.
        using Clock = std::chrono::steady_clock;
        const Wait limit = ReceiveLimit(fd);
        auto deadline = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
        for (;;) {
            Wait wait = UNTIL_SOMETHING;
            if (limit) {
                wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (wait->count() <= 0)
                    return SysFail(ETIMEDOUT);
            }
            if (ep.in.Fill(fd, wait))
                deadline = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
            if (const auto later = take())
                return *later;
        }
    });
}

int t_look(int fd) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.listener) {
            if (ep.listener->ready.empty())
                ep.listener->Serve(fd, kLookWait);
            return ep.listener->ready.empty() ? 0 : T_LISTEN;
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
            return Fail(ep.in.Ended() && InConnection(ep) ? TLOOK : TOUTSTATE);
        if (ep.in.Ended())
            return Fail(TLOOK);
        int err = ep.out.Queue(fd, FRAME_ORDREL, 0, {});
        if (err == 0)
            err = ep.out.Flush(fd);
        if (err != 0) {
            ep.SendFailed();
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
        ep.in.TakeOrdRel();
        ep.state = ep.state == T_DATAXFER ? T_INREL : T_IDLE;
        return 0;
    });
}

int t_snddis(int fd, t_call* call) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (ep.listener) {
            Listener& l = *ep.listener;
            Indication* it = l.Reported(call == nullptr ? 0 : call->sequence);
            if (it == nullptr)
                return Fail(TBADSEQ);
            DisconFrame refuse = MakeDiscon(SPX_DISCON_TERMINATED);
            send(it->fd, &refuse, sizeof refuse, MSG_NOSIGNAL | MSG_DONTWAIT);
            l.Forget(it);
            ep.state = l.reported.empty() ? T_IDLE : T_INCON;
            return 0;
        }
        if (!InConnection(ep))
            return Fail(TOUTSTATE);
        if (ep.in.Ended())
            return Fail(TLOOK);
        // Units already accepted go out first; then the disconnect ends it.
        DisconFrame bye = MakeDiscon(SPX_DISCON_TERMINATED);
        if (ep.out.Queue(fd, FRAME_DISCON, 0, std::span(bye.reason)) == 0)
            ep.out.Flush(fd);
        ep.out.Drop();
        // Unread input would turn the close into a reset; it is of no use now.
        std::array<unsigned char, 4096> sink;
        for (int i = 0; i < 64 && recv(fd, sink.data(), sink.size(), MSG_DONTWAIT) > 0; ++i) {
        }
        shutdown(fd, SHUT_RDWR);
        ep.in.Reset();
        ep.state = T_IDLE;
        return 0;
    });
}

int t_rcvdis(int fd, t_discon* discon) {
    return WithEndpoint(fd, [&](Endpoint& ep) {
        if (!InConnection(ep))
            return Fail(ep.state == T_IDLE ? TNODIS : TOUTSTATE);
        ep.FlushQueued();
        if (!ep.in.Ended())
            ep.in.Fill(fd, kLookWait);
        if (!ep.in.Ended())
            return Fail(TNODIS);
        int reason = ep.in.TakeDisconnect();
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
    RemoveEndpoint(fd);
    if (close(fd) != 0)
        return SysFail(errno);
    return 0;
}
