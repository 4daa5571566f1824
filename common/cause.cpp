#include "cause.h"

#include <cerrno>
#include <cstdio>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "connection.h"
#include "path.h"
#include "spxsupport.h"

std::string_view silenceLimitName = "time limit";
std::string_view peerName = "server";

namespace {

// A duration as "15.5 s", whole seconds as "120 s".
std::string Seconds(std::chrono::milliseconds d) {
    char text[32];
    const long long ms = d.count();
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", ms / 1000);
    else
        std::snprintf(text, sizeof text, "%lld.%lld s", ms / 1000, ms % 1000 / 100);
    return text;
}

// " (reason 237)", as the reason lines show it: decimal for the provider's
// two, hexadecimal for any other.
std::string Reason(int reason) {
    char text[32];
    if (reason == SPX_DISCON_TERMINATED || reason == SPX_DISCON_FAILED)
        std::snprintf(text, sizeof text, " (reason %d)", reason);
    else
        std::snprintf(text, sizeof text, " (reason 0x%04X)", static_cast<unsigned>(reason));
    return text;
}

// An address t_connect refused as malformed: what is wrong with it.
std::string BadAddress(const ipxAddr_t& a) {
    char node[16];
    std::snprintf(node, sizeof node, "%02X%02X%02X%02X%02X%02X", a.node[0], a.node[1], a.node[2],
                  a.node[3], a.node[4], a.node[5]);
    if (spx::GetBE16(a.sock) == 0)
        return "socket 0 cannot be called";
    char text[160];
    std::snprintf(text, sizeof text,
                  "network %08X is on no IPX interface of this host, and node %s is no TCP "
                  "address (0000 and an IPv4 address)",
                  spx::GetBE32(a.net), node);
    return text;
}

std::string ConnectCause(const Failure& f) {
    if (f.terrno == TBADADDR)
        return BadAddress(f.called);
    if (f.reason < 0)
        return "";
    if (!f.detail.empty())
        return f.detail + Reason(f.reason);
    const std::string to = IpxAddressText(f.called);
    if (f.reason == SPX_DISCON_FAILED)
        return "nobody answered the call to " + to + " within " + Seconds(f.waited) +
               Reason(f.reason);
    return to + " refused the call" + Reason(f.reason);
}

} // namespace

std::string FailureCause(const Failure& f) {
    if (f.terrno == TSYSERR && f.err == ETIMEDOUT && f.waited.count() > 0)
        return "the " + std::string(f.limit) + " of " + Seconds(f.waited) +
               " ran out: nothing came from the " + std::string(f.peer);
    if (f.terrno == TSYSERR)
        return ""; // its text, or the detail in its place, said it
    if (f.step == FailedStep::Connect)
        return ConnectCause(f);
    if (f.reason < 0)
        return "";
    const std::string peer(f.peer);
    const std::string detail = f.detail.empty() ? "" : ": " + f.detail;
    if (f.reason == SPX_DISCON_FAILED)
        return "the " + peer + " stopped answering" + detail + Reason(f.reason);
    return "the " + peer + " ended the connection" + detail + Reason(f.reason);
}

Failure NoteFailure(int fd, FailedStep step) {
    Failure f;
    f.step = step;
    f.terrno = t_errno;
    f.err = errno;
    f.detail = spx_detail();
    f.limit = silenceLimitName;
    f.peer = peerName;
    if (f.terrno == TSYSERR && f.err == ETIMEDOUT)
        f.waited = IdleLimit(fd).value_or(std::chrono::milliseconds(0));
    lastDisconnectReason = -1;
    return f;
}

void TakeReason(int fd, Failure& f) {
    const int saved = errno, savedTerrno = t_errno;
    t_discon discon{};
    if (t_look(fd) == T_DISCONNECT && t_rcvdis(fd, &discon) == 0)
        f.reason = discon.reason;
    else
        f.reason = lastDisconnectReason;
    errno = saved;
    t_errno = savedTerrno;
}

void ReportCause(const Failure& f) {
    const std::string line = FailureCause(f);
    if (!line.empty())
        Report(stderr, "%s\n", line.c_str());
}
