// What the verbs share: the host lookup, the connection, sends and
// receives with their reports, and the gathered local output.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "cause.h"
#include "connection.h"
#include "gathered.h"
#include "hostfile.h"
#include "io.h"
#include "path.h"
#include "progress.h"
#include "spxpeer.h"
#include "spxsupport.h"

namespace {

// Looks host up in the host address file, opened for reading only. 0, or
// -1 after a message.
int GetHostAddress(const char* hostFile, const char* host, ipxAddr_t& addr) {
    std::FILE* fp = std::fopen(hostFile, "re");
    if (fp == nullptr) {
        Report(stderr, "cannot open host address file %s: %s\n", hostFile, std::strerror(errno));
        return -1;
    }
    const int found = FindHostRecord(fp, host, addr);
    const bool readError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (found == 0)
        return 0;
    if (readError)
        Report(stderr, "read of host address file %s failed\n", hostFile);
    else
        Report(stderr, "couldn't find remote name %s in %s\n", host, hostFile);
    return -1;
}

// Reports the event pending on fd on standard error, consuming a disconnect
// or a release.
void ReportEvent(int fd) {
    const int ev = t_look(fd);
    if (ev == T_DISCONNECT) {
        t_discon discon{};
        if (t_rcvdis(fd, &discon) == 0) {
            Report(stderr, "disconnect %s\n", DisconnectText(discon.reason).c_str());
            return;
        }
    } else if (ev == T_ORDREL) {
        if (t_rcvrel(fd) == 0) {
            Report(stderr, "the server released the connection early\n");
            return;
        }
    } else if (ev >= 0) {
        Report(stderr, "unexpected event 0x%X\n", static_cast<unsigned>(ev));
        return;
    }
    t_error(" \t ");
}

} // namespace

// Fixed output, as raw prints it: scripts and the tests parse it.
std::string DisconnectText(int reason) {
    char buf[80];
    if (reason == SPX_DISCON_TERMINATED)
        std::snprintf(buf, sizeof buf, "reason=%d (connection terminated by remote endpoint)",
                      reason);
    else if (reason == SPX_DISCON_FAILED)
        std::snprintf(buf, sizeof buf, "reason=%d (connection failed)", reason);
    else
        std::snprintf(buf, sizeof buf, "reason=%d (0x%04X)", reason, static_cast<unsigned>(reason));
    return buf;
}

void ReportCall(int fd, const char* call, const ipxAddr_t* called,
                std::chrono::milliseconds waited) {
    Failure f = NoteFailure(fd, called != nullptr ? FailedStep::Connect : FailedStep::Exchange);
    if (called != nullptr)
        f.called = *called, f.waited = waited;
    Report(stderr, "%s failed \n", call);
    if (t_errno != TLOOK) {
        SpxError(fd);
        ReportCause(f);
        return;
    }
    t_error(" \t ");
    if (t_look(fd) != T_DISCONNECT)
        return ReportEvent(fd);
    TakeReason(fd, f);
    ReportCause(f); // the disconnect's reason, and why when the provider knows
}

void ReportTimeout(unsigned timeout) {
    Failure f;
    f.terrno = TSYSERR, f.err = ETIMEDOUT, f.limit = silenceLimitName;
    f.waited = std::chrono::seconds(timeout);
    ReportCause(f);
}

int GiveUp(int fd, const char* call) {
    ReportCall(fd, call);
    t_close(fd);
    return EXIT_FAILED;
}

int AwaitServer(int fd, unsigned timeout) {
    return AwaitEvent(fd, SecondsOrNone(timeout));
}

// Reports a receive that failed: the server's silence, or the call.
static void ReceiveFailed(int fd, unsigned timeout) {
    if (timeout != 0 && t_errno == TSYSERR && errno == ETIMEDOUT)
        ReportTimeout(timeout);
    else
        ReportCall(fd, "t_rcv");
}

int ReceiveUnit(int fd, std::span<unsigned char> buf, int& flags, unsigned timeout) {
    flags = 0;
    // The endpoint's idle limit (StartService) bounds the receive itself.
    const int n = t_rcv(fd, buf.data(), static_cast<unsigned>(buf.size()), &flags);
    if (n < 0)
        ReceiveFailed(fd, timeout);
    return n;
}

int StartService(const Settings& s) {
    ipxAddr_t serversAddress{};
    if (GetHostAddress(s.hostFile.c_str(), s.host.c_str(), serversAddress) != 0)
        return -1;
    if (s.socket != 0)
        spx::PutBE16(serversAddress.sock, s.socket);

    t_info info{};
    const int fd = t_open(spxDevice, O_RDWR, &info);
    if (fd < 0) {
        Report(stderr, "open of %s failed \n", spxDevice);
        SpxError(fd);
        return -1;
    }
    ipxAddr_t bindAddress{};
    if (BindAnySocket(fd, bindAddress) < 0) {
        ReportCall(fd, "t_bind");
        t_close(fd);
        return -1;
    }
    SPX_OPTS serversId{};
    const ipxAddr_t called = serversAddress;
    const auto start = std::chrono::steady_clock::now();
    if (ConnectTo(fd, serversAddress, serversId) < 0) {
        ReportCall(fd, "t_connect", &called,
                   std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start));
        t_close(fd);
        return -1;
    }
    if (verbose) // standard output may carry the data
        ShowPaths(stderr, fd, "connection");
    SetIdleLimit(fd, SecondsOrNone(s.timeout)); // also a unit whose frame stops half-way
    if (!SendUnit(fd, s.request, 0)) {
        t_close(fd);
        return -1;
    }
    return fd;
}

bool SendUnit(int fd, std::span<const unsigned char> unit, int flags) {
    if (t_snd(fd, unit.data(), static_cast<unsigned>(unit.size()), flags) < 0) {
        ReportCall(fd, "t_snd");
        return false;
    }
    return true;
}

void Disconnect(int fd) {
    t_snddis(fd, nullptr);
    t_close(fd);
}

int ReceiveData(int fd, int outFd, const char* name, unsigned timeout, bool progress) {
    Gathered gathered(outFd);
    Progress shown(progress);
    const auto waiting = [fd] { return t_look(fd) == T_DATA; };
    const auto receive = [fd, &shown](std::span<unsigned char> room, int& flags) {
        const int n = t_rcv(fd, room.data(), static_cast<unsigned>(room.size()), &flags);
        if (n > 0 && (flags & T_MORE) != 0) // the end unit's byte is no data
            shown.Add(static_cast<std::size_t>(n));
        return n;
    };
    const Received received = gathered.Gather(waiting, receive, false);
    shown.End();
    switch (received) {
    case Received::All:
        return EXIT_DONE;
    case Received::ReceiveFailed:
        ReceiveFailed(fd, timeout);
        t_close(fd);
        return EXIT_FAILED;
    case Received::WriteFailed:
        break;
    }
    Report(stderr, "write of %s failed: %s\n", name, std::strerror(errno));
    Disconnect(fd);
    return EXIT_FAILED;
}
