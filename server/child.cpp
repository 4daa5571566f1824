#include "child.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <span>
#include <string>

#include <spx/tiuser.h>

#include "allow.h"
#include "caller.h"
#include "request.h"
#include "services/services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// Gives the child the default handling of SIGCHLD (a command's wait needs
// it; SIGHUP and SIGALRM the listener has given back before) and an empty
// signal mask. SIGPIPE stays ignored, as in the listener: a log whose reader
// has gone costs a line, never a transfer, and a write of received data to
// a reader that has gone fails and is reported. The commands it runs get
// every signal at its default (see StartShellCommand).
void ResetChildSignals() {
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Serves the request and tells how the child ends.
ServiceEnd Serve(Caller& caller, const CallerRecord& who, const Request& request) {
    if (request.cut) {
        // A name or command line that is not all there is never acted on.
        Report(stderr, "request from %s cut short in its %s after %zu bytes \n",
               ShowAddress(who.ipx).c_str(),
               request.kind == RequestKind::RunCommand ? "command line" : "file name",
               request.size);
        return ServiceEnd::Abort;
    }
    switch (request.kind) {
    case RequestKind::SendFile:
        return SendFile(caller, request);
    case RequestKind::RunCommand:
        return RemoteShell(caller, request);
    case RequestKind::CopyOutput:
        return ReceiveStdout(caller);
    case RequestKind::StoreFile: {
        const ServiceEnd end = ReceiveFile(caller, request);
        if (end == ServiceEnd::Abort)
            // Fixed output, "recieve" included: peers, scripts and the tests read it.
            Report(stdout, "recieve file %s failed \n", request.Shown().c_str());
        return end;
    }
    case RequestKind::TooSmall:
    case RequestKind::Unrecognized:
        break;
    }
    Report(stdout, "unrecognized command 0x%08X \n", static_cast<unsigned>(request.command));
    return ServiceEnd::Abort;
}

} // namespace

void ServeChild(int spxFd, int spxFd2, const CallerRecord& who, unsigned idleSeconds) {
    idno = static_cast<int>(getpid());
    ResetChildSignals();
    Caller caller(spxFd2, SecondsOrNone(idleSeconds));

    if (t_close(spxFd) < 0) {
        Report(stderr, "t_close failed \n");
        t_error("");
        caller.End(ServiceEnd::Abort);
    }

    std::array<unsigned char, SPX_MAX_DATA> dataBuffer{};
    const int received = caller.ReceiveRequest(dataBuffer);
    if (received < 0) {
        caller.Failed(stderr, "t_rcv command failed \n");
        caller.End(ServiceEnd::Abort);
    }
    const Request request =
        DecodeRequest(std::span(dataBuffer).first(static_cast<unsigned>(received)));
    if (request.kind == RequestKind::TooSmall) {
        Report(stderr, "size of command too small %d \n", received);
        caller.End(ServiceEnd::Abort);
    }
    if (!ServiceAllowed(who, request.kind)) // the allow file's entry for this caller
        caller.End(ServiceEnd::Abort);
    caller.End(Serve(caller, who, request));
}
