#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>

#include <spx/tiuser.h>

int BindAnySocket(int fd, ipxAddr_t& bound) {
    bound = ipxAddr_t{};
    struct t_bind bind {};
    bind.addr = {sizeof bound, sizeof bound, reinterpret_cast<char*>(&bound)};
    bind.qlen = 0;
    return t_bind(fd, &bind, &bind);
}

int ConnectTo(int fd, ipxAddr_t& server, SPX_OPTS& options) {
    struct t_call call {};
    call.addr = {sizeof server, sizeof server, reinterpret_cast<char*>(&server)};
    call.opt = {sizeof options, sizeof options, reinterpret_cast<char*>(&options)};
    call.udata = {0, 0, nullptr};
    return t_connect(fd, &call, &call);
}

int IdleLimitMs(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    const bool set = getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) == 0 &&
                     (tv.tv_sec != 0 || tv.tv_usec != 0);
    return set ? static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000) : -1;
}

void SetIdleLimit(int fd, unsigned seconds) {
    const timeval limit{static_cast<time_t>(seconds), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int AwaitEvent(int fd, int timeoutMs) {
    if (timeoutMs == ENDPOINT_LIMIT)
        timeoutMs = IdleLimitMs(fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // t_look takes what has arrived; poll sleeps until more does.
        const int event = t_look(fd);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (event != 0 || (timeoutMs >= 0 && left.count() <= 0))
            return event;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, timeoutMs < 0 ? -1 : static_cast<int>(left.count()));
    }
}
