// Release and disconnect: every way a connection ends is seen by the other
// side as the right event, with the right reason, in the order it happened.
#include <sys/wait.h>

#include <ctime>

#include "peer.h"

using namespace peer;

// Guards against the reasons of the endings being confused, an ending lost
// behind the one before it or behind unread data, sends that go on (or raise
// SIGPIPE) after it, and the parent's close of its copy after fork disturbing
// the child that holds the connection (the child echoes a unit after that close).
TEST(Disconnect, EachEndingGivesItsReason) {
    const auto close = [](Pair& p) { t_close(std::exchange(p.client, -1)); };
    const auto heldByAChild = [&](Pair& p) {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0 && Send(p.client, Receive(p.client, 8).data))
            pause();
        if (child == 0)
            _exit(1);
        close(p);
        EXPECT_TRUE(Send(p.server, "ping"));
        EXPECT_EQ(WaitEvent(p.server) == T_DATA ? Receive(p.server, 8) : Unit{}, Unit{"ping"});
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    };
    const auto reset = [&](Pair& p) {
        const linger l{1, 0}; // the endpoint is the socket: this makes the close a reset
        setsockopt(p.client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(p);
    };
    const std::string unread = harness::Pattern(5000);
    const std::tuple<const char*, std::function<void(Pair&)>, int, int> cases[] = {
        {"t_snddis after data",
         [&](Pair& p) { Send(p.client, unread, T_MORE), t_snddis(p.client, nullptr); }, T_DATA,
         SPX_DISCON_TERMINATED},
        {"t_close", close, T_DISCONNECT, SPX_DISCON_TERMINATED},
        {"t_sndrel, then t_close", [&](Pair& p) { t_sndrel(p.client), close(p); }, T_ORDREL,
         SPX_DISCON_TERMINATED},
        {"a reset", reset, T_DISCONNECT, SPX_DISCON_FAILED},
        {"the holder killed after fork", heldByAChild, T_DISCONNECT, SPX_DISCON_TERMINATED},
    };
    const auto old = signal(SIGPIPE, SIG_DFL);
    for (const auto& [why, end, first, reason] : cases) {
        SCOPED_TRACE(why);
        Pair p;
        end(p);
        EXPECT_EQ(WaitEvent(p.server), first) << "what came before the disconnect comes first";
        EXPECT_TRUE(first != T_ORDREL ||
                    (t_rcvrel(p.server) == 0 && WaitEvent(p.server) == T_DISCONNECT));
        harness::WaitUntil([&] { return !Send(p.server, "x"); });
        EXPECT_EQ(t_errno, TLOOK) << "no send once a disconnect has arrived";
        EXPECT_TRUE(t_sndrel(p.server) == -1 && t_errno == TLOOK) << "nor a release";
        EXPECT_EQ(TakeDisconnect(p.server), reason);
        EXPECT_EQ(t_look(p.server), 0) << "t_rcvdis drops what was unread before it";
        EXPECT_EQ(t_getstate(p.server), T_IDLE);
    }
    signal(SIGPIPE, old);
}

// Guards against a release that overtakes data, and against a two-way release
// leaving either side out of state.
TEST(Release, IsSeenInOrderAndLeavesBothSidesIdle) {
    Pair p;
    ASSERT_TRUE(Send(p.server, "end"));
    ASSERT_EQ(t_sndrel(p.server), 0);
    EXPECT_EQ(t_getstate(p.server), T_OUTREL);
    EXPECT_EQ(Receive(p.client), Unit{"end"});
    EXPECT_EQ(WaitEvent(p.client), T_ORDREL);
    EXPECT_TRUE(Receive(p.client).flags == -1 && t_errno == TLOOK) << "a release next fails t_rcv";
    ASSERT_EQ(t_rcvrel(p.client), 0);
    EXPECT_EQ(t_getstate(p.client), T_INREL);
    ASSERT_EQ(t_sndrel(p.client), 0);
    EXPECT_TRUE(t_getstate(p.client) == T_IDLE && t_unbind(p.client) == 0);
    EXPECT_EQ(WaitEvent(p.server), T_ORDREL);
    ASSERT_EQ(t_rcvrel(p.server), 0);
    EXPECT_EQ(t_getstate(p.server), T_IDLE);
}

// Guards against calls that must fail succeeding, blocking, or naming the
// wrong error, and against a failed connect left without its disconnect (237)
// or out of state. The rows run in order.
TEST(Endpoints, FailingCallsNameTheirError) {
    Pair p;
    const int unbound = t_open(kDevice, O_RDWR, nullptr), bound = OpenBound(), nobody = OpenBound();
    ipxAddr_t to = LocalAddress(p.listener.port());
    struct t_bind taken = {{sizeof to, sizeof to, reinterpret_cast<char*>(&to)}, 1};
    struct t_call call = {{sizeof to, sizeof to, reinterpret_cast<char*>(&to)}, {}, {}, 0};
    const auto data = [&] { return Send(p.client, "x") && WaitEvent(p.server) == T_DATA; };
    const std::tuple<const char*, std::function<int()>, int> cases[] = {
        {"another provider", [] { return t_open("/dev/tcp", O_RDWR, nullptr); }, TBADNAME},
        {"a taken socket", [&] { return t_bind(unbound, &taken, nullptr); }, TADDRBUSY},
        {"socket 0", [&] { return to = {}, t_connect(bound, &call, nullptr); }, TBADADDR},
        {"a node that is no IPv4 host",
         [&] { return to.node[0] = to.sock[0] = 1, t_connect(bound, &call, nullptr); }, TBADADDR},
        {"an expedited unit", [&] { return t_snd(p.client, "x", 1, T_EXPEDITED); }, TBADFLAG},
        {"an unknown flag", [&] { return t_snd(p.client, "x", 1, 0x40); }, TBADFLAG},
        {"no release", [&] { return t_rcvrel(p.server); }, TNOREL},
        {"no disconnect", [&] { return t_rcvdis(p.server, nullptr); }, TNODIS},
        {"data ahead of the release", [&] { return data() ? t_rcvrel(p.server) : 0; }, TLOOK},
        {"data, no disconnect", [&] { return t_rcvdis(p.server, nullptr); }, TNODIS},
        {"a closed endpoint", [&] { return t_close(unbound), t_getstate(unbound); }, TBADF},
        {"a connect to nobody", [&] { return Connect(nobody, harness::FreePort()); }, TLOOK},
        {"an unbind with the disconnect pending", [&] { return t_unbind(nobody); }, TLOOK},
    };
    for (const auto& [why, call, error] : cases) {
        EXPECT_EQ(call(), -1) << why;
        EXPECT_EQ(t_errno, error) << why;
    }
    EXPECT_EQ(t_getstate(bound), T_IDLE) << "a refused address leaves the endpoint as it was";
    EXPECT_EQ(Receive(p.server), Unit{"x"}) << "the unread data was kept";
    EXPECT_EQ(TakeDisconnect(nobody), SPX_DISCON_FAILED);
    EXPECT_EQ(t_getstate(nobody), T_IDLE);
    EXPECT_EQ(t_unbind(nobody), 0);
    t_close(bound), t_close(nobody);
}

// Guards against endpoints leaking into executed programs, t_open reporting
// another service type, and a loop of t_look keeping a processor busy.
TEST(Endpoints, OpenAsPromisedAndLookWithoutSpinning) {
    Pair p;
    for (int fd : {p.client, p.server, p.listener.fd})
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "fd " << fd;
    t_info info{};
    const int fd = t_open(kDevice, O_RDWR, &info);
    EXPECT_EQ(info.servtype, T_COTS_ORD);
    EXPECT_EQ(t_getstate(fd), T_UNBND);
    t_close(fd);
    // A third of a second of looks at an idle endpoint: each waits a little.
    const std::clock_t cpu = std::clock();
    int looks = 0;
    for (const auto end = std::chrono::steady_clock::now() + 300ms;
         std::chrono::steady_clock::now() < end; ++looks)
        ASSERT_EQ(t_look(p.server), 0);
    EXPECT_LT(looks, 300);
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 7) << "processor time";
}
