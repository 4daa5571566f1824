// Output copy (0xFE): every unit the client sends, the last one included,
// goes to standard output; then our release and the client's. Output that
// cannot be written ends the service abortively, so that the client never
// takes lost data for delivered.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <spx/tiuser.h>

#include "connection.h"
#include "gathered.h"
#include "identity.h"
#include "services.h"
#include "spxsupport.h"

namespace {

ServiceEnd WriteFailed() {
    const int saved = errno;
    std::fprintf(stderr, "%s %d: write of stdout data failed \n", titleStr, idno);
    errno = saved;
    std::perror("");
    return ServiceEnd::Abort;
}

} // namespace

ServiceEnd ReceiveStdout(int spxFd2) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;

    // Data goes straight to descriptor 1: nothing buffered may come after it.
    // A reader that has gone is a failed write (EPIPE), not a silent death.
    std::fflush(stdout);
    std::signal(SIGPIPE, SIG_IGN);
    Gathered gathered(STDOUT_FILENO);
    const Received received = gathered.ReceiveStream(spxFd2, true); // the end unit too
    if (received == Received::WriteFailed)
        return WriteFailed();
    if (received == Received::ReceiveFailed) {
        std::fprintf(stderr, "%s %d: error recieving stdout ", titleStr, idno);
        SpxError(spxFd2);
        return ServiceEnd::Abort;
    }
    if (verbose)
        std::printf("%s %d: received stdout\n", titleStr, idno);

    if (t_sndrel(spxFd2) < 0) {
        std::fprintf(stderr, "%s %d: stdout receive t_sndrel failed\n", titleStr, idno);
        SpxError(spxFd2);
    }
    const int event = AwaitEvent(spxFd2);
    if (t_rcvrel(spxFd2) < 0) {
        std::fprintf(stderr, "%s %d: stdout receive t_rcvdrel failed\n", titleStr, idno);
        SpxError(spxFd2);
        if (event == 0)
            return ServiceEnd::Abort; // nothing came within the time-out
    }
    return ServiceEnd::Exit;
}
