#include "connection.h"

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

int AwaitEvent(int fd, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // With nothing pending, t_look itself waits a few milliseconds.
        const int event = t_look(fd);
        if (event != 0 || (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline))
            return event;
    }
}
