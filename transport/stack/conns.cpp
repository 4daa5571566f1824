// The stack's connections: data between a connection and its client, the
// listener's calls, the schedule of deadlines, the end of a connection.
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "stack.h"

namespace spx::stack {

Conn* Stack::Find(std::uint16_t id) {
    const auto it = conns_.find(id);
    return it == conns_.end() ? nullptr : it->second.get();
}

std::uint16_t Stack::NewId() {
    for (;;) {
        const std::uint16_t id = RandomU16();
        if (id != 0 && id != ipx::UNKNOWN_CONNECTION && conns_.count(id) == 0 && !door_.Holds(id))
            return id;
    }
}

// A connection that something happened to: its data to its client (whose
// waiting input may go on), its packets out, its next deadline, its end.
void Stack::Feed(Conn& c, Time now) {
    Deliver(c, now);
    Pump(c, now);
    Reschedule(c);
    if (c.client < 0 && c.listener == 0 && c.s.Finished())
        Forget(c, now);
}

void Stack::Deliver(Conn& c, Time now) {
    Client* cl = c.client >= 0 ? ClientOf(c.client) : nullptr;
    if (cl == nullptr)
        return;
    if (cl->kind == Client::Kind::Calling) {
        if (c.s.Connecting())
            return;
        if (!c.s.Ended()) {
            c.setUp = now;
            const Path path = PathOf(c);
            Send(*cl, Prim::ConnCon, 0,
                 std::span(reinterpret_cast<const std::uint8_t*>(&path), sizeof path));
            cl->kind = Client::Kind::Endpoint;
            if (options_.verbose)
                std::fprintf(stderr, "nspxd: connection %s\n", PathText(c).c_str());
        }
    }
    if (cl->blocked && (c.s.SendRoom() > 0 || !c.s.Established() || c.s.Ended())) {
        // Once the connection has ended, what the program sent is read to the
        // end of its records and dropped (the disconnect tells the program):
        // cutting a record short here would leave its rest to be read as the
        // head of another.
        cl->blocked = false;
        cl->partial = cl->in.Size() == 0 ? 0 : cl->partial;
        ReadClient(*cl, now);
        if (cl->doomed)
            return;
    }
    DeliverData(*cl, c);
    WriteClient(*cl);
    Watch(*cl);
}

// Received data, release and disconnect to the client, as far as its output
// takes them: one DATA_IND per unit piece, consecutive packets joined.
void Stack::DeliverData(Client& cl, Conn& c) {
    constexpr std::size_t ROOM = sizeof(Head) + ipx::MAX_DATA;
    while (!cl.endAfterFlush) {
        const Event ev = c.s.Next();
        if (ev == Event::None)
            break;
        if (ev == Event::Data) {
            if (cl.out.Free() < ROOM)
                break;
            const auto room = cl.out.Room(2 * sizeof(Head) + MAX_DATA);
            if (room.size() < ROOM + sizeof(Head))
                break;
            bool more = false;
            std::optional<std::size_t> last;
            const auto body =
                room.subspan(sizeof(Head), std::min(MAX_DATA, room.size() - 2 * sizeof(Head)));
            const std::size_t n = c.s.Take(body, more, last);
            const std::size_t tail = last.value_or(0);
            if (last) { // the unit's last packet in a record of its own
                std::memmove(body.data() + n - tail + sizeof(Head), body.data() + n - tail, tail);
                const Head h = MakeHead(Prim::DataInd, 0, tail);
                std::memcpy(body.data() + n - tail, &h, sizeof h);
            }
            const Head h = MakeHead(Prim::DataInd, more || last ? FLAG_MORE : 0, n - tail);
            std::memcpy(room.data(), &h, sizeof h);
            // The window may open: Feed pumps after this.
            cl.out.Grow(sizeof h + n + (last ? sizeof h : 0));
        } else if (ev == Event::Release) {
            c.s.TakeRelease();
            Send(cl, Prim::OrdrelInd, 0, {});
            cl.relIn = true;
            cl.endAfterFlush = cl.relOut;
        } else {
            const int reason = c.s.TakeDisconnect();
            Send(cl, Prim::DisconInd, 0,
                 DisconBody(reason, FailureDetail(c, reason, Clock::now())));
            cl.endAfterFlush = true;
            cl.in.Clear();
            cl.blocked = false;
        }
    }
}

// Calls set up and waiting go to the listener, at most qlen unsettled.
void Stack::Report(Listener& l) {
    Client* cl = ClientOf(l.client);
    while (cl != nullptr && l.reported.size() < l.qlen && !l.waiting.empty()) {
        const std::uint16_t id = l.waiting.front();
        l.waiting.pop_front();
        Conn* c = Find(id);
        if (c == nullptr || c->s.Ended()) {
            if (c != nullptr)
                c->listener = 0;
            continue;
        }
        c->sequence = l.nextSequence++;
        if (l.nextSequence == 0)
            l.nextSequence = 1;
        l.reported[c->sequence] = id;
        std::array<std::uint8_t, 4 + sizeof(Path)> body{};
        const auto seq = SequenceBody(c->sequence);
        const Path path = PathOf(*c);
        std::copy(seq.begin(), seq.end(), body.begin());
        std::memcpy(body.data() + 4, &path, sizeof path);
        Send(*cl, Prim::ConnInd, 0, body);
    }
    if (cl != nullptr) {
        WriteClient(*cl);
        Watch(*cl);
    }
}

void Stack::Reschedule(Conn& c) {
    const auto next = c.s.Deadline();
    if (next == c.deadline)
        return;
    if (c.deadline)
        schedule_.erase({*c.deadline, c.id});
    c.deadline = next;
    if (next)
        schedule_.insert({*next, c.id});
}

void Stack::Forget(Conn& c, Time now) {
    c.s.AddDrops(connDrops_);
    if (c.deadline)
        schedule_.erase({*c.deadline, c.id});
    sockets_.Release(c.socket, now);
    dirty_.erase(c.id);
    conns_.erase(c.id);
}

std::string Stack::FailureDetail(const Conn& c, int reason, Time now) const {
    if (!c.setUp && reason == SPX_DISCON_TERMINATED)
        return "refused by the peer";
    if (!c.setUp && reason == SPX_DISCON_FAILED) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - c.started);
        char text[96];
        std::snprintf(text, sizeof text, "nobody answered on %s after %.1f s",
                      ifaces_[c.iface].conf.interface.c_str(),
                      static_cast<double>(ms.count()) / 1000.0);
        return text;
    }
    if (reason == SPX_DISCON_FAILED)
        return "the peer stopped answering";
    return "";
}

Path Stack::PathOf(const Conn& c) const {
    Path p{};
    p.local = c.s.Local();
    p.remote = c.s.Peer();
    if (ipx::NetOf(p.remote) == 0) // "this network": the caller's real one is the interface's
        PutBE32(p.remote.net, ifaces_[c.iface].conf.network);
    p.localOptions = c.s.LocalOptions();
    p.remoteOptions = c.s.PeerOptions();
    const auto& name = ifaces_[c.iface].conf.interface;
    if (!IsLocal(ifaces_[c.iface], p.remote))
        std::memcpy(p.interface, name.data(), std::min(name.size(), sizeof p.interface - 1));
    return p;
}

std::string Stack::PathText(const Conn& c) const {
    const Path p = PathOf(c);
    return AddressText(p.local) + " " + AddressText(p.remote);
}

} // namespace spx::stack
