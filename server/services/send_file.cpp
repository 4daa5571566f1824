// Send file (0xFC): the status byte, the file in units of up to 534 bytes
// with T_MORE, the 1-byte end unit, then the client's release and
// disconnect. A refused open still sends the end unit and waits for the
// client's closing steps.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

#include <spx/tiuser.h>

#include "connection.h"
#include "identity.h"
#include "outgoing.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// What is sent: the file opened for reading and update (the access the
// service asks for: a file the run-as account may read but not write is
// refused), and where its bytes are read. A FIFO or a device is read without
// blocking. Opened for update, a FIFO has the child itself for a writer and
// would never end: its bytes come through a read-only descriptor of their
// own, and the first open is held only until the first bytes arrive, so that
// the send waits for a writer instead of ending at once.
struct Source {
    int fd = -1;
    int writer = -1; // the open for update, while it keeps a FIFO from ending

    bool locked = false; // a store kept its lock past the wait

    // Opens name; a regular file is locked against stores (LockFile, shared
    // with other fetches). False with errno set.
    bool Open(const char* name, const Caller& caller) {
        fd = open(name, O_RDWR | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0)
            return false;
        if (S_ISREG(st.st_mode) && (errno = LockFile(fd, LOCK_SH, caller)) != 0)
            return !(locked = true);
        if (S_ISFIFO(st.st_mode)) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            if (const int own = open(self.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); own >= 0)
                writer = std::exchange(fd, own);
        }
        return S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
    }
    // The first bytes have come: a writer is there, and the FIFO may end.
    void WriterFound() {
        if (writer >= 0)
            close(std::exchange(writer, -1));
    }
    void Close() {
        WriterFound();
        if (fd >= 0)
            close(std::exchange(fd, -1));
    }
    ~Source() { Close(); }
};

// Waits until fd has bytes to read, within the caller's idle limit in all
// and while the caller is there. Other news from the caller (data, a
// release) is left for later: from then on only its hang-up is watched.
// 0, or the error number (ETIMEDOUT when the time ran out, ECONNRESET when
// the caller has gone).
int AwaitReadable(int fd, const Caller& caller) {
    using Clock = std::chrono::steady_clock;
    const Limit limit = caller.Idle();
    const auto until = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
    std::array<pollfd, 2> p{pollfd{fd, POLLIN, 0}, caller.Watched()};
    for (;;) {
        const Limit left =
            limit ? Limit(std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()))
                  : NO_LIMIT;
        if (left && left->count() <= 0)
            return ETIMEDOUT;
        const int r = poll(p.data(), p.size(), PollTimeout(left));
        if (r < 0 && errno != EINTR)
            return errno;
        if (r <= 0)
            continue;
        if (caller.Gone(p[1]))
            return ECONNRESET;
        if (p[0].revents != 0)
            return 0;
        if (caller.Look() > 0) // data or a release, for later: its hang-up alone from now on
            p[1].events = POLLRDHUP;
    }
}

// Sends the source in units of up to SPX_MAX_DATA bytes with T_MORE until
// its end (see Outgoing). A FIFO or a device is waited for no longer than
// the idle limit at a time, after what was read of it has gone to the
// client. False after a failed send or a failed read, reported: a file cut
// short must not look sent whole.
bool SendPieces(Caller& caller, Source& src, Outgoing& out, const char* source) {
    const auto sendUnit = [&](Outgoing::Unit unit) {
        return caller.SendUnit(unit) || caller.Failed(stdout, "send file t_snd failed\n");
    };
    for (;;) {
        int readErrno = 0;
        switch (out.Pump(src.fd, sendUnit)) {
        case Pumped::Ended:
            return true;
        case Pumped::SendFailed:
            return false;
        case Pumped::ReadFailed:
            readErrno = errno;
            break;
        case Pumped::Dry:
            if (out.Started())
                src.WriterFound();
            if (!caller.Push())
                return caller.Failed(stdout, "send file t_snd failed\n");
            readErrno = AwaitReadable(src.fd, caller);
            break;
        }
        if (readErrno != 0) {
            Report(stderr, "read of %s failed \n", source);
            ReportErrno("", readErrno);
            return false;
        }
    }
}

// The caller's release, then its disconnect; either failing ends the child
// abortively.
const Closing CLOSING{
    .stream = stdout,
    .theirRelease = "send file t_rcvrel failed \n",
    .theirDisconnect = "send file t_rcvdis failed \n",
    .strict = true,
};

} // namespace

ServiceEnd SendFile(Caller& caller, const Request& request) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;
    const char* fileName = request.text.data();
    const std::string shown = request.Shown();
    if (verbose)
        Report(stdout, "send file request: %s \n", shown.c_str());

    errno = 0;
    Source src;
    int openErrno = 0;
    if (!request.terminated) {
        openErrno = ENAMETOOLONG; // never open a name cut to fit
    } else {
        if (!src.Open(fileName, caller))
            openErrno = errno != 0 ? errno : EIO;
        if (openErrno != 0)
            src.Close();
    }
    if (openErrno != 0) {
        Report(stdout, "%s of %s failed \n", src.locked ? "lock" : "open", shown.c_str());
        ReportErrno("", openErrno);
    }

    // The status's result is not looked at: a broken connection shows at the
    // next send. Only a send that failed in the system stops the data.
    const bool statusSent = caller.SendStatus(static_cast<unsigned char>(openErrno & 0xFF));
    const bool sendSystemError = !statusSent && t_errno == TSYSERR;

    Outgoing out;
    if (src.fd >= 0 && !sendSystemError && !SendPieces(caller, src, out, shown.c_str()))
        return ServiceEnd::Abort;
    if (!caller.SendEnd(out.EndByte(RecordByte(request)))) {
        caller.Failed(stdout, "send file t_snd EOF failed \n");
        return ServiceEnd::Abort;
    }
    src.Close();

    if (caller.Close(CLOSING) == ServiceEnd::Abort)
        return ServiceEnd::Abort;
    if (verbose)
        Report(stdout, "sent file to client \n");
    return ServiceEnd::Exit;
}
