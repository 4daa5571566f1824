// The listener: callers are read side by side; only valid ones reach the program.
#include <sys/resource.h>

#include <ctime>
#include <memory>

#include "peer.h"

using namespace peer;

// Guards against broken callers of each kind failing t_accept, reaching the program or blocking.
TEST(Listener, HostileCallers) {
    // Silent, garbage, reset and half a CONNECT in turn; with the real one, an address's 16 slots.
    const std::pair<std::string, bool> kinds[] = {{"", false},
                                                  {"GET / HTTP/1.0\r\n\r\n", false},
                                                  {"", true},
                                                  {std::string("\x01\x00\x00\x08\x00", 5), false}};
    Listener l;
    std::optional<RawCaller> hostile[15];
    for (std::size_t i = 0; i < std::size(hostile); ++i) {
        const auto& [bytes, reset] = kinds[i % std::size(kinds)];
        EXPECT_TRUE(hostile[i].emplace(l.port()).SendBytes(bytes));
        if (reset)
            hostile[i]->Reset();
    }
    ipxAddr_t self{};
    const int fd = OpenBound(0, &self);
    int result = -1;
    std::thread caller([&] { result = Connect(fd, l.port()); });
    const auto start = std::chrono::steady_clock::now();
    const int service = WaitEvent(l.fd) == T_LISTEN ? l.Accept() : -1;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "the real caller waited";
    caller.join();
    EXPECT_TRUE(service >= 0 && result == 0) << "t_errno " << t_errno;
    EXPECT_TRUE(l.call.addr.len == sizeof(ipxAddr_t) && spx::GetBE16(l.opts.spx_connectionID) &&
                spx::GetBE16(l.caller.sock) == spx::GetBE16(self.sock)) << "not the real caller";
    t_close(service), t_close(fd);
}

// Guards against a caller gone before its accept failing t_accept, or a refusal left unseen.
TEST(Listener, GoneAndRefusedCallers) {
    Listener l;
    RawCaller gone(l.port());
    ASSERT_TRUE(gone.SendConnect());
    t_call call{};
    ASSERT_TRUE(WaitEvent(l.fd) == T_LISTEN && t_listen(l.fd, &call) == 0);
    gone.Reset();
    const int service = OpenBound(), refused = OpenBound();
    ASSERT_EQ(t_accept(l.fd, service, &call), 0);
    EXPECT_TRUE(t_getstate(l.fd) == T_IDLE && WaitEvent(service) == T_DISCONNECT);
    int result = 0, error = 0;
    std::thread caller([&] { result = Connect(refused, l.port()), error = t_errno; });
    ASSERT_TRUE(WaitEvent(l.fd) == T_LISTEN && t_listen(l.fd, &call) == 0);
    ASSERT_EQ(t_snddis(l.fd, &call), 0);
    caller.join();
    EXPECT_TRUE(result == -1 && error == TLOOK && TakeDisconnect(refused) == SPX_DISCON_TERMINATED);
    t_close(service), t_close(refused);
}

// Guards against a listener with every handshake slot taken spinning, or keeping out a real caller;
// against one address taking more than its share of the slots, or its callers counted as another's.
TEST(Listener, FullTableSleeps) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    if (files.rlim_max < 4096 || setrlimit(RLIMIT_NOFILE, &files) != 0)
        GTEST_SKIP() << "needs 4096 descriptors";
    Listener l;
    const std::size_t before = harness::Descriptors(getpid());
    int listened = -1;
    std::thread waiter([&] { t_call call{}; listened = t_listen(l.fd, &call); });
    { // one address beyond its share of the slots (an eighth): its own oldest gives way at once
        std::vector<std::unique_ptr<RawCaller>> one;
        for (int i = 0; i < 129; ++i)
            one.push_back(std::make_unique<RawCaller>(l.port(), INADDR_LOOPBACK + 200));
        char b = 0;
        EXPECT_TRUE(harness::WaitUntil([&] { return recv(one[0]->fd, &b, 1, MSG_DONTWAIT) == 0; },
                                       3s));
        EXPECT_TRUE(std::all_of(one.begin() + 1, one.end(), [&](const auto& c) {
            return recv(c->fd, &b, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN;
        })) << "another than the oldest gave way";
    }
    std::vector<std::unique_ptr<RawCaller>> silent; // 16 from each of 64 addresses: 1024
    for (std::uint32_t i = 0; i < 1024; ++i)
        silent.push_back(std::make_unique<RawCaller>(l.port(), INADDR_LOOPBACK + 1 + i / 16));
    // All of them taken: each caller's socket and its accepted one are descriptors of ours.
    EXPECT_TRUE(harness::WaitUntil(
        [&] { return harness::Descriptors(getpid()) >= before + 2048; }, 5s));
    const std::clock_t start = std::clock(); // of this process
    std::this_thread::sleep_for(1s);
    EXPECT_LT(std::clock() - start, CLOCKS_PER_SEC / 5) << "of CPU in a second, every slot taken";
    RawCaller real(l.port(), INADDR_LOOPBACK + 100); // the oldest silent caller gives way
    const auto came = std::chrono::steady_clock::now();
    EXPECT_TRUE(real.SendConnect());
    waiter.join();
    EXPECT_TRUE(listened == 0 && std::chrono::steady_clock::now() - came < 2s) << "it waited";
}
