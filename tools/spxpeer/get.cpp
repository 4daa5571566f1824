// spxpeer get: fetch a file of the server (service 0xFC).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <spx/tiuser.h>

#include "spxpeer.h"
#include "spxsupport.h"

namespace {

// Receives the status reply: its byte, or -1 when it did not come as one
// byte (reported; the connection is closed).
int TakeStatus(int fd, std::vector<unsigned char>& reply, unsigned timeout) {
    int flags = 0;
    const int n = ReceiveUnit(fd, reply, flags, timeout);
    if (n < 0) {
        t_close(fd);
        return -1;
    }
    if (n != 1 || (flags & T_MORE)) {
        Report(stderr, "the server's status reply has %d bytes\n", n);
        Disconnect(fd);
        return -1;
    }
    return reply[0];
}

// Receives the file into local, or standard output when it is null:
// EXIT_DONE, or EXIT_FAILED (reported), the connection then closed unless
// only the close of local failed.
int ReceiveFile(int fd, const char* local, unsigned timeout) {
    const int outFd = local == nullptr
                          ? STDOUT_FILENO
                          : open(local, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (outFd < 0) {
        Report(stderr, "cannot create %s: %s\n", local, strerror(errno));
        Disconnect(fd);
        return EXIT_FAILED;
    }
    const char* name = local != nullptr ? local : "standard output";
    // No progress between the lines of a file shown on the same terminal.
    const bool progress = outFd != STDOUT_FILENO || isatty(STDOUT_FILENO) == 0;
    const int result = ReceiveData(fd, outFd, name, timeout, progress);
    if (outFd != STDOUT_FILENO && close(outFd) != 0 && result == EXIT_DONE) {
        Report(stderr, "write of %s failed: %s\n", name, strerror(errno));
        return EXIT_FAILED;
    }
    return result;
}

} // namespace

// get: the status, the data units into the output, the end unit; then the
// release and the disconnect the service waits for.
int GetFile(const Settings& s) {
    const std::string& remote = s.operands[0];
    const char* local = s.operands.size() == 2 ? s.operands[1].c_str() : nullptr;

    const int fd = StartService(s);
    if (fd < 0)
        return EXIT_FAILED;
    std::vector<unsigned char> reply(RECEIVE_SIZE);
    const int status = TakeStatus(fd, reply, s.timeout);
    if (status < 0)
        return EXIT_FAILED;
    int result = EXIT_DONE;
    if (status != 0) {
        Report(stderr, "remote open of %s failed: %s\n", remote.c_str(), strerror(status));
        // Only the end unit follows; anything before it is dropped.
        for (int flags = T_MORE; (flags & T_MORE) != 0;)
            if (ReceiveUnit(fd, reply, flags, s.timeout) < 0) {
                t_close(fd);
                return EXIT_FAILED;
            }
        result = EXIT_FAILED;
    } else if ((result = ReceiveFile(fd, local, s.timeout)) != EXIT_DONE) {
        return result; // reported; nothing more is sent
    }

    // The service waits for our release, then for our disconnect.
    if (t_sndrel(fd) < 0) {
        ReportCall(fd, "t_sndrel");
        result = EXIT_FAILED;
    }
    if (t_snddis(fd, nullptr) < 0) {
        ReportCall(fd, "t_snddis");
        result = EXIT_FAILED;
    }
    t_close(fd);
    return result;
}
