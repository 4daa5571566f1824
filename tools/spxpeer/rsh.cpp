// spxpeer rsh: run a shell command on the server and copy its output
// (service 0xFD).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <spx/tiuser.h>

#include "spxpeer.h"
#include "spxsupport.h"

// rsh: the command's output to standard output until the end unit, then our
// release; done when the server, having taken it, ends the connection.
int RemoteCommand(const Settings& s) {
    const int fd = StartService(s);
    if (fd < 0)
        return EXIT_FAILED;

    if (const int received = ReceiveData(fd, STDOUT_FILENO, "standard output", s.timeout);
        received != EXIT_DONE)
        return received; // the connection is closed
    if (t_sndrel(fd) < 0)
        return GiveUp(fd, "t_sndrel");
    // The server takes the release and exits; its end is our disconnect.
    const int ev = AwaitServer(fd, s.timeout);
    int result = EXIT_DONE;
    if (ev == T_DISCONNECT) {
        t_rcvdis(fd, nullptr);
    } else if (ev == 0) {
        ReportTimeout(s.timeout);
        result = EXIT_FAILED;
    } else {
        if (ev < 0)
            ReportCall(fd, "t_look");
        else
            Report(stderr, "unexpected event 0x%X after the end of the output\n",
                   static_cast<unsigned>(ev));
        result = EXIT_FAILED;
    }
    t_close(fd);
    return result;
}

