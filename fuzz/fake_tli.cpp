// The make-believe provider of fake_tli.h: the TLI calls that varneld's
// services and the transport support routines make.

#include "fake_tli.h"

#include "world.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <spx/tiuser.h>

int t_errno = 0;

namespace faketli {

namespace {

Connection conn;

int Fail(int err) {
    t_errno = err;
    return -1;
}

[[noreturn]] void Misuse(const char* what) { world::Fail("fake provider", what); }

void CheckEndpoint(int fd) {
    if (fd != ENDPOINT)
        Misuse("call on a descriptor that is not the endpoint");
    if (conn.closed)
        Misuse("call on a closed endpoint");
}

const Event& Front() { return conn.inbound[conn.next]; }

} // namespace

void Connect(std::vector<Event> events) {
    conn = Connection{};
    conn.inbound = std::move(events);
    if (conn.inbound.empty() || conn.inbound.back().kind != Event::Discon)
        conn.inbound.push_back(Event{Event::Discon, {}, false, 236});
}

Connection& Conn() { return conn; }

} // namespace faketli

using faketli::conn;
using faketli::Event;

int t_snd(int fd, const void* buf, unsigned int nbytes, int flags) {
    faketli::CheckEndpoint(fd);
    if (conn.disconnectSent)
        faketli::Misuse("t_snd after the endpoint's own disconnect");
    if (conn.releaseSent)
        return faketli::Fail(TOUTSTATE);
    if ((flags & ~T_MORE) != 0)
        return faketli::Fail(TBADFLAG);
    if (faketli::Front().kind == Event::Discon)
        return faketli::Fail(TLOOK);
    conn.sent.push_back({std::string(static_cast<const char*>(buf), nbytes), flags});
    return static_cast<int>(nbytes);
}

int t_rcv(int fd, void* buf, unsigned int nbytes, int* flags) {
    faketli::CheckEndpoint(fd);
    if (conn.disconnectSent)
        faketli::Misuse("t_rcv after the endpoint's own disconnect");
    const Event& e = faketli::Front();
    if (e.kind != Event::Data)
        return faketli::Fail(TLOOK);
    const std::size_t n = std::min<std::size_t>(nbytes, e.bytes.size() - conn.taken);
    std::memcpy(buf, e.bytes.data() + conn.taken, n);
    conn.taken += n;
    int f = 0;
    if (conn.taken < e.bytes.size()) {
        f = T_MORE;
    } else {
        f = e.more ? T_MORE : 0;
        ++conn.next;
        conn.taken = 0;
    }
    *flags = f;
    conn.received.push_back({std::string(static_cast<char*>(buf), n), f});
    return static_cast<int>(n);
}

int t_look(int fd) {
    faketli::CheckEndpoint(fd);
    switch (faketli::Front().kind) {
    case Event::Data:
        return T_DATA;
    case Event::OrdRel:
        return T_ORDREL;
    case Event::Discon:
        return T_DISCONNECT;
    }
    return -1;
}

int t_sndrel(int fd) {
    faketli::CheckEndpoint(fd);
    if (conn.disconnectSent)
        faketli::Misuse("t_sndrel after the endpoint's own disconnect");
    if (conn.releaseSent)
        return faketli::Fail(TOUTSTATE);
    if (faketli::Front().kind == Event::Discon)
        return faketli::Fail(TLOOK);
    conn.releaseSent = true;
    return 0;
}

int t_rcvrel(int fd) {
    faketli::CheckEndpoint(fd);
    if (faketli::Front().kind != Event::OrdRel)
        return faketli::Fail(TLOOK);
    ++conn.next;
    return 0;
}

int t_snddis(int fd, struct t_call* call) {
    faketli::CheckEndpoint(fd);
    if (call != nullptr)
        faketli::Misuse("t_snddis with a call record on a connected endpoint");
    if (conn.disconnectSent)
        return faketli::Fail(TOUTSTATE);
    conn.disconnectSent = true;
    return 0;
}

// Takes the disconnect, dropping whatever came before it.
int t_rcvdis(int fd, struct t_discon* discon) {
    faketli::CheckEndpoint(fd);
    while (faketli::Front().kind != Event::Discon)
        ++conn.next;
    conn.taken = 0;
    if (discon != nullptr)
        discon->reason = faketli::Front().reason;
    // The disconnect stays the last event: the connection is gone for good.
    return 0;
}

int t_close(int fd) {
    faketli::CheckEndpoint(fd);
    conn.closed = true;
    return 0;
}

int t_getstate(int fd) {
    faketli::CheckEndpoint(fd);
    return T_DATAXFER;
}

void t_error(const char* msg) {
    if (msg != nullptr && *msg != '\0')
        std::fprintf(stderr, "%s: ", msg);
    std::fprintf(stderr, "fake provider error %d\n", t_errno);
}
