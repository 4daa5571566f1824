// Release and disconnect: every way a connection ends is seen by the other
// side as the right event, with the right reason, in the order it happened.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>

#include "harness.h"
#include "provider.h"

using namespace provider_test;

namespace {

int TakeDisconnect(int fd) {
    t_discon d{};
    EXPECT_EQ(t_rcvdis(fd, &d), 0) << "t_errno " << t_errno;
    return d.reason;
}

} // namespace

// Guards against a release being lost behind the close that follows it.
TEST(Release, ReleaseFollowedByCloseIsSeenInThatOrder) {
    Pair p;
    ASSERT_EQ(t_sndrel(p.client), 0);
    EXPECT_EQ(t_getstate(p.client), T_OUTREL);
    ASSERT_EQ(t_close(p.client), 0);
    p.client = -1;
    EXPECT_EQ(AwaitEvent(p.server), T_ORDREL);
    char c;
    int flags;
    EXPECT_EQ(t_rcv(p.server, &c, 1, &flags), -1);
    EXPECT_EQ(t_errno, TLOOK) << "a release ahead of any data makes t_rcv fail";
    ASSERT_EQ(t_rcvrel(p.server), 0);
    EXPECT_EQ(t_getstate(p.server), T_INREL);
    EXPECT_EQ(AwaitEvent(p.server), T_DISCONNECT);
    EXPECT_EQ(TakeDisconnect(p.server), SPX_DISCON_TERMINATED);
    EXPECT_EQ(t_getstate(p.server), T_IDLE);
}

// Guards against a two-way release leaving either side out of state.
TEST(Release, BothReleasesLeaveBothSidesIdle) {
    Pair p;
    ASSERT_EQ(t_snd(p.server, "end", 3, 0), 3);
    ASSERT_EQ(t_sndrel(p.server), 0);
    char buf[8];
    int flags;
    ASSERT_EQ(t_rcv(p.client, buf, sizeof buf, &flags), 3) << "data sent before a release comes first";
    ASSERT_EQ(t_rcvrel(p.client), 0);
    ASSERT_EQ(t_sndrel(p.client), 0);
    EXPECT_EQ(t_getstate(p.client), T_IDLE);
    EXPECT_EQ(AwaitEvent(p.server), T_ORDREL);
    ASSERT_EQ(t_rcvrel(p.server), 0);
    EXPECT_EQ(t_getstate(p.server), T_IDLE);
    EXPECT_EQ(t_unbind(p.client), 0);
}

// Guards against the reasons of the different endings being confused.
TEST(Disconnect, TSnddisIsReason236) {
    Pair p;
    ASSERT_EQ(t_snd(p.client, "data", 4, T_MORE), 4);
    ASSERT_EQ(t_snddis(p.client, nullptr), 0);
    EXPECT_EQ(t_getstate(p.client), T_IDLE);
    EXPECT_EQ(AwaitEvent(p.server), T_DATA) << "units sent before the disconnect come first";
    EXPECT_EQ(t_snd(p.server, "x", 1, 0), -1);
    EXPECT_EQ(t_errno, TLOOK) << "no send once a disconnect has arrived";
    EXPECT_EQ(t_sndrel(p.server), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(TakeDisconnect(p.server), SPX_DISCON_TERMINATED);
}

TEST(Disconnect, PeerKilledIsReason236) {
    auto l = OpenListener();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int fd = OpenBound();
        if (Connect(fd, l.port()) != 0)
            _exit(1);
        char ok = 'y';
        if (write(fds[1], &ok, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    int server = Accept(l);
    char ok;
    ASSERT_EQ(read(fds[0], &ok, 1), 1);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(AwaitEvent(server), T_DISCONNECT);
    EXPECT_EQ(TakeDisconnect(server), SPX_DISCON_TERMINATED);
    close(fds[0]);
    close(fds[1]);
    t_close(server);
    t_close(l.fd);
}

TEST(Disconnect, TcpResetIsReason237) {
    Pair p;
    // The endpoint is a real socket: a zero linger turns the close into a reset.
    linger lg{1, 0};
    ASSERT_EQ(setsockopt(p.client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
    ASSERT_EQ(t_close(p.client), 0);
    p.client = -1;
    EXPECT_EQ(AwaitEvent(p.server), T_DISCONNECT);
    EXPECT_EQ(TakeDisconnect(p.server), SPX_DISCON_FAILED);
}

TEST(Disconnect, ConnectToNobodyFailsWithTLookAndLeaves237) {
    int fd = OpenBound();
    EXPECT_EQ(Connect(fd, static_cast<std::uint16_t>(harness::FreePort())), -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(fd), T_DISCONNECT);
    EXPECT_EQ(t_unbind(fd), -1) << "the pending disconnect blocks the unbind";
    EXPECT_EQ(TakeDisconnect(fd), SPX_DISCON_FAILED);
    EXPECT_EQ(t_getstate(fd), T_IDLE);
    EXPECT_EQ(t_unbind(fd), 0);
    EXPECT_EQ(t_close(fd), 0);
}

TEST(Disconnect, BadAddressesAreRefusedBeforeAnyConnect) {
    int fd = OpenBound();
    ipxAddr_t to{};
    to.node[0] = 1; // not an IPv4 node
    spx::PutBE16(to.sock, 0x4500);
    t_call call{};
    call.addr = {sizeof to, sizeof to, reinterpret_cast<char*>(&to)};
    EXPECT_EQ(t_connect(fd, &call, nullptr), -1);
    EXPECT_EQ(t_errno, TBADADDR);
    to = {};
    EXPECT_EQ(t_connect(fd, &call, nullptr), -1) << "socket 0";
    EXPECT_EQ(t_errno, TBADADDR);
    EXPECT_EQ(t_getstate(fd), T_IDLE);
    t_close(fd);
}

// Guards against the "nothing there" answers blocking or lying.
TEST(Disconnect, NothingPendingGivesTNoRelAndTNoDis) {
    Pair p;
    EXPECT_EQ(t_look(p.server), 0);
    EXPECT_EQ(t_rcvrel(p.server), -1);
    EXPECT_EQ(t_errno, TNOREL);
    EXPECT_EQ(t_rcvdis(p.server, nullptr), -1);
    EXPECT_EQ(t_errno, TNODIS);
    ASSERT_EQ(t_snd(p.client, "x", 1, 0), 1);
    EXPECT_EQ(AwaitEvent(p.server), T_DATA);
    EXPECT_EQ(t_rcvrel(p.server), -1);
    EXPECT_EQ(t_errno, TLOOK) << "data ahead of any release";
    EXPECT_EQ(t_rcvdis(p.server, nullptr), -1);
    EXPECT_EQ(t_errno, TNODIS) << "unread data is kept when no disconnect has come";
    char c;
    int flags;
    EXPECT_EQ(t_rcv(p.server, &c, 1, &flags), 1);
}

// Guards against a disconnect being lost behind data the program never reads.
TEST(Disconnect, DisconnectBehindUnreadDataDiscardsIt) {
    Pair p;
    std::string data = harness::Pattern(5000);
    ASSERT_EQ(t_snd(p.client, data.data(), 5000, T_MORE), 5000);
    ASSERT_EQ(t_snddis(p.client, nullptr), 0);
    for (int i = 0; i < 200 && t_rcvdis(p.server, nullptr) != 0; ++i)
        ASSERT_EQ(t_errno, TNODIS);
    EXPECT_EQ(t_getstate(p.server), T_IDLE);
    EXPECT_EQ(t_look(p.server), 0);
}

// Guards against SIGPIPE killing a process that sends to a vanished peer.
TEST(Disconnect, SendingToAVanishedPeerNeverRaisesSigpipe) {
    struct sigaction dfl {}, old{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    Pair p;
    linger lg{1, 0};
    setsockopt(p.client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    t_close(p.client);
    p.client = -1;
    std::string data = harness::Pattern(100'000);
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i)
        result = t_snd(p.server, data.data(), static_cast<unsigned>(data.size()), 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(t_errno, TLOOK);
    EXPECT_EQ(t_look(p.server), T_DISCONNECT);
    EXPECT_EQ(TakeDisconnect(p.server), SPX_DISCON_FAILED);
    sigaction(SIGPIPE, &old, nullptr);
}

// Guards against endpoints leaking into programs the process executes.
TEST(Endpoints, AreCloseOnExec) {
    Pair p;
    for (int fd : {p.client, p.server, p.listener.fd})
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "fd " << fd;
}

// Guards against a polling loop of t_look burning a processor.
TEST(Endpoints, PollingTLookForTwoSecondsCostsLittleCpu) {
    Pair p;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end)
        ASSERT_EQ(t_look(p.server), 0);
    getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& r) {
        return r.ru_utime.tv_sec * 1e6 + r.ru_utime.tv_usec + r.ru_stime.tv_sec * 1e6 +
               r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpu(after) - cpu(before), 200'000.0) << "microseconds of CPU in 2 s";
}

// Guards against t_open accepting other providers or half-open endpoints.
TEST(Endpoints, OpenChecksTheProviderAndReportsItsType) {
    t_info info{};
    EXPECT_EQ(t_open("/dev/tcp", O_RDWR, &info), -1);
    EXPECT_EQ(t_errno, TBADNAME);
    int fd = t_open(kDevice, O_RDWR, &info);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(info.servtype, T_COTS_ORD);
    EXPECT_EQ(t_getstate(fd), T_UNBND);
    EXPECT_EQ(t_close(fd), 0);
    EXPECT_EQ(t_getstate(fd), -1);
    EXPECT_EQ(t_errno, TBADF);
}

TEST(Endpoints, BindingATakenSocketIsTAddrBusy) {
    auto l = OpenListener();
    int fd = t_open(kDevice, O_RDWR, nullptr);
    ipxAddr_t want = LoopbackAddress(l.port());
    struct t_bind req {};
    req.addr = {sizeof want, sizeof want, reinterpret_cast<char*>(&want)};
    req.qlen = 1;
    EXPECT_EQ(t_bind(fd, &req, nullptr), -1);
    EXPECT_EQ(t_errno, TADDRBUSY);
    t_close(fd);
    t_close(l.fd);
}
