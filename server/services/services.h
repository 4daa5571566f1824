// The four services of a service child. Each switches to the run-as
// account, serves one request through its caller and tells the child how to
// end: the child alone ends the process.
#pragma once

#include <poll.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "caller.h"
#include "limit.h"
#include "request.h"

// Store a file (0xFF). Abort when the service failed (the child then
// reports the file).
ServiceEnd ReceiveFile(Caller& caller, const Request& request);

// Send a server file to the client (0xFC).
ServiceEnd SendFile(Caller& caller, const Request& request);

// Run a shell command and send its standard output (0xFD).
ServiceEnd RemoteShell(Caller& caller, const Request& request);

// Copy the data the client sends to standard output (0xFE).
ServiceEnd ReceiveStdout(Caller& caller);

// Takes a lock (flock operation LOCK_EX or LOCK_SH) of the open regular
// file fd, so that transfers of one file take turns: a store holds it alone,
// fetches together. Waits while another transfer has it, within the
// caller's idle limit, trying again after pauses that grow to a tenth of a
// second, and watching the caller meanwhile. 0, EBUSY when the other still
// has it, or ECONNRESET when the caller has gone. Where the file system
// keeps no locks, the transfer goes on without one, as it always has.
inline int LockFile(int fd, int operation, const Caller& caller) {
    using namespace std::chrono;
    const Limit wait = caller.Idle();
    const auto deadline = steady_clock::now() + wait.value_or(milliseconds(0));
    for (milliseconds pause(1);; pause = std::min(2 * pause, milliseconds(100))) {
        if (flock(fd, operation | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR))
            return 0;
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (wait && left.count() <= 0)
            return EBUSY;
        const milliseconds now = wait ? std::min(pause, left) : pause;
        pollfd watched = caller.Watched();
        if (poll(&watched, 1, PollTimeout(now)) > 0) {
            if (caller.Gone(watched))
                return ECONNRESET;
            poll(nullptr, 0, PollTimeout(now)); // other news waits for the lock
        }
    }
}

// The first byte of the request record as the child has always kept it,
// the command code in host order: what an end unit carries when no data
// went before it (see Outgoing::EndByte).
inline unsigned char RecordByte(const Request& request) {
    unsigned char first = 0;
    std::memcpy(&first, &request.command, 1);
    return first;
}
