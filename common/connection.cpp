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

Limit IdleLimit(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0))
        return NO_LIMIT;
    return std::chrono::milliseconds(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

void SetIdleLimit(int fd, Limit limit) {
    const auto ms = limit.value_or(std::chrono::milliseconds(0)).count(); // 0: none
    const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int AwaitEvent(int fd) {
    return AwaitEvent(fd, IdleLimit(fd));
}

int AwaitEvent(int fd, Limit limit) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        // t_look takes what has arrived; poll sleeps until more does.
        const int event = t_look(fd);
        const Limit left = limit ? Limit(*limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::steady_clock::now() - start))
                                 : NO_LIMIT;
        if (event != 0 || (left && left->count() <= 0))
            return event;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, PollTimeout(left));
    }
}
