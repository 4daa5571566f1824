// varneld's listener and the start of every service child, end to end: the
// real daemon on a free loopback socket, driven by TLI clients and raw callers.
#include <signal.h>

#include <memory>

#include "daemon.h"

namespace {

using namespace srv;

// One connection that sends bytes: the reason of the disconnect that ends it.
int Refused(int port, std::string_view bytes) {
    peer::Conn c(port);
    c.Send(bytes);
    return c.ReceiveDisconnect();
}

std::size_t Descriptors(int pid) {
    const fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(it, fs::directory_iterator{}));
}

// A listener that ends with the wrong status or lines, or binds another default socket.
TEST(Listener, StatusAndLinesWhenItEnds) {
    Daemon taken;
    const std::string usage = " usage: " + kTitle + " [-s<socket>] [-v]\n" +
                              "       socket:    local socket number (0x4000 - 0x5000\n" +
                              "       -v : verbose \n";
    const struct {
        Strings argv;
        int status;
        std::string out, err; // how each stream begins (standard output after argv[0])
    } rows[] = {
        {{kTitle, "-x"}, 1, usage, ""},
        {{kTitle, "-s"}, 1, usage, ""},
        {{kTitle, "-v", "-s", "zz"}, 1, usage, ""},
        {{kTitle, "-s", HexPort(taken.port())}, 255, ": first t_bind failed \n", "t_errno = 23\n"},
        // No descriptor for a service endpoint: the loop ends, status 0.
        {{"/bin/sh", "-c", "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4 && exec \"$@\"",
          "sh", kTitle, "-s", HexPort(FreePort())},
         0,
         ": server open of service stream failed, errno = 24 \n",
         "t_errno = 8\n"},
    };
    for (const auto& row : rows) {
        const Result r = harness::Run(row.argv, {}, 20s);
        EXPECT_EQ(r.status, row.status) << row.argv.back();
        EXPECT_TRUE(r.out.starts_with(kTitle + row.out)) << r.out;
        EXPECT_TRUE(r.err.starts_with(row.err)) << r.err;
    }

    Process p({kTitle, "-v"}); // without -s
    ASSERT_TRUE(WaitUntil([&] { return !p.Running() || !LinesWith(p.Stderr(), "spxfd").empty(); }));
    if (p.Stdout().find("first t_bind failed") != std::string::npos)
        GTEST_SKIP() << "socket 4500h (TCP port 17664) is taken on this host";
    EXPECT_EQ(Said(p.Stdout(), "listening", false, false),
              Strings{"server listening on socket 4500h"});
}

// A pass or a refused request whose lines are missing or wrong, or whose child does not abort.
TEST(Listener, LinesOfEveryPassAndRefusedRequests) {
    Daemon d({"-v"});
    peer::RawCaller caller(d.port());
    ASSERT_TRUE(caller.SendConnect(0x1234, 0x0056) && caller.SendData("\xFF\xFF\xFF", false));
    const std::pair<std::optional<std::string>, std::string> rows[] = {
        {std::string("\xFD\0\0\0", 4), "unrecognized command 0xFD000000 "}, // little-endian
        {std::string("\0\0\0\x01zzzz", 8), "unrecognized command 0x00000001 "},
        {std::nullopt, "t_rcv command failed "}, // the caller leaves before its request
    };
    for (const auto& [bytes, line] : rows)
        EXPECT_TRUE(bytes ? Refused(d.port(), *bytes) == SPX_DISCON_TERMINATED
                          : peer::Conn(d.port()).ok());
    ASSERT_TRUE(Passes(d.process(), 9));
    ASSERT_TRUE(
        WaitUntil([&] { return LinesWith(d.Stderr(), "in abort") == Strings(4, "in abort"); }));

    const auto hex = [](int p) {
        char h[8];
        return std::string(h, std::snprintf(h, 8, "%04X", p));
    };
    const std::string out = d.Stdout(), err = d.Stderr(), port = hex(d.port());
    EXPECT_EQ(Said(err, "command"), (Strings{"size of command too small 3 ", rows[2].second}));
    EXPECT_EQ(Said(out, "command"), (Strings{rows[0].second, rows[1].second}));
    const auto local = Said(out, "servers local address", false, false);
    EXPECT_TRUE(local.size() == 1 && local[0].starts_with("servers local address: 00000000h ") &&
                local[0].ends_with("h " + port + "h"));
    EXPECT_EQ(Said(out, "listening", false, false),
              Strings(5, "server listening on socket " + port + "h"));
    const auto types = LinesWith(out, "provider type");
    ASSERT_EQ(types.size(), 5u);
    for (std::size_t i = 0; i < types.size(); ++i)
        EXPECT_EQ(Body(types[i], i > 0, false), "provider type = 2 ");
    const auto clients = Said(out, "clients ", true, false);
    ASSERT_EQ(clients.size(), 12u);
    EXPECT_EQ(
        Strings(clients.begin(), clients.begin() + 3),
        (Strings{"clients IPX address: 00000000h 00007F000001h " + hex(caller.localPort()) + "h",
                 "clients connection number:  1234h ", "clients allocation number:  0056h "}));
    const auto states = LinesWith(err, "spxfd = ");
    for (std::size_t i = 0; i < states.size(); ++i)
        EXPECT_EQ(states[i], states[0].substr(0, states[0].find(',')) + ", state = " + "24"[i % 2]);
}

// A failed fork that leaves its caller waiting, keeps the endpoint, or stops the listener.
TEST(Listener, FailedForkDisconnectsTheCaller) {
    // In a user namespace of its own only the daemon and its children count against its
    // limit of three processes; the superuser's would be exempt, so it runs as the account.
    auto wrapper = AsRunAsAccount();
    wrapper.insert(wrapper.end(),
                   {"/usr/bin/unshare", "--user", "--map-user=" + std::to_string(Account().pw_uid),
                    "--map-group=" + std::to_string(Account().pw_gid), "/usr/bin/prlimit",
                    "--nproc=3:"});
    Wrapped d(wrapper);
    if (!d.started)
        GTEST_SKIP() << "no user namespace with a process limit of its own here: " << d.why();
    const int pid = d.p->pid();
    peer::Conn a(d.port), b(d.port); // two children wait for their requests
    ASSERT_TRUE(Passes(*d.p, 5));
    const std::size_t before = Descriptors(pid);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Refused(d.port, "ab"), SPX_DISCON_TERMINATED) << i;
    ASSERT_TRUE(Passes(*d.p, 11));
    EXPECT_EQ(Said(d.p->Stderr(), "fork", true, false), Strings(3, "fork failed"));
    EXPECT_EQ(Descriptors(pid), before);

    for (int kid : Children(pid))
        kill(kid, SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return Children(pid).empty(); }));
    EXPECT_EQ(Store(d.port, peer::ReceiveRecord("after"), {"served"}), "0 released 236");
}

// Bytes lost or mixed between concurrent stores, or a listener hurt by callers that never ask.
TEST(Listener, ConcurrentStoresAmidHostileCallers) {
    Daemon d;
    const std::size_t baseline = Descriptors(d.process().pid());
    peer::RawCaller silent(d.port());
    std::vector<std::unique_ptr<peer::Conn>> conns;
    Strings data;
    for (unsigned i = 0; i < 16; ++i) {
        data.push_back(Pattern(60'000 + 997 * i, 100 + i));
        conns.push_back(std::make_unique<peer::Conn>(d.port()));
        ASSERT_TRUE(conns[i]->Send(peer::ReceiveRecord("store" + std::to_string(i))));
        ASSERT_EQ(conns[i]->Recv(1)->data, std::string(1, '\0'));
    }
    for (std::size_t at = 0; at < data.back().size(); at += SPX_MAX_DATA) {
        if (at == 40 * SPX_MAX_DATA) { // callers that never make a request, amid the data
            peer::RawCaller(d.port()).SendBytes("GET / HTTP/1.0\r\n\r\n");
            peer::RawCaller(d.port()).SendBytes(std::string("\x01\x00\x00", 3)); // half a frame
            peer::RawCaller connected(d.port()), reset(d.port());
            connected.SendConnect();
            connected.SendBytes(Pattern(300, 1)); // garbage after the first frame
            reset.SendConnect();
            reset.Reset();
        }
        for (std::size_t i = 0; i < conns.size(); ++i)
            ASSERT_TRUE(at >= data[i].size() || conns[i]->Send(data[i].substr(at, 534), T_MORE));
    }
    for (std::size_t i = 0; i < conns.size(); ++i) {
        ASSERT_TRUE(conns[i]->Send("", 0));
        EXPECT_EQ(conns[i]->WaitEvent(), T_ORDREL) << i;
        EXPECT_TRUE(ReadFile(d.dir() / ("store" + std::to_string(i))) == data[i]) << i;
    }
    silent.Close();
    EXPECT_TRUE(WaitUntil([&] { return Descriptors(d.process().pid()) == baseline; }));
    EXPECT_TRUE(d.process().Running());
}

} // namespace
