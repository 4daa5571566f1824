// Remote command (0xFD): the command's standard output in units of up to
// 534 bytes with T_MORE, the 1-byte end unit, then the client's release.
// No status byte; the service sends no release of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <spx/tiuser.h>

#include "identity.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// A shell command running with its standard output on a pipe.
struct ShellCommand {
    FILE* fp = nullptr; // read end of the command's output
    pid_t pid = -1;
};

// Closes every descriptor from 3 up, in a child about to exec.
void CloseDescriptorsFrom3() {
    if (close_range(3, ~0U, 0) == 0)
        return;
    const long max = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < max; ++fd)
        close(fd);
}

// Starts "/bin/sh -c command" with its standard output on a pipe, like
// popen(command, "r"), except that the command gets default signal
// dispositions, an empty signal mask and no descriptor beyond standard
// input, output and error. Returns false when no pipe or process could be
// set up (errno tells why).
bool StartShellCommand(const char* command, ShellCommand& sc) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        const int saved = errno;
        close(fds[0]);
        close(fds[1]);
        errno = saved;
        return false;
    }
    if (pid == 0) {
        // The command: only async-signal-safe calls from here on.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        for (int sig = 1; sig < NSIG; ++sig)
            sigaction(sig, &dfl, nullptr); // fails harmlessly for KILL, STOP
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (fds[1] == STDOUT_FILENO) {
            if (fcntl(STDOUT_FILENO, F_SETFD, 0) != 0)
                _exit(127);
        } else if (dup2(fds[1], STDOUT_FILENO) < 0) {
            _exit(127);
        }
        CloseDescriptorsFrom3();
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    sc.fp = fdopen(fds[0], "r");
    if (sc.fp == nullptr) {
        const int saved = errno;
        close(fds[0]);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = saved;
        return false;
    }
    sc.pid = pid;
    return true;
}

// Closes the pipe and waits for the command to end, like pclose.
void EndShellCommand(ShellCommand& sc) {
    fclose(sc.fp);
    sc.fp = nullptr;
    while (waitpid(sc.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    sc.pid = -1;
}

} // namespace

ServiceEnd RemoteShell(int spxFd2, const Request& request, DataBuffer dataBuffer, int flags) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;
    const char* command = request.text.data();
    if (!request.terminated) {
        // A cut command line would run something the client never asked for.
        std::fprintf(stderr, "%s %d: rsh command not terminated within %zu bytes \n", titleStr, idno,
                     sizeof(rshData_t::command));
        return ServiceEnd::Abort;
    }
    if (verbose)
        std::printf("%s %d: rsh request: %s \n", titleStr, idno, command);

    // The daemon ignores SIGCLD; the wait for the command needs it back.
    std::signal(SIGCHLD, SIG_DFL);
    ShellCommand sc;
    if (!StartShellCommand(command, sc)) {
        std::printf("%s %d: exec of shell command %s failed \n", titleStr, idno, command);
        return ServiceEnd::Abort;
    }
    if (!SendPieces(spxFd2, sc.fp, dataBuffer, "shell command output",
                    "shell command t_snd failed \n"))
        return ServiceEnd::Abort; // the command is left to its own end
    EndShellCommand(sc);

    if (t_snd(spxFd2, dataBuffer.data(), 1, flags & ~T_MORE) < 0) {
        std::printf("%s %d: shell command t_snd failed \n", titleStr, idno);
        SpxError(spxFd2);
        return ServiceEnd::Abort;
    }
    while (t_rcvrel(spxFd2) < 0) {
        if (t_errno != TNOREL) {
            std::printf("%s %d: remote shell t_rcvrel failed \n", titleStr, idno);
            SpxError(spxFd2);
            break;
        }
    }
    if (verbose)
        std::printf("%s %d: executed remote shell\n", titleStr, idno);
    return ServiceEnd::Exit;
}
