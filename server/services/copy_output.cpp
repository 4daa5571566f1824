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
    ReportErrno("", saved);
    return ServiceEnd::Abort;
}

// Our release, then the caller's; only a release that never came ends the
// child abortively.
const Closing CLOSING{
    .stream = stderr,
    .ourRelease = "stdout receive t_sndrel failed\n",
    // Fixed output, "t_rcvdrel" included: peers, scripts and the tests read it.
    .theirRelease = "stdout receive t_rcvdrel failed\n",
};

} // namespace

ServiceEnd ReceiveStdout(Caller& caller) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;

    // Data goes straight to descriptor 1: nothing buffered may come after it.
    // A reader that has gone is a failed write (EPIPE: SIGPIPE is ignored).
    std::fflush(stdout);
    Gathered gathered(STDOUT_FILENO);
    const Received received = caller.Receive(gathered, true); // the end unit too
    if (received == Received::WriteFailed)
        return WriteFailed();
    if (received == Received::ReceiveFailed) {
        caller.Failed(stderr, "error recieving stdout ");
        return ServiceEnd::Abort;
    }
    if (verbose)
        Report(stdout, "received stdout\n");
    return caller.Close(CLOSING);
}
