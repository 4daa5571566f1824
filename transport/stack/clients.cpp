// The stack's clients: one Unix-domain connection per IPX endpoint, its
// records in and out, each write non-blocking with what is left kept.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <spx/tiuser.h>

#include "stack.h"

namespace spx::stack {

namespace {

constexpr std::size_t MAX_CLIENTS = 4096;
constexpr int MAX_READS = 4; // per client and wake-up: the others' turn

std::uint64_t ClientTag(int fd) {
    return (std::uint64_t{2} << 32) | static_cast<std::uint32_t>(fd);
}

std::string Hex(std::uint32_t v, int digits) {
    char b[16];
    std::snprintf(b, sizeof b, "%0*X", digits, v);
    return b;
}

} // namespace

Client* Stack::ClientOf(int fd) {
    const auto it = clients_.find(fd);
    return it == clients_.end() || it->second->doomed ? nullptr : it->second.get();
}

void Stack::AcceptClients() {
    for (int i = 0; i < 64; ++i) {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (clients_.size() >= MAX_CLIENTS) {
            close(fd);
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = ClientTag(fd);
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        auto c = std::make_unique<Client>(fd);
        c->watching = EPOLLIN;
        clients_[fd] = std::move(c);
    }
}

void Stack::ServeClient(int fd, std::uint32_t events, Time now) {
    Client* c = ClientOf(fd);
    if (c == nullptr)
        return;
    if (events & EPOLLOUT) {
        WriteClient(*c);
        if (Conn* conn = Find(c->conn); conn && conn->client == fd)
            Touch(*conn); // room for what arrived meanwhile
    }
    if (!c->doomed && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        if (!c->blocked)
            ReadClient(*c, now);
        else if (events & (EPOLLHUP | EPOLLERR))
            c->hup = true; // what it sent waits for room, then is read to its end
    }
    Watch(*c);
}

void Stack::Watch(Client& c) {
    if (c.doomed || !c.registered)
        return;
    if (c.hup) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
        c.registered = false;
        return;
    }
    const std::uint32_t want = (!c.blocked && !c.endAfterFlush ? EPOLLIN : 0u) |
                               (c.out.Size() > 0 && !c.deaf ? EPOLLOUT : 0u);
    if (want == c.watching)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = ClientTag(c.fd);
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.watching = want;
}

void Stack::ReadClient(Client& c, Time now) {
    if (!HandleRecords(c, now))
        return;
    // After a hang-up nothing wakes the stack for the rest: it is read now.
    for (int i = 0; (c.hup || i < MAX_READS) && !c.blocked && !c.eof && !c.endAfterFlush; ++i) {
        const auto room = c.in.Room(MAX_RECORD);
        if (room.empty())
            break;
        const ssize_t n = read(c.fd, room.data(), room.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            c.eof = true;
            break;
        }
        c.in.Grow(static_cast<std::size_t>(n));
        if (!HandleRecords(c, now))
            return;
    }
    if (c.eof && !c.blocked)
        ClientGone(c);
}

// The records in c's input, as far as they can go now; false once c is doomed.
bool Stack::HandleRecords(Client& c, Time now) {
    while (!c.doomed && !c.endAfterFlush) {
        const Decoded d = DecodeRecord(c.in.Data());
        if (d.used == SIZE_MAX) {
            if (options_.verbose)
                std::fprintf(stderr, "nspxd: a client sent a record of no known kind\n");
            c.in.Clear();
            c.eof = true;
            c.blocked = false;
            break;
        }
        if (!d.record) {
            if (Conn* conn = Find(c.conn); conn != nullptr && c.kind == Client::Kind::Endpoint) {
                conn->s.Push(); // what the program sent goes, packets not yet full too
                Touch(*conn);
            }
            break;
        }
        if (!HandleRecord(c, *d.record, now))
            break;
        if (c.blocked)
            return true;
        // The record may have run the connection to its end, whose indication
        // cleared what the program sent: nothing is left to consume.
        if (c.endAfterFlush)
            break;
        c.in.Consume(d.used);
        c.partial = 0;
    }
    return !c.doomed;
}

// One record; false when the client is doomed or the record waits.
bool Stack::HandleRecord(Client& c, const Record& r, Time now) {
    using K = Client::Kind;
    if (c.kind == K::Fresh) {
        if (r.prim != Prim::Hello) {
            Doom(c);
            return false;
        }
        Hello(c, r);
        return true;
    }
    if (r.prim == Prim::InfoReq) {
        Info(c);
        return true;
    }
    if (c.kind == K::Endpoint && r.prim == Prim::DataReq)
        return HandleData(c, r, now);
    Conn* conn = Find(c.conn);
    switch (r.prim) {
    case Prim::BindReq:
        if (c.kind == K::Idle)
            return Bind(c, r), true;
        break;
    case Prim::ConnReq:
        if (c.kind == K::Idle)
            return Connect(c, r, now), true;
        break;
    case Prim::ConnRes:
        if (c.kind == K::Listener)
            return AcceptCall(c, r, now), true;
        break;
    case Prim::DisconReq:
        if (c.kind == K::Listener)
            return Refuse(c, r, now), true;
        if ((c.kind == K::Endpoint || c.kind == K::Calling) && conn != nullptr) {
            c.in.Clear();
            c.out.Clear();
            Doom(c); // the connection ends with an informed disconnect as it closes
            return false;
        }
        break;
    case Prim::OrdrelReq:
        if (c.kind == K::Endpoint && conn != nullptr) {
            conn->s.Release(now);
            c.relOut = true;
            c.endAfterFlush = c.relIn;
            Touch(*conn);
            return true;
        }
        break;
    default:
        break;
    }
    SendError(c, TOUTSTATE, 0, "not in this state");
    return true;
}

// A data record, as far as the connection has room for it.
bool Stack::HandleData(Client& c, const Record& r, Time now) {
    Conn* conn = Find(c.conn);
    if (conn == nullptr || !conn->s.Established() || conn->s.Ended()) {
        c.blocked = false;
        return true; // the disconnect indication tells why
    }
    const auto rest = r.body.subspan(c.partial);
    if (conn->s.SendRoom() == 0) {
        c.blocked = true;
        return false;
    }
    c.partial += conn->s.Send(rest, (r.flags & FLAG_MORE) != 0, now);
    c.blocked = c.partial < r.body.size();
    Touch(*conn);
    return !c.blocked;
}

void Stack::Hello(Client& c, const Record& r) {
    const auto version = ReadHello(r.body);
    if (!version) {
        Doom(c);
        return;
    }
    if (*version != VERSION) {
        SendError(c, TSYSERR, EPROTONOSUPPORT,
                  "the IPX stack speaks version " + std::to_string(VERSION) +
                      " of its interface, not " + std::to_string(*version));
        c.endAfterFlush = true;
        return;
    }
    Send(c, Prim::Hello, 0, HelloBody());
    c.kind = Client::Kind::Idle;
}

void Stack::Bind(Client& c, const Record& r) {
    std::uint16_t socket = GetBE16(r.body.first<2>());
    const std::uint16_t qlen = std::max<std::uint16_t>(GetBE16(r.body.subspan<2, 2>()), 1);
    if (ifaces_.empty())
        return SendError(c, TNOADDR, 0, "the IPX stack has no interfaces", FLAG_NOT_IPX);
    const auto dynamic = socket == 0 ? sockets_.BindDynamic(RandomU16(), Clock::now())
                                     : std::optional<std::uint16_t>{};
    if (socket == 0 && !dynamic)
        return SendError(c, TNOADDR, EADDRNOTAVAIL, "no dynamic IPX socket is free");
    if (socket != 0 && !sockets_.Bind(socket))
        return SendError(c, TADDRBUSY, EADDRINUSE, "IPX socket " + Hex(socket, 4) + " is in use");
    socket = dynamic.value_or(socket);
    Listener& l = listeners_[socket];
    l.client = c.fd;
    l.socket = socket;
    l.qlen = qlen;
    c.kind = Client::Kind::Listener;
    c.socket = socket;
    Send(c, Prim::BindAck, 0, BindBody(socket, 0));
    if (options_.verbose)
        std::fprintf(stderr, "nspxd: listening on socket %04X\n", socket);
}

void Stack::Connect(Client& c, const Record& r, Time now) {
    ipxAddr_t to{};
    std::memcpy(&to, r.body.data(), sizeof to);
    std::uint16_t socket = GetBE16(r.body.subspan<12, 2>());
    const auto it = std::find_if(ifaces_.begin(), ifaces_.end(),
                                 [&](const Iface& i) { return i.conf.network == ipx::NetOf(to); });
    if (it == ifaces_.end())
        return SendError(c, TBADADDR, 0,
                         "network " + Hex(ipx::NetOf(to), 8) + " is on no IPX interface",
                         FLAG_NOT_IPX);
    if (ipx::SockOf(to) == 0)
        return SendError(c, TBADADDR, 0, "the address names no socket");
    if (!LinkUp(*it))
        return SendError(c, TSYSERR, ENETDOWN, it->conf.interface + " is down");
    const auto dynamic =
        socket == 0 ? sockets_.BindDynamic(RandomU16(), now) : std::optional<std::uint16_t>{};
    if (socket == 0 && !dynamic)
        return SendError(c, TNOADDR, EADDRNOTAVAIL, "no dynamic IPX socket is free");
    if (socket != 0 && !sockets_.Bind(socket))
        return SendError(c, TADDRBUSY, EADDRINUSE, "IPX socket " + Hex(socket, 4) + " is in use");
    socket = dynamic.value_or(socket);
    const std::uint16_t id = NewId();
    const auto iface = static_cast<std::size_t>(it - ifaces_.begin());
    auto conn = std::make_unique<Conn>(Session::Call(AddressOf(*it, socket), to, id, MaxPacketOf(*it), now));
    conn->id = id;
    conn->socket = socket;
    conn->iface = iface;
    conn->client = c.fd;
    conn->started = now;
    Touch(*conn);
    conns_[id] = std::move(conn);
    c.kind = Client::Kind::Calling;
    c.conn = id;
}

void Stack::AcceptCall(Client& c, const Record& r, Time now) {
    Listener& l = listeners_[c.socket];
    const auto seq = ReadSequence(r.body).value_or(0);
    const auto it = l.reported.find(seq);
    Conn* conn = it == l.reported.end() ? nullptr : Find(it->second);
    if (conn == nullptr)
        return SendError(c, TBADSEQ, 0, "no such call");
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return SendError(c, TSYSERR, errno, std::string("socketpair: ") + std::strerror(errno));
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ClientTag(pair[0]);
    epoll_ctl(epoll_, EPOLL_CTL_ADD, pair[0], &ev);
    auto endpoint = std::make_unique<Client>(pair[0]);
    endpoint->kind = Client::Kind::Endpoint;
    endpoint->conn = conn->id;
    endpoint->watching = EPOLLIN;
    clients_[pair[0]] = std::move(endpoint);
    conn->client = pair[0];
    conn->listener = 0;
    l.reported.erase(it);
    const Path path = PathOf(*conn);
    c.passing.emplace_back(c.out.consumed + c.out.Size(), pair[1]);
    Send(c, Prim::ConnResAck, 0,
         std::span(reinterpret_cast<const std::uint8_t*>(&path), sizeof path));
    if (options_.verbose)
        std::fprintf(stderr, "nspxd: connection %s\n", PathText(*conn).c_str());
    Report(l);
    Touch(*conn);
    (void)now;
}

void Stack::Refuse(Client& c, const Record& r, Time now) {
    Listener& l = listeners_[c.socket];
    const auto seq = ReadSequence(r.body).value_or(0);
    const auto it = l.reported.find(seq);
    if (it == l.reported.end())
        return SendError(c, TBADSEQ, 0, "no such call");
    if (Conn* conn = Find(it->second)) {
        conn->s.Disconnect(now);
        conn->listener = 0;
        Touch(*conn);
    }
    l.reported.erase(it);
    Send(c, Prim::OkAck, 0, {});
    Report(l);
}

void Stack::Send(Client& c, Prim prim, std::uint8_t flags, std::span<const std::uint8_t> body) {
    if (c.deaf)
        return;
    const Head h = MakeHead(prim, flags, body.size());
    c.out.Append(std::span(reinterpret_cast<const std::uint8_t*>(&h), sizeof h));
    c.out.Append(body);
}

void Stack::SendError(Client& c, int terr, int err, std::string_view detail, std::uint8_t flags) {
    Send(c, Prim::ErrorAck, flags, ErrorBody(terr, err, detail));
}

// Writes what c's output holds, a passed descriptor with the byte it rides on.
void Stack::WriteClient(Client& c) {
    while (c.out.Size() > 0 && !c.doomed && !c.deaf) {
        auto data = c.out.Data();
        int passing = -1;
        if (!c.passing.empty()) {
            const std::uint64_t at = c.passing.front().first - c.out.consumed;
            if (at == 0) {
                passing = c.passing.front().second;
                if (c.passing.size() > 1)
                    data = data.first(c.passing[1].first - c.out.consumed);
            } else {
                data = data.first(at);
            }
        }
        iovec iov{const_cast<std::uint8_t*>(data.data()), data.size()};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (passing >= 0) {
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            cmsghdr* cm = CMSG_FIRSTHDR(&m);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(cm), &passing, sizeof passing);
        }
        const ssize_t n = sendmsg(c.fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) { // the reader is gone; what it sent is still read to its end
            c.out.Clear();
            c.deaf = true;
            break;
        }
        if (passing >= 0) {
            close(passing);
            c.passing.pop_front();
        }
        c.out.Consume(static_cast<std::size_t>(n));
    }
    if ((c.out.Size() == 0 || c.deaf) && c.endAfterFlush && !c.doomed) {
        shutdown(c.fd, SHUT_RDWR);
        Doom(c);
    }
}

// Every holder of the client's descriptor has closed it.
void Stack::ClientGone(Client& c) {
    Doom(c);
}

void Stack::Doom(Client& c) {
    if (c.doomed)
        return;
    c.doomed = true;
    doomed_.push_back(c.fd);
}

void Stack::CloseClient(int fd, Time now) {
    const auto it = clients_.find(fd);
    if (it == clients_.end())
        return;
    Client& c = *it->second;
    if (c.kind == Client::Kind::Listener)
        DropListener(c, now);
    if (Conn* conn = Find(c.conn); conn && conn->client == fd) {
        if (conn->s.Established() || conn->s.Connecting())
            conn->s.Disconnect(now); // after the data already queued
        conn->client = -1;
        Touch(*conn);
        if (options_.verbose)
            std::fprintf(stderr, "nspxd: end of connection %s\n", PathText(*conn).c_str());
    }
    for (auto& [at, pfd] : c.passing)
        close(pfd);
    if (c.registered)
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    clients_.erase(it);
}

void Stack::DropListener(Client& c, Time now) {
    const auto it = listeners_.find(c.socket);
    if (it == listeners_.end() || it->second.client != c.fd)
        return;
    Listener& l = it->second;
    std::vector<std::uint16_t> calls(l.waiting.begin(), l.waiting.end());
    for (auto& [seq, id] : l.reported)
        calls.push_back(id);
    for (std::uint16_t id : calls)
        if (Conn* conn = Find(id)) {
            conn->s.Disconnect(now);
            conn->listener = 0;
            Touch(*conn);
        }
    door_.Forget(c.socket);
    sockets_.Release(c.socket, now);
    listeners_.erase(it);
}

} // namespace spx::stack
