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

    std::vector<unsigned char> buf(RECEIVE_SIZE);
    int flags = 0;
    const int n = ReceiveUnit(fd, buf, flags, s.timeout);
    if (n < 0) {
        t_close(fd);
        return EXIT_FAILED;
    }
    if (n != 1 || (flags & T_MORE)) {
        fprintf(stderr, "%s: the server's status reply has %d bytes\n", titleStr, n);
        Disconnect(fd);
        return EXIT_FAILED;
    }
    const int status = buf[0];
    bool ok = status == 0;
    if (!ok)
        fprintf(stderr, "%s: remote open of %s failed: %s\n", titleStr, remote.c_str(),
                strerror(status));

    int outFd = STDOUT_FILENO;
    if (ok && local != nullptr) {
        outFd = open(local, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (outFd < 0) {
            fprintf(stderr, "%s: cannot create %s: %s\n", titleStr, local, strerror(errno));
            Disconnect(fd);
            return EXIT_FAILED;
        }
    }
    Output out(outFd);
    bool writeFailed = false;
    for (;;) {
        const int got = ReceiveUnit(fd, buf, flags, s.timeout);
        if (got < 0) {
            if (ok)
                out.Flush();
            if (outFd != STDOUT_FILENO)
                close(outFd);
            t_close(fd);
            return EXIT_FAILED;
        }
        if (!(flags & T_MORE))
            break; // the end unit: its byte is no data
        if (ok && !writeFailed && !out.Write({buf.data(), static_cast<std::size_t>(got)}))
            writeFailed = true;
    }
    if (ok && !writeFailed && !out.Flush())
        writeFailed = true;
    if (writeFailed)
        fprintf(stderr, "%s: write of %s failed: %s\n", titleStr,
                local != nullptr ? local : "standard output", strerror(errno));
    if (outFd != STDOUT_FILENO && close(outFd) != 0 && !writeFailed) {
        fprintf(stderr, "%s: write of %s failed: %s\n", titleStr, local, strerror(errno));
        writeFailed = true;
    }

    // The service waits for our release, then for our disconnect.
    int result = ok && !writeFailed ? EXIT_DONE : EXIT_FAILED;
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

