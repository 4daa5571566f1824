// spxpeer rsh: run a shell command on the server and copy its output
// (service 0xFD).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <spx/tiuser.h>

#include "spxpeer.h"
#include "spxsupport.h"

// rsh: the command's output to standard output until the end unit, then our
// release; done when the server, having taken it, ends the connection.
int RemoteCommand(const Settings& s) {
    const int fd = StartService(s);
    if (fd < 0)
        return EXIT_FAILED;

    std::vector<unsigned char> buf(RECEIVE_SIZE);
    Output out(STDOUT_FILENO);
    for (;;) {
        int flags = 0;
        const int got = ReceiveUnit(fd, buf, flags, s.timeout);
        if (got < 0) {
            out.Flush();
            t_close(fd);
            return EXIT_FAILED;
        }
        if (!(flags & T_MORE))
            break;
        if (!out.Write({buf.data(), static_cast<std::size_t>(got)})) {
            fprintf(stderr, "%s: write of standard output failed: %s\n", titleStr, strerror(errno));
            Disconnect(fd);
            return EXIT_FAILED;
        }
    }
    if (!out.Flush()) {
        fprintf(stderr, "%s: write of standard output failed: %s\n", titleStr, strerror(errno));
        Disconnect(fd);
        return EXIT_FAILED;
    }
    if (t_sndrel(fd) < 0)
        return GiveUp(fd, "t_sndrel");
    // The server takes the release and exits; its end is our disconnect.
    const int ev = AwaitServer(fd, s.timeout);
    int result = EXIT_DONE;
    if (ev == T_DISCONNECT) {
        t_rcvdis(fd, nullptr);
    } else if (ev == 0) {
        fprintf(stderr, "%s: nothing from the server for %u seconds\n", titleStr, s.timeout);
        result = EXIT_FAILED;
    } else {
        if (ev < 0)
            ReportCall(fd, "t_look");
        else
            fprintf(stderr, "%s: unexpected event 0x%X after the end of the output\n", titleStr,
                    static_cast<unsigned>(ev));
        result = EXIT_FAILED;
    }
    t_close(fd);
    return result;
}

