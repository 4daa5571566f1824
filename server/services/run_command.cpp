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
#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include <spx/tiuser.h>

#include "connection.h"
#include "identity.h"
#include "io.h"
#include "outgoing.h"
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
    // Read without blocking: what is there goes out at once (see Outgoing).
    for (const int fd : {out[0], err[0]})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sc = {pid, out[0], err[0]};
    return true;
}

enum class Relayed {
    Done,       // the output and the command have ended
    SendFailed, // reported; the command was hung up
    CallerGone, // the caller disconnected; the command was hung up
};

// Copies what the command's standard error holds now to ours. False once it
// has ended.
bool CopyErrors(int fd) {
    std::array<unsigned char, 4096> text;
    for (;;) {
        const ssize_t n = read(fd, text.data(), text.size());
        if (n > 0)
            WriteAll(STDERR_FILENO, std::span(text).first(static_cast<std::size_t>(n)));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            return false;
        else if (errno == EAGAIN)
            return true;
    }
}

// Takes what the caller sent while its command runs: bytes beyond its request
// are read and dropped; an early release is left for the end, after which
// only a broken connection counts. False when the caller has gone.
bool WatchCaller(int spxFd2, pollfd& slot) {
    if ((slot.revents & (POLLERR | POLLHUP)) != 0)
        return false;
    std::array<unsigned char, 4096> dropped;
    for (;;) {
        int flags = 0;
        switch (t_look(spxFd2)) {
        case T_DATA:
            if (t_rcv(spxFd2, dropped.data(), dropped.size(), &flags) < 0 && t_errno != TLOOK)
                return false;
            continue;
        case T_ORDREL:
            slot.events = 0; // POLLERR and POLLHUP still come
            return true;
        case 0:
            return true;
        default:
            return false;
        }
    }
}

// Waits for the command's shell to end: false when it has not ended yet.
bool Reaped(pid_t pid, bool wait) {
    pid_t r;
    while ((r = waitpid(pid, nullptr, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    return r != 0; // ended, or not ours to wait for
}

// Relays a running command: its standard output to the caller in units (see
// Outgoing), its standard error to ours. The command's end is final when its
// shell has ended and its standard output is at its end: what its standard
// error holds then is copied, and processes it left behind (a job in the
// background) hold neither the caller nor the child. Meanwhile the caller is
// watched: when it disconnects, or a send to it fails, the command's process
// group is hung up (SIGHUP) and nobody waits for it any more.
Relayed RelayOutput(int spxFd2, ShellCommand& sc, Outgoing& out) {
    enum Slot { CALLER, OUTPUT, ERRORS, END, SLOTS };
    std::array<pollfd, SLOTS> fds{};
    fds[CALLER] = {spxFd2, POLLIN, 0};
    fds[OUTPUT] = {sc.out, POLLIN, 0};
    fds[ERRORS] = {sc.err, POLLIN, 0};
    // Readable once the shell has ended (Linux 5.3 and later).
    fds[END] = {static_cast<int>(syscall(SYS_pidfd_open, sc.pid, 0)), POLLIN, 0};
    const auto sendFailed = [&] {
        std::printf("%s %d: shell command t_snd failed \n", titleStr, idno);
        SpxError(spxFd2);
        return false;
    };
    const auto sendUnit = [&](Outgoing::Unit unit) {
        return t_snd(spxFd2, unit.data(), static_cast<unsigned>(unit.size()), T_MORE) >= 0 ||
               sendFailed();
    };
    Relayed result = Relayed::Done;
    bool ended = false;
    while (result == Relayed::Done && (fds[OUTPUT].fd >= 0 || !ended)) {
        if (fds[OUTPUT].fd < 0 && fds[END].fd < 0) {
            ended = Reaped(sc.pid, true); // no way to watch the shell: wait for it as it is
            break;
        }
        // Nothing sent waits in the provider while we wait for the command.
        if (spx_push(spxFd2) < 0) {
            result = Relayed::SendFailed;
            sendFailed();
            break;
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            result = Relayed::SendFailed; // nothing to wait with
            break;
        }
        if (fds[CALLER].revents != 0 && !WatchCaller(spxFd2, fds[CALLER]))
            result = Relayed::CallerGone;
        if (result == Relayed::Done && fds[OUTPUT].revents != 0) {
            switch (out.Pump(fds[OUTPUT].fd, sendUnit)) {
            case Pumped::Dry:
                break;
            case Pumped::Ended:
                fds[OUTPUT].fd = -1;
                break;
            case Pumped::ReadFailed: {
                // Neither data nor end of file: a failure, not the output's end.
                const int readErrno = errno;
                std::fprintf(stderr, "%s %d: read of shell command output failed \n", titleStr,
                             idno);
                errno = readErrno;
                std::perror("");
                result = Relayed::SendFailed;
                break;
            }
            case Pumped::SendFailed:
                result = Relayed::SendFailed;
                break;
            }
        }
        if (fds[ERRORS].revents != 0 && !CopyErrors(fds[ERRORS].fd))
            fds[ERRORS].fd = -1;
        if (fds[END].revents != 0 && (ended = Reaped(sc.pid, false)))
            close(std::exchange(fds[END].fd, -1));
    }
    if (fds[END].fd >= 0)
        close(fds[END].fd);
    if (result != Relayed::Done) {
        kill(-sc.pid, SIGHUP);
        std::printf("%s %d: remote shell %s, command hung up \n", titleStr, idno,
                    result == Relayed::CallerGone ? "caller gone" : "output undelivered");
    } else if (fds[ERRORS].fd >= 0) {
        CopyErrors(fds[ERRORS].fd); // what the command wrote before its end
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
    Outgoing out;
    const Relayed relayed = RelayOutput(spxFd2, sc, out);
    close(sc.out);
    close(sc.err);
    if (relayed == Relayed::CallerGone)
        return ServiceEnd::Exit; // nobody left to tell
    if (relayed != Relayed::Done)
        return ServiceEnd::Abort;

    const unsigned char endByte = out.EndByte(dataBuffer[0]);
    if (t_snd(spxFd2, &endByte, 1, flags & ~T_MORE) < 0) {
        std::printf("%s %d: shell command t_snd failed \n", titleStr, idno);
        SpxError(spxFd2);
        return ServiceEnd::Abort;
    }
    // A release that does not come within the time-out ends the child
    // abortively; any other failure is only reported. Bytes the caller sends
    // before it are dropped.
    int event = AwaitEvent(spxFd2);
    for (std::array<unsigned char, 4096> dropped; event == T_DATA; event = AwaitEvent(spxFd2)) {
        int f = 0;
        if (t_rcv(spxFd2, dropped.data(), dropped.size(), &f) < 0 && t_errno != TLOOK)
            break;
    }
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
