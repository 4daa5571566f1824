// Remote command (0xFD): the command's standard output in units of up to
// 534 bytes with T_MORE, the 1-byte end unit, then the client's release.
// No status byte; the service sends no release of its own.
//
// The command runs as a login of the run-as account would: "/bin/sh -c",
// default signal dispositions, an empty signal mask, standard input on
// /dev/null, only descriptors 0 to 2, and an environment of its own (see
// Environment). Its standard error reaches the daemon's through a pipe the
// child copies, so that a command never holds the daemon's log itself.
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
#include <string_view>
#include <utility>
#include <vector>

#include <spx/tiuser.h>

#include "identity.h"
#include "io.h"
#include "outgoing.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

extern char** environ;

namespace {

// The command's environment: what a login of the run-as account sets (HOME,
// USER, LOGNAME, SHELL, and the PATH of a login: with the administrator's
// folders for root), and the daemon's language and time zone (LANG, LC_*,
// TZ), nothing else of the daemon's.
class Environment {
  public:
    Environment() {
        const Account& a = SwitchedAccount();
        vars_ = {"HOME=" + a.home, "USER=" + a.name, "LOGNAME=" + a.name, "SHELL=" + a.shell,
                 a.uid == 0 ? "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                            : "PATH=/usr/local/bin:/usr/bin:/bin"};
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            const std::string_view var = *e;
            if (var.starts_with("LANG=") || var.starts_with("LC_") || var.starts_with("TZ="))
                vars_.emplace_back(var);
        }
        for (auto& v : vars_)
            envp_.push_back(v.data());
        envp_.push_back(nullptr);
    }
    char* const* Envp() { return envp_.data(); }

  private:
    std::vector<std::string> vars_;
    std::vector<char*> envp_;
};

// A running command: its process (the shell) and the read ends of its
// standard output and error.
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
// The pipes' and /dev/null's descriptors are close-on-exec and always above
// the standard descriptors (the daemon opens any of those missing at start),
// so that dup2 onto 0, 1 or 2 makes a copy.
//
// vfork, not fork: nothing of the service child is copied. posix_spawn would
// do as much, but leaves the C library's own two real-time signals ignored
// in the command; here the exec gives them their default. Every signal is
// blocked across the vfork, so that no handler of ours runs in the child.
bool StartShellCommand(const char* command, ShellCommand& sc) {
    std::array<int, 2> out{-1, -1}, err{-1, -1};
    const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const auto closeAll = [&] {
        const int saved = errno;
        for (const int fd : {none, out[0], out[1], err[0], err[1]})
            if (fd >= 0)
                close(fd);
        errno = saved;
    };
    if (none < 0 || pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0) {
        closeAll();
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
        if (dup2(none, STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
            dup2(err[1], STDERR_FILENO) < 0)
            _exit(127);
        CloseDescriptorsFrom3();
        setsid(); // a process group of its own, hung up as one when the caller goes
        sigset_t empty;
        sigemptyset(&empty);
        sigprocmask(SIG_SETMASK, &empty, nullptr);
        execve("/bin/sh", argv, env.Envp());
        _exit(127);
    }
    const int forkErrno = errno;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
        errno = forkErrno;
        closeAll();
        return false;
    }
    close(none);
    close(out[1]);
    close(err[1]);
    // Read without blocking: what is there goes out at once (see Outgoing).
    for (const int fd : {out[0], err[0]})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(out[0], F_SETPIPE_SZ, 1 << 20); // a fast command waits less for us
    sc = {pid, out[0], err[0]};
    return true;
}

// Waits for the command's shell to end; without wait, only looks. Whether
// it has ended (or is not ours to wait for).
bool Reaped(pid_t pid, bool wait) {
    pid_t r;
    while ((r = waitpid(pid, nullptr, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    return r != 0;
}

enum class Relayed {
    Done,       // the output and the command have ended
    SendFailed, // reported; the command was hung up
    CallerGone, // the caller disconnected; the command was hung up
};

// Relays a running command: its standard output to the caller in units (see
// Outgoing), its standard error to ours, until the command's end. That end
// is final when the shell has ended and its standard output is at its end:
// what its standard error holds then is copied, and processes it left behind
// (a job in the background) hold neither the caller nor the child, as after
// popen. Meanwhile the caller is watched: what it sends beyond its request
// is read and dropped; when it disconnects, or a send to it fails, the
// command's process group is hung up (SIGHUP) and nobody waits for it.
class Relay {
  public:
    Relay(Caller& caller, const ShellCommand& sc) : caller_(caller), pid_(sc.pid) {
        fds_[CALLER] = caller.PollSlot(POLLIN);
        fds_[OUTPUT] = {sc.out, POLLIN, 0};
        fds_[ERRORS] = {sc.err, POLLIN, 0};
        // Readable once the shell has ended (Linux 5.3 and later).
        fds_[END] = {static_cast<int>(syscall(SYS_pidfd_open, sc.pid, 0)), POLLIN, 0};
    }
    ~Relay() {
        if (fds_[END].fd >= 0)
            close(fds_[END].fd);
    }

    Relayed Run() {
        Relayed result = Relayed::Done;
        while (result == Relayed::Done && (Open(OUTPUT) || !ended_)) {
            if (!caller_.Push()) { // nothing sent waits while we wait for the command
                result = SendFailed();
                break;
            }
            if (poll(fds_.data(), fds_.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                result = Relayed::SendFailed; // nothing left to wait with
                break;
            }
            if (Ready(CALLER) && !FromCaller())
                result = Relayed::CallerGone;
            else if (Ready(OUTPUT))
                result = FromOutput();
            if (Ready(ERRORS) && !CopyErrors())
                fds_[ERRORS].fd = -1;
            if (Ready(END) && (ended_ = Reaped(pid_, false)))
                close(std::exchange(fds_[END].fd, -1));
        }
        if (result != Relayed::Done) {
            kill(-pid_, SIGHUP);
            Report(stdout, "remote shell %s, command hung up \n",
                   result == Relayed::CallerGone ? "caller gone" : "output undelivered");
        } else if (Open(ERRORS)) {
            CopyErrors(); // what the command wrote before its end
        }
        return result;
    }

    // The byte of the end unit that follows the output.
    unsigned char EndByte(unsigned char before) const { return out_.EndByte(before); }

  private:
    enum Source { CALLER, OUTPUT, ERRORS, END, SOURCES };

    bool Open(Source s) const { return fds_[s].fd >= 0; }
    bool Ready(Source s) const { return Open(s) && fds_[s].revents != 0; }

    Relayed SendFailed() {
        caller_.Failed(stdout, "shell command t_snd failed \n");
        return Relayed::SendFailed;
    }

    // Takes what the caller sent: data is dropped; an early release is left
    // for the end, after which the caller's end of the connection is watched
    // (a disconnect or a close ends it). False when the caller has gone.
    bool FromCaller() {
        if ((fds_[CALLER].revents & (POLLERR | POLLHUP | POLLRDHUP)) != 0)
            return false;
        for (int event;;) {
            switch (event = caller_.Look()) {
            case T_DATA:
                if (!caller_.DropData())
                    return false;
                break;
            case T_ORDREL:
                fds_[CALLER].events = POLLRDHUP; // nothing more to read, but its end
                return true;
            default:
                return event == 0;
            }
        }
    }

    // Sends what the output has now; at its end, without a way to watch the
    // shell, waits for it as it is.
    Relayed FromOutput() {
        const auto send = [&](Outgoing::Unit unit) {
            if (caller_.SendUnit(unit))
                return true;
            SendFailed();
            return false;
        };
        switch (out_.Pump(fds_[OUTPUT].fd, send)) {
        case Pumped::Dry:
            return Relayed::Done;
        case Pumped::Ended:
            fds_[OUTPUT].fd = -1;
            if (!Open(END))
                ended_ = Reaped(pid_, true);
            return Relayed::Done;
        case Pumped::ReadFailed: {
            // Neither data nor end of file: a failure, not the output's end.
            const int readErrno = errno;
            Report(stderr, "read of shell command output failed \n");
            ReportErrno("", readErrno);
            return Relayed::SendFailed;
        }
        case Pumped::SendFailed:
            break;
        }
        return Relayed::SendFailed;
    }

    // Copies what the command's standard error holds now to ours. False
    // once it has ended.
    bool CopyErrors() {
        std::array<unsigned char, 4096> text;
        for (;;) {
            const ssize_t n = read(fds_[ERRORS].fd, text.data(), text.size());
            if (n > 0)
                WriteAll(STDERR_FILENO, std::span(text).first(static_cast<std::size_t>(n)));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return n < 0 && errno == EAGAIN;
        }
    }

    Caller& caller_;
    pid_t pid_;
    std::array<pollfd, SOURCES> fds_{};
    bool ended_ = false; // the shell has been reaped
    Outgoing out_;
};

// The caller's release, the bytes it sends before it dropped; only a
// release that never came ends the child abortively.
const Closing CLOSING{
    .stream = stdout,
    .theirRelease = "remote shell t_rcvrel failed \n",
    .dropData = true,
};

} // namespace

ServiceEnd RemoteShell(Caller& caller, const Request& request) {
    if (!SwitchToRunAsAccount())
        return ServiceEnd::Abort;
    if (!request.terminated) {
        // A cut command line would run something the client never asked for.
        Report(stderr, "rsh command not terminated within %zu bytes \n",
               sizeof(rshData_t::command));
        return ServiceEnd::Abort;
    }
    if (verbose)
        Report(stdout, "rsh request: %s \n", request.Shown().c_str());

    ShellCommand sc;
    if (!StartShellCommand(request.text.data(), sc)) {
        Report(stdout, "exec of shell command %s failed \n", request.Shown().c_str());
        return ServiceEnd::Abort;
    }
    Relay relay(caller, sc);
    const Relayed relayed = relay.Run();
    close(sc.out);
    close(sc.err);
    if (relayed == Relayed::CallerGone)
        return ServiceEnd::Exit; // nobody left to tell
    if (relayed != Relayed::Done)
        return ServiceEnd::Abort;

    if (!caller.SendEnd(relay.EndByte(RecordByte(request)))) {
        caller.Failed(stdout, "shell command t_snd failed \n");
        return ServiceEnd::Abort;
    }
    if (caller.Close(CLOSING) == ServiceEnd::Abort)
        return ServiceEnd::Abort;
    if (verbose)
        Report(stdout, "executed remote shell\n");
    return ServiceEnd::Exit;
}
