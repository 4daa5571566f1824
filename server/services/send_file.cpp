// Send file (0xFC): the status byte, the file in units of up to 534 bytes
// with T_MORE, the 1-byte end unit, then the client's release and
// disconnect. A refused open still sends the end unit and waits for the
// client's closing steps.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>

#include <spx/tiuser.h>

#include "connection.h"
#include "identity.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// Waits until fd has bytes to read, at most waitMs milliseconds (-1: no
// limit). 0, or the error number (ETIMEDOUT when the time ran out).
int AwaitReadable(int fd, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, waitMs)) < 0 && errno == EINTR) {
    }
    return r > 0 ? 0 : r == 0 ? ETIMEDOUT : errno;
}

// Sends what fp holds in units of up to SPX_MAX_DATA bytes with T_MORE, each
// read's bytes however few, until fp's end. A FIFO or a device, read without
// blocking, is waited for no longer than waitMs at a time. False after a
// failed send or a failed read, reported: a file cut short must not look sent
// whole.
bool SendPieces(int spxFd2, std::FILE* fp, DataBuffer dataBuffer, const char* source,
                int waitMs) {
    while (!std::feof(fp)) {
        const std::size_t bread = std::fread(dataBuffer.data(), 1, SPX_MAX_DATA, fp);
        int readErrno = std::ferror(fp) != 0 ? errno : 0;
        if (readErrno == EAGAIN || readErrno == EWOULDBLOCK) {
            std::clearerr(fp);
            readErrno = AwaitReadable(fileno(fp), waitMs);
            if (readErrno == 0 && bread == 0)
                continue; // nothing yet is no empty unit
        }
        if (readErrno != 0) {
            std::fprintf(stderr, "%s %d: read of %s failed \n", titleStr, idno, source);
            errno = readErrno;
            std::perror("");
            return false;
        }
        if (t_snd(spxFd2, dataBuffer.data(), static_cast<unsigned>(bread), T_MORE) < 0) {
            std::printf("%s %d: send file t_snd failed\n", titleStr, idno);
            SpxError(spxFd2);
            return false;
        }
    }
    return true;
}

} // namespace

ServiceEnd SendFile(int spxFd2, const Request& request, DataBuffer dataBuffer, int flags) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;
    const char* fileName = request.text.data();
    const std::string shown = request.Shown();
    if (verbose)
        std::printf("%s %d: send file request: %s \n", titleStr, idno, shown.c_str());

    errno = 0;
    std::FILE* fp = nullptr;
    int openErrno = 0;
    if (!request.terminated) {
        openErrno = ENAMETOOLONG; // never open a name cut to fit
    } else {
        // "r+": a file the run-as account may read but not write is refused.
        fp = std::fopen(fileName, "r+be");
        if (fp == nullptr)
            openErrno = errno != 0 ? errno : EIO;
        struct stat st {};
        if (fp != nullptr && fstat(fileno(fp), &st) == 0 && !S_ISREG(st.st_mode))
            fcntl(fileno(fp), F_SETFL, fcntl(fileno(fp), F_GETFL) | O_NONBLOCK);
    }
    if (fp == nullptr) {
        std::printf("%s %d: open of %s failed \n", titleStr, idno, shown.c_str());
        errno = openErrno;
        std::perror("");
    }

    const unsigned char errnoNetOrder = static_cast<unsigned char>(openErrno & 0xFF);
    const bool statusSent = t_snd(spxFd2, &errnoNetOrder, 1, flags) >= 0;
    const bool sendSystemError = !statusSent && t_errno == TSYSERR;

    if (fp != nullptr && !sendSystemError &&
        !SendPieces(spxFd2, fp, dataBuffer, shown.c_str(), IdleLimitMs(spxFd2)))
        return ServiceEnd::Abort;

    if (t_snd(spxFd2, dataBuffer.data(), 1, flags & ~T_MORE) < 0) {
        std::printf("%s %d: send file t_snd EOF failed \n", titleStr, idno);
        SpxError(spxFd2);
        return ServiceEnd::Abort;
    }
    if (fp != nullptr)
        std::fclose(fp);

    AwaitEvent(spxFd2);
    if (t_rcvrel(spxFd2) < 0) {
        std::printf("%s %d: send file t_rcvrel failed \n", titleStr, idno);
        SpxError(spxFd2);
        return ServiceEnd::Abort;
    }
    while (t_rcvdis(spxFd2, nullptr) < 0) {
        // Nothing there yet: wait for it, as long as the time-out allows.
        if (t_errno != TNODIS || AwaitEvent(spxFd2) != T_DISCONNECT) {
            std::printf("%s %d: send file t_rcvdis failed \n", titleStr, idno);
            SpxError(spxFd2);
            return ServiceEnd::Abort;
        }
    }
    if (verbose)
        std::printf("%s %d: sent file to client \n", titleStr, idno);
    return ServiceEnd::Exit;
}
