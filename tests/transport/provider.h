// Helpers for the provider's tests: endpoints on loopback, connected pairs.
#pragma once

#include <gtest/gtest.h>
#include <spx/byteorder.h>
#include <spx/tiuser.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace provider_test {

inline constexpr const char* kDevice = "/dev/nspx";

// A listening endpoint on a provider-chosen port.
struct ListenEndpoint {
    int fd = -1;
    ipxAddr_t addr{};
    std::uint16_t port() const { return spx::GetBE16(addr.sock); }
};

inline ListenEndpoint OpenListener() {
    ListenEndpoint l;
    l.fd = t_open(kDevice, O_RDWR, nullptr);
    ipxAddr_t want{};
    struct t_bind req {};
    req.addr = {sizeof want, sizeof want, reinterpret_cast<char*>(&want)};
    req.qlen = 1;
    struct t_bind ret {};
    ret.addr = {sizeof l.addr, 0, reinterpret_cast<char*>(&l.addr)};
    EXPECT_EQ(t_bind(l.fd, &req, &ret), 0);
    return l;
}

// An endpoint bound to a provider-chosen port, as clients and service
// endpoints are.
inline int OpenBound() {
    int fd = t_open(kDevice, O_RDWR, nullptr);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(t_bind(fd, nullptr, nullptr), 0);
    return fd;
}

inline ipxAddr_t LoopbackAddress(std::uint16_t port) {
    ipxAddr_t a{};
    spx::PutBE16(a.sock, port);
    return a; // the all-zero node is this host
}

inline int Connect(int fd, std::uint16_t port) {
    ipxAddr_t to = LoopbackAddress(port);
    t_call call{};
    call.addr = {sizeof to, sizeof to, reinterpret_cast<char*>(&to)};
    return t_connect(fd, &call, nullptr);
}

// Takes the next caller of l onto a fresh service endpoint.
inline int Accept(const ListenEndpoint& l) {
    int res = OpenBound();
    ipxAddr_t caller{};
    SPX_OPTS opts{};
    t_call call{};
    call.addr = {sizeof caller, 0, reinterpret_cast<char*>(&caller)};
    call.opt = {sizeof opts, 0, reinterpret_cast<char*>(&opts)};
    EXPECT_EQ(t_listen(l.fd, &call), 0);
    EXPECT_EQ(t_accept(l.fd, res, &call), 0);
    return res;
}

// Two connected endpoints in this process: the caller's and the service one.
struct Pair {
    ListenEndpoint listener;
    int client = -1;
    int server = -1;

    Pair() {
        listener = OpenListener();
        client = OpenBound();
        int result = -1;
        // The connect waits for the accept; all endpoints exist before the
        // thread starts, so the two sides touch only their own state.
        std::thread caller([&] { result = Connect(client, listener.port()); });
        server = Accept(listener);
        caller.join();
        EXPECT_EQ(result, 0);
    }
    ~Pair() {
        t_close(client);
        t_close(server);
        t_close(listener.fd);
    }
};

// Waits (at most about 5 s) for an event on fd.
inline int AwaitEvent(int fd) {
    for (int i = 0; i < 500; ++i)
        if (int ev = t_look(fd); ev != 0)
            return ev;
    return 0;
}

} // namespace provider_test
