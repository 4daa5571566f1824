// The file reception service (0xFF): stores the file a client sends.
//
// Preparation (file-size limit, run-as switch, create) ends in a one-byte
// status: 0 when the file is ready, otherwise the error number of the step
// that failed. Then every unit that carries T_MORE is stored in the file;
// the first unit without it ends the stream and is not stored.
//
// Units are received straight into a gathering buffer and reach the file in
// large writes: they are written when 64 KiB have come together,
// before the service waits for more from the client, at the end unit, and
// before any failure is reported. So a failed write is still reported and
// ends the service with the abortive disconnect, never with the release, and
// the file holds everything received up to the point where the service
// stopped.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>

#include <spx/tiuser.h>

#include "gathered.h"
#include "identity.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// Size of the platform's ulimit blocks.
constexpr rlim_t ULIMIT_BLOCK = 512;

// Mode of a file created without permissions in the request.
constexpr mode_t DEFAULT_PERMISSIONS = 0644; // 420

// The permission bits a caller may ask for: no set-user-id or set-group-id
// file is ever made for an unauthenticated caller.
constexpr mode_t GRANTABLE_PERMISSIONS = 01777;

// The file-size limit before the caller's, and whether the caller's is set.
rlimit ownLimit{};
bool callersLimit = false;

// Sets the size limit of the files the process writes to blocks ulimit
// blocks. Only the soft limit where the hard one is as high, so that the
// limit before it can come back once the stored file is written: the
// daemon's log may be a file longer than the caller's limit. 0, or the error
// number.
int SetFileSizeLimit(std::uint32_t blocks) {
    getrlimit(RLIMIT_FSIZE, &ownLimit);
    rlimit limit = ownLimit;
    limit.rlim_cur = blocks * ULIMIT_BLOCK;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur > limit.rlim_max)
        limit.rlim_max = limit.rlim_cur; // the superuser's to raise, refused to others
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return errno;
    callersLimit = true;
    return 0;
}

// Puts back the limit from before the caller's, for the lines that follow.
void LiftFileSizeLimit() {
    const int saved = errno;
    if (callersLimit && setrlimit(RLIMIT_FSIZE, &ownLimit) == 0)
        callersLimit = false;
    errno = saved;
}

ServiceEnd WriteFailed() {
    const int saved = errno;
    Report(stderr, "write of file data failed \n\t");
    ReportErrno("", saved);
    return ServiceEnd::Abort;
}

// Makes the open file fd ready for the store. A regular file becomes this
// store's alone: its lock is taken (LockFile; busy is set when another
// store, or a fetch, kept it, or the caller left meanwhile), then it is
// emptied and its writes block again. A FIFO or a device stays
// non-blocking, so that its writes wait for room no longer than the
// connection's idle limit. 0, or the error number.
//
// Only a file that holds something is truncated: a file system may take the
// truncation of a file to mean that it replaces one and write all of it out
// when it is closed (ext4 does), which a new file has no need of.
int PrepareFile(int fd, const Caller& caller, bool& busy) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return 0;
    if (const int err = LockFile(fd, LOCK_EX, caller); err != 0) {
        busy = true;
        return err;
    }
    if (fstat(fd, &st) != 0 || (st.st_size > 0 && ftruncate(fd, 0) != 0) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        return errno;
    return 0;
}

// Creates the file of the request, or opens the one there, and prepares it
// (PrepareFile, waiting for another store to it). The descriptor, or -1
// with the error number in status. A FIFO without a reader is refused
// (ENXIO) rather than waited for: the open never blocks.
int CreateFile(const Request& request, mode_t permissions, const Caller& caller, int& status) {
    int fd = -1;
    int err = ENAMETOOLONG; // no terminator inside the field: not a name
    bool busy = false;
    if (request.terminated) {
        fd = open(request.text.data(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, permissions);
        err = fd < 0 ? errno : PrepareFile(fd, caller, busy);
    }
    if (err == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    Report(stderr, "%s of %s failed \n", busy ? "lock" : "open", request.Shown().c_str());
    ReportErrno("", err);
    status = err;
    return -1;
}

// Our release alone: the caller disconnects once it has it.
const Closing CLOSING{.stream = stderr, .ourRelease = "t_sndrel failed \n\t"};

// Switches to the run-as account, tries the caller's file size limit and
// creates the file (CreateFile). The descriptor, or -1 with the error
// number in status. The limit is tried after the switch, so that a caller
// cannot raise a hard limit the administrator set: that fails like any
// refused limit.
int OpenForStore(const Request& request, std::uint32_t permissions, const Caller& caller,
                 int& status) {
    // A file that outgrows the limit must give a failed write, not end the
    // process (as a FIFO whose reader has gone does: SIGPIPE is ignored).
    std::signal(SIGXFSZ, SIG_IGN);
    if (!SwitchToRunAsAccount())
        status = EACCES;
    if (status == 0 && request.newUlimit != 0) {
        status = SetFileSizeLimit(request.newUlimit);
        if (status != 0) {
            const int err = errno;
            Report(stderr, "set ulimit failed \n");
            ReportErrno("", err);
        }
        LiftFileSizeLimit(); // refused here or not at all; it binds the data written, below
    }
    if (status != 0)
        return -1;
    return CreateFile(request, static_cast<mode_t>(permissions) & GRANTABLE_PERMISSIONS, caller,
                      status);
}

} // namespace

ServiceEnd ReceiveFile(Caller& caller, const Request& request) {
    errno = 0;
    t_errno = 0;
    if (verbose)
        // Fixed output, "receiveing" included: peers, scripts and the tests read it.
        Report(stdout, "receiveing %s \n", request.Shown().c_str());

    const std::uint32_t newUlimit = request.newUlimit;
    std::uint32_t permissions = request.permissions;
    if (permissions == 0)
        permissions = DEFAULT_PERMISSIONS;

    int status = 0;
    const int fd = OpenForStore(request, permissions, caller, status);

    // SendRes: the status byte tells the client whether to send the data.
    if (!caller.SendStatus(static_cast<unsigned char>(status & 0xFF))) {
        const int sendError = t_errno;
        caller.Failed(stderr, "t_snd of create results failed \n");
        if (sendError == TSYSERR)
            return ServiceEnd::Abort;
    }
    if (status != 0)
        return ServiceEnd::Abort;

    if (newUlimit != 0)
        SetFileSizeLimit(newUlimit); // as accepted above
    Gathered gathered(fd, caller.Idle());
    const Received received = caller.Receive(gathered, false); // the end unit is never stored
    LiftFileSizeLimit(); // the lines that follow go to the log
    switch (received) {
    case Received::All:
        break;
    case Received::WriteFailed:
        return WriteFailed();
    case Received::ReceiveFailed:
        caller.Failed(stderr, "t_rcv of file data failed \n\t");
        return ServiceEnd::Abort;
    }
    // A late write error (a quota, a network file system) shows at close. The
    // lock stays with a copy of the descriptor until the release has gone:
    // no other store empties the file before this one is confirmed.
    const int locked = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (close(fd) != 0) {
        const int err = errno;
        Report(stderr, "close of %s failed \n\t", request.Shown().c_str());
        ReportErrno("", err);
        return ServiceEnd::Abort;
    }

    if (verbose)
        Report(stdout, "received file %s\n", request.Shown().c_str());
    caller.Close(CLOSING);
    if (locked >= 0)
        close(locked);
    return ServiceEnd::Exit;
}
