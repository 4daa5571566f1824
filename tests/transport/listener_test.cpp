// The listener: callers are read side by side, only valid ones reach the
// program, and a broken frame from a connected peer fails the connection.
#include "peer.h"

using namespace peer;

// Guards against a hostile or broken caller (of each kind: its bytes, then a
// reset or not) making t_listen or t_accept fail, reaching the program, or
// holding up a real caller behind it (a silent one is dropped only after 5 s).
TEST(HostileCallers, NoneStopsTheListenerOrDelaysARealCaller) {
    const std::tuple<const char*, std::string, bool> kinds[] = {
        {"silent", "", false},
        {"garbage", "GET / HTTP/1.0\r\n\r\n", false},
        {"reset", "", true},
        {"half a CONNECT", std::string("\x01\x00\x00\x08\x00", 5), false},
        {"version 2", std::string("\x01\x00\x00\x08\x00\x02\x00\x00\x12\x34\x00\x08", 12), false},
        {"data first", std::string("\x03\x00\x00\x01x", 5), false},
    };
    for (const auto& [kind, bytes, reset] : kinds) {
        SCOPED_TRACE(kind);
        Listener l;
        std::vector<std::unique_ptr<RawCaller>> hostile;
        for (int i = 0; i < 20; ++i) {
            hostile.push_back(std::make_unique<RawCaller>(l.port()));
            EXPECT_TRUE(hostile.back()->SendBytes(bytes));
            if (reset)
                hostile.back()->Reset();
        }
        ipxAddr_t self{};
        const int fd = OpenBound(0, &self);
        int result = -1;
        std::thread caller([&] { result = Connect(fd, l.port()); });
        const auto start = std::chrono::steady_clock::now();
        const int service = l.Accept();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "the real caller waited";
        caller.join();
        EXPECT_TRUE(service >= 0 && result == 0) << "t_errno " << t_errno;
        EXPECT_EQ(l.call.addr.len, sizeof(ipxAddr_t));
        EXPECT_EQ(std::vector(l.caller.node, l.caller.node + 6),
                  (std::vector<unsigned char>{0, 0, 127, 0, 0, 1}));
        EXPECT_EQ(spx::GetBE16(l.caller.sock), spx::GetBE16(self.sock)) << "not the real caller";
        EXPECT_NE(spx::GetBE16(l.opts.spx_connectionID), 0);
        t_close(service), t_close(fd);
    }
}

// Guards against a caller that leaves before its accept making t_accept fail,
// and against a refused caller being left waiting or given the wrong reason.
TEST(HostileCallers, GoneBeforeTheAcceptOrRefused) {
    Listener l;
    RawCaller gone(l.port());
    ASSERT_TRUE(gone.SendConnect());
    t_call call{};
    ASSERT_EQ(t_listen(l.fd, &call), 0);
    EXPECT_EQ(t_getstate(l.fd), T_INCON);
    gone.Reset();
    const int service = OpenBound(), refused = OpenBound();
    ASSERT_EQ(t_accept(l.fd, service, &call), 0);
    EXPECT_EQ(t_getstate(l.fd), T_IDLE);
    EXPECT_EQ(WaitEvent(service), T_DISCONNECT);

    int result = 0, error = 0;
    std::thread caller([&] { result = Connect(refused, l.port()), error = t_errno; });
    ASSERT_EQ(t_listen(l.fd, &call), 0);
    ASSERT_EQ(t_snddis(l.fd, &call), 0);
    caller.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, TLOOK);
    EXPECT_EQ(TakeDisconnect(refused), SPX_DISCON_TERMINATED);
    t_close(service), t_close(refused);
}

// Guards against a malformed frame from a connected peer being taken as
// data: the connection fails (reason 237) after what came before it.
TEST(ProtocolErrors, MalformedFramesFailTheConnection) {
    const std::pair<const char*, std::string> cases[] = {
        {"unknown type", std::string("\x09\x00\x00\x00", 4)},
        {"unknown flag", std::string("\x03\x02\x00\x00", 4)},
        {"release with a payload", std::string("\x04\x00\x00\x01\x00", 5)},
        {"disconnect of the wrong length", std::string("\x05\x00\x00\x02\x00\x00", 6)},
        {"a second CONNECT", std::string("\x01\x00\x00\x08\x00\x01\x00\x00\x00\x00\x00\x00", 12)},
        {"data after a release", std::string("\x04\x00\x00\x00\x03\x00\x00\x00", 8)},
    };
    for (const auto& [why, frame] : cases) {
        SCOPED_TRACE(why);
        Pair p;
        ASSERT_TRUE(Send(p.client, "ok"));
        // The endpoint is the TCP socket: these bytes go around the provider.
        ASSERT_EQ(send(p.client, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
        EXPECT_EQ(Receive(p.server), Unit{"ok"});
        int ev = WaitEvent(p.server);
        if (ev == T_ORDREL && t_rcvrel(p.server) == 0)
            ev = WaitEvent(p.server);
        EXPECT_EQ(ev, T_DISCONNECT);
        EXPECT_EQ(TakeDisconnect(p.server), SPX_DISCON_FAILED);
    }
}
