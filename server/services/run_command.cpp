// Remote command (0xFD): the command's standard output in units of up to
// 534 bytes with T_MORE, the 1-byte end unit, then the client's release.
// No status byte; the service sends no release of its own.
//
// The command runs as a login of the run-as account would: "/bin/sh -c",
// default signal dispositions, an empty signal mask, standard input the
// daemon's, only descriptors 0 to 2, and an environment of its own (HOME,
// USER, LOGNAME, SHELL of the account, a fixed PATH). Its standard error
// reaches the daemon's through a pipe the child copies, so that a command
// never holds the daemon's log itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include <spx/tiuser.h>

#include "connection.h"
#include "identity.h"
#include "io.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// The command's environment: what a login of the run-as account sets.
class Environment {
  public:
    Environment() {
        const Account& a = SwitchedAccount();
        vars_ = {"HOME=" + a.home, "USER=" + a.name, "LOGNAME=" + a.name, "SHELL=" + a.shell,
                 "PATH=/usr/local/bin:/usr/bin:/bin"};
        for (std::size_t i = 0; i < vars_.size(); ++i)
            envp_[i] = vars_[i].data();
    }
    char* const* Envp() { return envp_.data(); }

  private:
    std::array<std::string, 5> vars_;
    std::array<char*, 6> envp_{};
};

// A pipe whose ends are close-on-exec. They are always above the standard
// descriptors (the daemon opens any of those missing at start), so that dup2
// onto 1 or 2 makes a copy.
bool MakePipe(std::array<int, 2>& ends) {
    return pipe2(ends.data(), O_CLOEXEC) == 0;
}

// A running command and the read ends of its standard output and error.
struct ShellCommand {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// Closes every descriptor from 3 up, in a child about to exec.
void CloseDescriptorsFrom3() {
    if (close_range(3, ~0U, 0) == 0)
        return;
    const long max = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < max; ++fd)
        close(fd);
}

// Starts "/bin/sh -c command". False when no pipe or process could be set
// up (errno tells why).
//
// vfork, not fork: nothing of the service child is copied. posix_spawn would
// do as much, but leaves the C library's own two real-time signals ignored
// in the command; here the exec gives them their default. Every signal is
// blocked across the vfork, so that no handler of ours runs in the child.
bool StartShellCommand(const char* command, ShellCommand& sc) {
    std::array<int, 2> out{-1, -1}, err{-1, -1};
    if (!MakePipe(out))
        return false;
    if (!MakePipe(err)) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    Environment env;
    char sh[] = "sh", dashC[] = "-c";
    char* const argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
    sigset_t all, saved;
    sigfillset(&all);
    std::fflush(nullptr);
    sigprocmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = vfork();
    if (pid == 0) {
        // The command: system calls only, and nothing written but the stack.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            sigaction(sig, &dfl, nullptr); // fails harmlessly for KILL, STOP
        if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0)
            _exit(127);
        CloseDescriptorsFrom3();
        setsid(); // a process group of its own, hung up as one when the caller goes
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve("/bin/sh", argv, env.Envp());
        _exit(127);
    }
    const int forkErrno = errno;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        errno = forkErrno;
        return false;
    }
    sc = {pid, out[0], err[0]};
    return true;
}

// How long units sent with T_MORE may wait in the provider while the command
// is quiet, and how often the caller of a quiet command is looked at.
constexpr auto QUIET_FLUSH = std::chrono::milliseconds(20);
constexpr auto QUIET_LOOK = std::chrono::milliseconds(1000);

enum class Relayed {
    Done,       // the output and the command have ended
    SendFailed, // reported; the command was hung up
    CallerGone, // the caller disconnected; the command was hung up
    Unexpected, // the caller sent more than its request; the command was hung up
};

// Sends the command's output in units of SPX_MAX_DATA bytes with T_MORE, the
// last one at its end however few bytes it holds (even none), copies its
// standard error to ours, and waits for the command to end. Meanwhile the
// caller is watched: when it disconnects or sends anything but an early
// release, or a send to it fails, the command's process group is hung up
// (SIGHUP) and nobody waits for it any more.
Relayed RelayOutput(int spxFd2, ShellCommand& sc, DataBuffer dataBuffer) {
    using Clock = std::chrono::steady_clock;
    std::size_t filled = 0;
    bool queued = false; // a unit may wait in the provider
    auto flushAt = Clock::now(), lookAt = Clock::now() + QUIET_LOOK;
    // Readable once the command has ended (Linux 5.3 and later).
    const int exited = static_cast<int>(syscall(SYS_pidfd_open, sc.pid, 0));
    std::array<pollfd, 4> fds{
        {{sc.out, POLLIN, 0}, {sc.err, POLLIN, 0}, {spxFd2, POLLIN, 0}, {exited, POLLIN, 0}}};
    auto sendPiece = [&] {
        const bool sent = t_snd(spxFd2, dataBuffer.data(), static_cast<unsigned>(filled), T_MORE) >= 0;
        if (!sent) {
            std::printf("%s %d: shell command t_snd failed \n", titleStr, idno);
            SpxError(spxFd2);
        }
        filled = 0;
        if (sent && !queued)
            flushAt = Clock::now() + QUIET_FLUSH;
        queued = sent;
        return sent;
    };
    // t_look puts queued units on their way and tells what the caller did. An
    // early release is allowed; after it only a broken connection counts.
    auto lookAtCaller = [&](bool broken) {
        queued = false;
        lookAt = Clock::now() + QUIET_LOOK;
        const int event = t_look(spxFd2);
        if (event == T_ORDREL && !broken) {
            fds[2].events = 0; // POLLERR and POLLHUP still come
            return Relayed::Done;
        }
        if (event == T_DATA)
            return Relayed::Unexpected;
        return event == 0 && !broken ? Relayed::Done : Relayed::CallerGone;
    };
    const auto outputOpen = [&] { return fds[0].fd >= 0 || fds[1].fd >= 0; };
    bool reaped = false;
    Relayed result = Relayed::Done;
    while (result == Relayed::Done && (outputOpen() || !reaped)) {
        if (!outputOpen() && exited < 0) {
            // No way to watch the command's end: wait for it as it is.
            while (waitpid(sc.pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        const auto wake = queued ? std::min(flushAt, lookAt) : lookAt;
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
        const int r = poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(waitMs.count(), 0)));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fds[1].fd = -1; // nothing to wait with: end as at the output's end
            fds[0].revents = POLLERR;
        }
        const auto now = Clock::now();
        if (fds[2].revents != 0 || now >= lookAt || (queued && now >= flushAt)) {
            result = lookAtCaller((fds[2].revents & (POLLERR | POLLHUP)) != 0);
            if (result != Relayed::Done)
                break;
        }
        if (fds[3].revents != 0) {
            reaped = waitpid(sc.pid, nullptr, WNOHANG) != 0; // ended, or not ours to wait for
            fds[3].fd = reaped ? -1 : fds[3].fd;
        }
        if (fds[1].revents != 0) {
            std::array<unsigned char, 4096> text;
            const ssize_t n = read(fds[1].fd, text.data(), text.size());
            if (n > 0)
                WriteAll(STDERR_FILENO, std::span(text).first(static_cast<std::size_t>(n)));
            else if (n == 0 || errno != EINTR)
                fds[1].fd = -1;
        }
        if (fds[0].revents == 0)
            continue;
        const ssize_t n = read(fds[0].fd, dataBuffer.data() + filled, SPX_MAX_DATA - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
            if (filled == SPX_MAX_DATA && !sendPiece())
                result = Relayed::SendFailed;
            continue;
        }
        if (n < 0) {
            // Neither data nor end of file: a failure, not the output's end.
            const int readErrno = errno;
            std::fprintf(stderr, "%s %d: read of shell command output failed \n", titleStr, idno);
            errno = readErrno;
            std::perror("");
            result = Relayed::SendFailed;
        }
        fds[0].fd = -1;
        if (result == Relayed::Done && !sendPiece())
            result = Relayed::SendFailed;
    }
    if (exited >= 0)
        close(exited);
    if (result != Relayed::Done && !reaped) {
        kill(-sc.pid, SIGHUP);
        std::printf("%s %d: remote shell %s, command hung up \n", titleStr, idno,
                    result == Relayed::CallerGone   ? "caller gone"
                    : result == Relayed::Unexpected ? "caller sent more than its request"
                                                    : "output undelivered");
    }
    return result;
}

} // namespace

ServiceEnd RemoteShell(int spxFd2, const Request& request, DataBuffer dataBuffer, int flags) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;
    if (!request.terminated) {
        // A cut command line would run something the client never asked for.
        std::fprintf(stderr, "%s %d: rsh command not terminated within %zu bytes \n", titleStr,
                     idno, sizeof(rshData_t::command));
        return ServiceEnd::Abort;
    }
    if (verbose)
        std::printf("%s %d: rsh request: %s \n", titleStr, idno, request.Shown().c_str());

    ShellCommand sc;
    if (!StartShellCommand(request.text.data(), sc)) {
        std::printf("%s %d: exec of shell command %s failed \n", titleStr, idno,
                    request.Shown().c_str());
        return ServiceEnd::Abort;
    }
    const Relayed relayed = RelayOutput(spxFd2, sc, dataBuffer);
    close(sc.out);
    close(sc.err);
    if (relayed == Relayed::CallerGone)
        return ServiceEnd::Exit; // nobody left to tell
    if (relayed != Relayed::Done)
        return ServiceEnd::Abort;

    if (t_snd(spxFd2, dataBuffer.data(), 1, flags & ~T_MORE) < 0) {
        std::printf("%s %d: shell command t_snd failed \n", titleStr, idno);
        SpxError(spxFd2);
        return ServiceEnd::Abort;
    }
    // A release that does not come within the time-out ends the child
    // abortively; any other failure is only reported.
    const int event = AwaitEvent(spxFd2);
    if (t_rcvrel(spxFd2) < 0) {
        std::printf("%s %d: remote shell t_rcvrel failed \n", titleStr, idno);
        SpxError(spxFd2);
        if (event == 0)
            return ServiceEnd::Abort;
    }
    if (verbose)
        std::printf("%s %d: executed remote shell\n", titleStr, idno);
    return ServiceEnd::Exit;
}
