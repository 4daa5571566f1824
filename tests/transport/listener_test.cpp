// The listener: callers are read side by side, only valid ones reach the
// program, and a connection handed to a forked child belongs to it alone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>

#include "frame.h"
#include "harness.h"
#include "provider.h"

using namespace provider_test;
using namespace std::chrono_literals;

namespace {

// A raw TCP connection to the listener, bypassing the provider.
int RawConnect(std::uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
}

void Reset(int s) {
    linger lg{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(s);
}

int TakeDisconnect(int fd) {
    t_discon d{};
    EXPECT_EQ(t_rcvdis(fd, &d), 0) << "t_errno " << t_errno;
    return d.reason;
}

} // namespace

// Guards against the parent's close of its copy disturbing the child that
// serves the connection, and against the connection outliving the child.
TEST(ForkOwnership, ChildKeepsTheConnectionAfterTheParentClosesItsCopy) {
    auto l = OpenListener();
    int client = OpenBound();
    int connected = -1;
    std::thread caller([&] { connected = Connect(client, l.port()); });
    int service = Accept(l);
    caller.join();
    ASSERT_EQ(connected, 0);

    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        // The child: closes the listener, echoes one unit, waits for the
        // word to exit.
        t_close(l.fd);
        char buf[64];
        int flags;
        int n = t_rcv(service, buf, sizeof buf, &flags);
        if (n < 0 || t_snd(service, buf, static_cast<unsigned>(n), 0) != n)
            _exit(1);
        n = t_rcv(service, buf, sizeof buf, &flags);
        _exit(n == 4 ? 0 : 2);
    }
    ASSERT_EQ(t_close(service), 0);

    ASSERT_EQ(t_snd(client, "ping", 4, 0), 4);
    char buf[8] = {};
    int flags = -1;
    ASSERT_EQ(t_rcv(client, buf, sizeof buf, &flags), 4);
    EXPECT_STREQ(buf, "ping");
    EXPECT_EQ(t_look(client), 0) << "the parent's close sent nothing";

    ASSERT_EQ(t_snd(client, "exit", 4, 0), 4);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(AwaitEvent(client), T_DISCONNECT);
    EXPECT_EQ(TakeDisconnect(client), SPX_DISCON_TERMINATED);
    t_close(client);
    t_close(l.fd);
}

// Guards against hostile or broken callers making t_listen or t_accept fail
// or holding up a real caller behind them.
TEST(HostileCallers, NoneStopsTheListenerAndARealCallerGetsThroughAtOnce) {
    auto l = OpenListener();
    const std::uint16_t port = l.port();
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        std::vector<int> silent;
        for (int i = 0; i < 20; ++i)
            silent.push_back(RawConnect(port));
        int garbage = RawConnect(port);
        (void)!write(garbage, "GET / HTTP/1.0\r\n\r\n", 18);
        Reset(RawConnect(port));
        int half = RawConnect(port);
        (void)!write(half, "\x01\x00", 2); // a CONNECT cut short, then silence
        int wrongVersion = RawConnect(port);
        auto bad = spx::MakeHandshake(spx::FRAME_CONNECT, SPX_OPTS{});
        bad.payload.version[1] = 2;
        (void)!write(wrongVersion, &bad, sizeof bad);
        std::this_thread::sleep_for(200ms);
        int fd = OpenBound();
        _exit(Connect(fd, port) == 0 ? 0 : 1);
        (void)silent;
    }
    int service = OpenBound();
    ipxAddr_t caller{};
    SPX_OPTS opts{};
    t_call call{};
    call.addr = {sizeof caller, 0, reinterpret_cast<char*>(&caller)};
    call.opt = {sizeof opts, 0, reinterpret_cast<char*>(&opts)};
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(t_listen(l.fd, &call), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(t_accept(l.fd, service, &call), 0);
    EXPECT_LT(waited, 1200ms) << "the real caller came 200 ms after the others";
    EXPECT_EQ(call.addr.len, sizeof(ipxAddr_t));
    EXPECT_EQ(caller.node[2], 127);
    EXPECT_EQ(caller.node[5], 1);
    EXPECT_NE(spx::GetBE16(opts.spx_connectionID), 0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(go[0]);
    close(go[1]);
    t_close(service);
    t_close(l.fd);
}

// Guards against a caller that leaves before its accept making t_accept fail.
TEST(HostileCallers, ACallerGoneBeforeTheAcceptIsAcceptedAndSeenAsDisconnect) {
    auto l = OpenListener();
    int raw = RawConnect(l.port());
    auto hello = spx::MakeHandshake(spx::FRAME_CONNECT, SPX_OPTS{});
    ASSERT_EQ(write(raw, &hello, sizeof hello), static_cast<ssize_t>(sizeof hello));
    int service = OpenBound();
    t_call call{};
    ASSERT_EQ(t_listen(l.fd, &call), 0);
    EXPECT_EQ(t_getstate(l.fd), T_INCON);
    Reset(raw);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(t_accept(l.fd, service, &call), 0);
    EXPECT_EQ(t_getstate(l.fd), T_IDLE);
    EXPECT_EQ(AwaitEvent(service), T_DISCONNECT);
    t_close(service);
    t_close(l.fd);
}

// Guards against a refused caller being left waiting.
TEST(HostileCallers, RefusedCallerSeesTheDisconnect) {
    auto l = OpenListener();
    int client = OpenBound();
    int result = 0;
    int terr = 0;
    std::thread caller([&] {
        result = Connect(client, l.port());
        terr = t_errno;
    });
    t_call call{};
    ASSERT_EQ(t_listen(l.fd, &call), 0);
    ASSERT_EQ(t_snddis(l.fd, &call), 0);
    caller.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(terr, TLOOK);
    t_discon d{};
    ASSERT_EQ(t_rcvdis(client, &d), 0);
    EXPECT_EQ(d.reason, SPX_DISCON_TERMINATED);
    t_close(client);
    t_close(l.fd);
}

// Guards against a malformed frame from a connected peer being taken as
// data: the connection fails (reason 237) after what came before it.
TEST(ProtocolErrors, MalformedFramesFailTheConnection) {
    const std::vector<std::vector<unsigned char>> bad = {
        {0x09, 0x00, 0x00, 0x00},             // unknown type
        {0x03, 0x02, 0x00, 0x00},             // unknown flag
        {0x04, 0x00, 0x00, 0x01, 0x00},       // release with a payload
        {0x05, 0x00, 0x00, 0x02, 0x00, 0x00}, // disconnect of the wrong length
        {0x01, 0x00, 0x00, 0x08, 0, 1, 0, 0, 0, 0, 0, 0}, // a second CONNECT
        {0x04, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}, // data after a release
    };
    for (const auto& frame : bad) {
        Pair p;
        ASSERT_EQ(t_snd(p.client, "ok", 2, 0), 2);
        // The endpoint is the TCP socket itself: bytes written around the
        // provider go straight to the peer.
        ASSERT_EQ(send(p.client, frame.data(), frame.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(frame.size()));
        char buf[8];
        int flags;
        EXPECT_EQ(t_rcv(p.server, buf, sizeof buf, &flags), 2);
        int ev = AwaitEvent(p.server);
        if (ev == T_ORDREL) {
            ASSERT_EQ(t_rcvrel(p.server), 0);
            ev = AwaitEvent(p.server);
        }
        EXPECT_EQ(ev, T_DISCONNECT) << "frame type " << int(frame[0]);
        EXPECT_EQ(TakeDisconnect(p.server), SPX_DISCON_FAILED);
    }
}
