#include "child.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <spx/tiuser.h>

#include "allow.h"
#include "connection.h"
#include "request.h"
#include "services/services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// Gives the child, and the commands it runs, the default handling of the
// signals the listener ignores and an empty signal mask: a command's wait
// needs SIGCHLD; and a child whose standard output has no reader any more
// ends rather than swallowing what it was asked to deliver. (The services
// that write received data ignore SIGPIPE again, to report the failed write.)
void ResetChildSignals() {
    std::signal(SIGCHLD, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The abortive end: the client sees a disconnect indication.
[[noreturn]] void Abort(int spxFd2) {
    std::fprintf(stderr, "in abort\n");
    if (t_snddis(spxFd2, nullptr) < 0) {
        std::printf("%s %d: abortive t_snddis failed \n\t", titleStr, idno);
        SpxError(spxFd2);
    }
    std::exit(0);
}

[[noreturn]] void End(int spxFd2, ServiceEnd end) {
    if (end == ServiceEnd::Abort)
        Abort(spxFd2);
    std::exit(0);
}

} // namespace

void ServeChild(int spxFd, int spxFd2, unsigned idleSeconds) {
    idno = static_cast<int>(getpid());
    ResetChildSignals();
    SetIdleLimit(spxFd2, idleSeconds); // the services' waits for the caller and its files

    if (t_close(spxFd) < 0) {
        std::fprintf(stderr, "%s %d: t_close failed \n", titleStr, idno);
        t_error("");
        Abort(spxFd2);
    }

    std::array<unsigned char, SPX_MAX_DATA> dataBuffer{};
    int flags = 0;
    const int received = t_rcv(spxFd2, dataBuffer.data(), dataBuffer.size(), &flags);
    if (received < 0) {
        std::fprintf(stderr, "%s %d: t_rcv command failed \n", titleStr, idno);
        SpxError(spxFd2);
        Abort(spxFd2);
    }
    const Request request = DecodeRequest(std::span(dataBuffer).first(static_cast<unsigned>(received)));
    if (request.kind == RequestKind::TooSmall) {
        std::fprintf(stderr, "%s %d: size of command too small %d \n", titleStr, idno, received);
        Abort(spxFd2);
    }
    if (!ServiceAllowed(request.kind)) // the allow file's entry for this caller
        Abort(spxFd2);
    // The command code goes back into the buffer in host order; the rest of
    // the record stays as received, and the services reuse the buffer.
    std::memcpy(dataBuffer.data(), &request.command, sizeof request.command);

    switch (request.kind) {
    case RequestKind::SendFile:
        End(spxFd2, SendFile(spxFd2, request, dataBuffer, flags));
    case RequestKind::RunCommand:
        End(spxFd2, RemoteShell(spxFd2, request, dataBuffer, flags));
    case RequestKind::CopyOutput:
        End(spxFd2, ReceiveStdout(spxFd2));
    case RequestKind::StoreFile:
        if (ReceiveFile(spxFd2, request) == 0)
            std::exit(0);
        std::printf("%s %d: recieve file %s failed \n", titleStr, idno, request.Shown().c_str());
        Abort(spxFd2);
    case RequestKind::TooSmall:
    case RequestKind::Unrecognized:
        break;
    }
    std::printf("%s %d: unrecognized command 0x%08X \n", titleStr, idno,
                static_cast<unsigned>(request.command));
    Abort(spxFd2);
}
