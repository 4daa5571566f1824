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

// get: the status, the data units into the output, the end unit; then the
// release and the disconnect the service waits for.
int GetFile(const Settings& s) {
    const std::string& remote = s.operands[0];
    const char* local = s.operands.size() == 2 ? s.operands[1].c_str() : nullptr;

    const int fd = StartService(s);
    if (fd < 0)
        return EXIT_FAILED;

    std::vector<unsigned char> reply(RECEIVE_SIZE);
    int flags = 0;
    const int n = ReceiveUnit(fd, reply, flags, s.timeout);
    if (n < 0) {
        t_close(fd);
        return EXIT_FAILED;
    }
    if (n != 1 || (flags & T_MORE)) {
        Report(stderr, "the server's status reply has %d bytes\n", n);
        Disconnect(fd);
        return EXIT_FAILED;
    }
    const int status = reply[0];
    int result = EXIT_DONE;
    if (status != 0) {
        Report(stderr, "remote open of %s failed: %s\n", remote.c_str(), strerror(status));
        // Only the end unit follows; anything before it is dropped.
        for (flags = T_MORE; (flags & T_MORE) != 0;)
            if (ReceiveUnit(fd, reply, flags, s.timeout) < 0) {
                t_close(fd);
                return EXIT_FAILED;
            }
        result = EXIT_FAILED;
    } else {
        const int outFd = local == nullptr
                              ? STDOUT_FILENO
                              : open(local, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (outFd < 0) {
            Report(stderr, "cannot create %s: %s\n", local, strerror(errno));
            Disconnect(fd);
            return EXIT_FAILED;
        }
        const char* name = local != nullptr ? local : "standard output";
        result = ReceiveData(fd, outFd, name, s.timeout);
        if (outFd != STDOUT_FILENO && close(outFd) != 0 && result == EXIT_DONE) {
            Report(stderr, "write of %s failed: %s\n", name, strerror(errno));
            result = EXIT_FAILED;
        }
        if (result != EXIT_DONE)
            return result; // the connection is closed
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
