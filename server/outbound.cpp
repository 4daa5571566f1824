// The outbound and output services of varneld's child: send a server file
// to the client (0xFC), run a shell command and send its standard output
// (0xFD), and copy the client's data to the daemon's standard output (0xFE).
//
// Each service switches to the run-as account first and ends the process:
// exit status 0, or the child's abortive end (Abort).

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <span>

#include <spx/tiuser.h>

#include "runid.h"
#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"
#include "writeall.h"

namespace {

// Copies the NUL-terminated text of a request field into out. Returns false
// when the field holds no terminator; out then holds the field's first
// bytes, cut to fit, for messages only.
template <std::size_t N>
bool CopyField(std::span<const unsigned char, N> field, std::array<char, N>& out) {
    const auto end = std::find(field.begin(), field.end(), 0);
    const auto len = static_cast<std::size_t>(end - field.begin());
    const std::size_t kept = std::min(len, N - 1);
    std::copy_n(field.begin(), kept, out.begin());
    out[kept] = '\0';
    return end != field.end();
}

// Reports the run-as failure that every service refuses with, and aborts.
[[noreturn]] void RefuseRunId(int spxFd2) {
    fprintf(stderr, "%s %d: couldnt set effective userid\n", titleStr, idno);
    Abort(spxFd2);
}

// Busy-waits until an event is pending on fd (or t_look fails).
void WaitForEvent(int fd) {
    while (t_look(fd) == 0) {
    }
}

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

// Send file (0xFC): the status byte, the file in units of up to 534 bytes
// with T_MORE, the 1-byte end unit, then the client's release and disconnect.
// A refused open still sends the end unit and runs the closing steps.
void SendFile(int spxFd2, DataBuffer dataBuffer, int flags) {
    if (!SetEffectiveRunId())
        RefuseRunId(spxFd2);

    // The name is copied out before file data overwrites the request.
    std::array<char, sizeof(sendFile_t::fileName)> fileName{};
    const bool terminated = CopyField(
        std::span<const unsigned char, sizeof(sendFile_t::fileName)>(
            dataBuffer.subspan<offsetof(sendFile_t, fileName), sizeof(sendFile_t::fileName)>()),
        fileName);
    if (verbose)
        printf("%s %d: send file request: %s \n", titleStr, idno, fileName.data());

    errno = 0;
    FILE* fp = nullptr;
    int openErrno = 0;
    if (!terminated) {
        openErrno = ENAMETOOLONG; // never open a name cut to fit
    } else {
        // "r+": a file the run-as account may read but not write is refused.
        fp = fopen(fileName.data(), "r+be");
        if (fp == nullptr)
            openErrno = errno != 0 ? errno : EIO;
    }
    if (fp == nullptr) {
        printf("%s %d: open of %s failed \n", titleStr, idno, fileName.data());
        errno = openErrno;
        perror("");
    }

    const unsigned char errnoNetOrder = static_cast<unsigned char>(openErrno & 0xFF);
    const bool statusSent = t_snd(spxFd2, &errnoNetOrder, 1, flags) >= 0;
    const bool sendSystemError = !statusSent && t_errno == TSYSERR;

    flags |= T_MORE;
    if (fp != nullptr && !sendSystemError) {
        while (!feof(fp)) {
            const std::size_t bread = fread(dataBuffer.data(), 1, SPX_MAX_DATA, fp);
            const int readErrno = errno;
            const bool readFailed = ferror(fp) != 0;
            if (t_snd(spxFd2, dataBuffer.data(), static_cast<unsigned>(bread), flags) < 0) {
                printf("%s %d: send file t_snd failed\n", titleStr, idno);
                SpxError(spxFd2);
                Abort(spxFd2);
            }
            if (readFailed) {
                // Neither data nor end of file: stop instead of spinning.
                fprintf(stderr, "%s %d: read of %s failed \n", titleStr, idno, fileName.data());
                errno = readErrno;
                perror("");
                break;
            }
        }
    }

    flags &= ~T_MORE;
    if (t_snd(spxFd2, dataBuffer.data(), 1, flags) < 0) {
        printf("%s %d: send file t_snd EOF failed \n", titleStr, idno);
        SpxError(spxFd2);
        Abort(spxFd2);
    }
    if (fp != nullptr)
        fclose(fp);

    WaitForEvent(spxFd2);
    if (t_rcvrel(spxFd2) < 0) {
        printf("%s %d: send file t_rcvrel failed \n", titleStr, idno);
        SpxError(spxFd2);
        Abort(spxFd2);
    }
    while (t_rcvdis(spxFd2, nullptr) < 0) {
        if (t_errno != TNODIS) {
            printf("%s %d: send file t_rcvdis failed \n", titleStr, idno);
            SpxError(spxFd2);
            Abort(spxFd2);
        }
    }
    if (verbose)
        printf("%s %d: sent file to client \n", titleStr, idno);
    exit(0);
}

// Remote command (0xFD): the command's standard output in units of up to
// 534 bytes with T_MORE, the 1-byte end unit, then the client's release.
// No status byte; the server sends no release of its own.
void RemoteShell(int spxFd2, DataBuffer dataBuffer, int flags) {
    if (!SetEffectiveRunId())
        RefuseRunId(spxFd2);

    std::array<char, sizeof(rshData_t::command)> command{};
    const bool terminated = CopyField(
        std::span<const unsigned char, sizeof(rshData_t::command)>(
            dataBuffer.subspan<offsetof(rshData_t, command), sizeof(rshData_t::command)>()),
        command);
    if (!terminated) {
        // A cut command line would run something the client never asked for.
        fprintf(stderr, "%s %d: rsh command not terminated within %zu bytes \n", titleStr, idno,
                command.size());
        Abort(spxFd2);
    }
    if (verbose)
        printf("%s %d: rsh request: %s \n", titleStr, idno, command.data());

    // The daemon ignores SIGCLD; the wait for the command needs it back.
    signal(SIGCHLD, SIG_DFL);
    ShellCommand sc;
    if (!StartShellCommand(command.data(), sc)) {
        printf("%s %d: exec of shell command %s failed \n", titleStr, idno, command.data());
        Abort(spxFd2);
    }

    flags |= T_MORE;
    while (!feof(sc.fp)) {
        const std::size_t bread = fread(dataBuffer.data(), 1, SPX_MAX_DATA, sc.fp);
        const int readErrno = errno;
        const bool readFailed = ferror(sc.fp) != 0;
        if (t_snd(spxFd2, dataBuffer.data(), static_cast<unsigned>(bread), flags) < 0) {
            printf("%s %d: shell command t_snd failed \n", titleStr, idno);
            SpxError(spxFd2);
            Abort(spxFd2);
        }
        if (readFailed) {
            fprintf(stderr, "%s %d: read of shell command output failed \n", titleStr, idno);
            errno = readErrno;
            perror("");
            break;
        }
    }
    EndShellCommand(sc);

    flags &= ~T_MORE;
    if (t_snd(spxFd2, dataBuffer.data(), 1, flags) < 0) {
        printf("%s %d: shell command t_snd failed \n", titleStr, idno);
        SpxError(spxFd2);
        Abort(spxFd2);
    }
    while (t_rcvrel(spxFd2) < 0) {
        if (t_errno != TNOREL) {
            printf("%s %d: remote shell t_rcvrel failed \n", titleStr, idno);
            SpxError(spxFd2);
            break;
        }
    }
    if (verbose)
        printf("%s %d: executed remote shell\n", titleStr, idno);
    exit(0);
}

// Output copy (0xFE): every unit the client sends, the last one included,
// goes to standard output; then our release and the client's.
void ReceiveStdout(int spxFd2, DataBuffer dataBuffer, int flags) {
    if (!SetEffectiveRunId())
        RefuseRunId(spxFd2);

    // Data goes straight to descriptor 1: nothing buffered may come after it.
    fflush(stdout);
    bool writeReported = false;
    flags |= T_MORE;
    while (flags & T_MORE) {
        const int bytesRcvd =
            t_rcv(spxFd2, dataBuffer.data(), static_cast<unsigned>(SPX_MAX_DATA), &flags);
        if (bytesRcvd < 0) {
            fprintf(stderr, "%s %d: error recieving stdout ", titleStr, idno);
            SpxError(spxFd2);
            Abort(spxFd2);
        }
        if (!WriteAll(STDOUT_FILENO, dataBuffer.first(static_cast<std::size_t>(bytesRcvd))) &&
            !writeReported) {
            // Lost output is reported once; the stream is still taken to its end.
            const int saved = errno;
            fprintf(stderr, "%s %d: write of stdout data failed \n", titleStr, idno);
            errno = saved;
            perror("");
            writeReported = true;
        }
    }
    if (verbose)
        printf("%s %d: received stdout\n", titleStr, idno);

    if (t_sndrel(spxFd2) < 0) {
        fprintf(stderr, "%s %d: stdout receive t_sndrel failed\n", titleStr, idno);
        SpxError(spxFd2);
    }
    WaitForEvent(spxFd2);
    if (t_rcvrel(spxFd2) < 0) {
        fprintf(stderr, "%s %d: stdout receive t_rcvdrel failed\n", titleStr, idno);
        SpxError(spxFd2);
    }
    exit(0);
}
