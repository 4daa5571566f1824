#include "connection.h"

#include <poll.h>

#include <cerrno>
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
    const long ms = spx_getlimit(fd);
    return ms > 0 ? Limit(std::chrono::milliseconds(ms)) : NO_LIMIT;
}

void SetIdleLimit(int fd, Limit limit) {
    spx_setlimit(fd, static_cast<long>(limit.value_or(std::chrono::milliseconds(0)).count()));
}

int AwaitEvent(int fd) {
    return AwaitEvent(fd, IdleLimit(fd));
}

int AwaitEvent(int fd, Limit limit) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        // t_look takes what has arrived; poll sleeps until more does.
        const int event = t_look(fd);
        const Limit left =
            limit ? Limit(*limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start))
                  : NO_LIMIT;
        if (event != 0 || (left && left->count() <= 0))
            return event;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, PollTimeout(left));
    }
}

int AwaitSource(int source, Limit limit) {
    const auto until =
        std::chrono::steady_clock::now() + limit.value_or(std::chrono::milliseconds(0));
    for (;;) {
        const Limit left = limit ? Limit(std::chrono::ceil<std::chrono::milliseconds>(
                                       until - std::chrono::steady_clock::now()))
                                 : NO_LIMIT;
        if (left && left->count() <= 0)
            return ETIMEDOUT;
        pollfd p{source, POLLIN, 0};
        const int r = poll(&p, 1, PollTimeout(left));
        if (r < 0 && errno != EINTR)
            return errno;
        if (r > 0)
            return 0;
    }
}
