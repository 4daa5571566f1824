// Output copy (0xFE): every unit the client sends, the last one included,
// goes to standard output; then our release and the client's. Output that
// cannot be written ends the service abortively, so that the client never
// takes lost data for delivered.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <spx/tiuser.h>

#include "gathered.h"
#include "identity.h"
#include "services.h"
#include "spxsupport.h"

namespace {

ServiceEnd WriteFailed() {
    const int saved = errno;
    Report(stderr, "write of stdout data failed \n");
    errno = saved;
    std::perror("");
    return ServiceEnd::Abort;
}

} // namespace

ServiceEnd ReceiveStdout(Caller& caller) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;

    // Data goes straight to descriptor 1: nothing buffered may come after it.
    // A reader that has gone is a failed write (EPIPE: SIGPIPE is ignored).
    std::fflush(stdout);
    Gathered gathered(STDOUT_FILENO);
    const Received received = gathered.ReceiveStream(caller.Fd(), true); // the end unit too
    if (received == Received::WriteFailed)
        return WriteFailed();
    if (received == Received::ReceiveFailed) {
        caller.Failed(stderr, "error recieving stdout ");
        return ServiceEnd::Abort;
    }
    if (verbose)
        Report(stdout, "received stdout\n");

    if (t_sndrel(caller.Fd()) < 0)
        caller.Failed(stderr, "stdout receive t_sndrel failed\n");
    const int event = caller.Await();
    if (t_rcvrel(caller.Fd()) < 0) {
        // Fixed output, "t_rcvdrel" included: peers, scripts and the tests read it.
        caller.Failed(stderr, "stdout receive t_rcvdrel failed\n");
        if (event == 0)
            return ServiceEnd::Abort; // nothing came within the time-out
    }
    return ServiceEnd::Exit;
}
