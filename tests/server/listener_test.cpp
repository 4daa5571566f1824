// varneld's listener and the start of every service child, end to end: the
// real daemon on a free loopback socket, driven by TLI clients and raw callers.
#include <memory>

#include "peer.h"

namespace {

using namespace harness;

const std::string kTitle = Bin("varneld").string();

// One connection that sends bytes: the reason of the disconnect that ends it.
int Refused(int port, std::string_view bytes) {
    peer::Conn c(port);
    c.Send(bytes);
    return c.ReceiveDisconnect();
}

// Wrong status or lines at the end, an end for want of a descriptor, or another default socket.
TEST(Listener, StatusAndLinesWhenItEnds) {
    Daemon taken;
    const std::string usage = " usage: " + kTitle + " [-s<socket>] [-v]";
    const std::tuple<Strings, int, std::string, std::string> rows[] = {
        {{kTitle, "-x"}, 1, usage, ""}, // how each stream begins (standard output after argv[0])
        {{kTitle, "-s"}, 1, usage, ""},
        {{kTitle, "-v", "-s", "zz"}, 1, usage, ""},
        {{kTitle, "-s", HexPort(taken.port())}, 255, ": first t_bind failed \n", "t_errno = 23\n"},
    };
    for (const auto& [argv, status, out, err] : rows) {
        const Result r = harness::Run(argv, {}, 20s);
        EXPECT_EQ(r.status, status) << argv.back();
        EXPECT_TRUE(r.out.starts_with(kTitle + out) && r.err.starts_with(err)) << r.out << r.err;
    }
    Process low({"/bin/sh", "-c",
                 "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4 && exec \"$@\"", "sh",
                 kTitle, "-s", HexPort(FreePort())});
    EXPECT_TRUE(
        low.WaitForOutput(kTitle + ": server open of service stream failed, errno = 24 \n"));
    EXPECT_TRUE(low.WaitForOutput("t_errno = 8\n", true) && !low.Wait(300ms)) << "it ended";

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
                          : peer::Conn(d.port()).ok);
    ASSERT_TRUE(d.Passes(9));
    ASSERT_TRUE(
        WaitUntil([&] { return LinesWith(d.Stderr(), "in abort") == Strings(4, "in abort"); }));

    const std::string out = d.Stdout(), err = d.Stderr();
    char port[8], from[8];
    std::snprintf(port, 8, "%04X", d.port()), std::snprintf(from, 8, "%04X", caller.localPort);
    EXPECT_EQ(Said(err, "command"), (Strings{"size of command too small 3 ", rows[2].second}));
    EXPECT_EQ(Said(out, "command"), (Strings{rows[0].second, rows[1].second}));
    const auto local = Said(out, "servers local address", false, false);
    EXPECT_TRUE(local.size() == 1 && local[0].starts_with("servers local address: 00000000h ") &&
                local[0].ends_with("h " + std::string(port) + "h"));
    EXPECT_EQ(Said(out, "listening", false, false),
              Strings(5, "server listening on socket " + std::string(port) + "h"));
    const auto clients = Said(out, "clients ", true, false);
    ASSERT_EQ(clients.size(), 12u);
    EXPECT_EQ(
        Strings(clients.begin(), clients.begin() + 3),
        (Strings{"clients IPX address: 00000000h 00007F000001h " + std::string(from) + "h",
                 "clients connection number:  1234h ", "clients allocation number:  0056h "}));
}

// A failed fork that leaves its caller waiting, keeps the endpoint, or stops the listener.
TEST(Listener, FailedForkDisconnectsTheCaller) {
    // In a user namespace of its own only the daemon and its children count against its
    // limit of three processes; the superuser's would be exempt, so it runs as the account.
    Daemon d({}, {"/usr/bin/unshare", "--map-current-user", "/usr/bin/prlimit", "--nproc=3:"},
             true);
    if (!d.started())
        GTEST_SKIP() << "no user namespace with a process limit of its own here: " << d.Stderr();
    const int pid = d.process().pid();
    {
        peer::Conn a(d.port()), b(d.port()); // two children wait for their requests
        ASSERT_TRUE(d.Passes(5));
        const std::size_t before = Descriptors(pid);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(Refused(d.port(), "ab"), SPX_DISCON_TERMINATED) << i;
        ASSERT_TRUE(d.Passes(11));
        EXPECT_EQ(Said(d.Stderr(), "fork", true, false), Strings(3, "fork failed"));
        EXPECT_EQ(Descriptors(pid), before);
    } // the two callers leave, and their children end
    // Ended children are reaped at the start of a pass: the first caller after them may be refused.
    const auto served = [&] {
        return peer::Store(d.port(), peer::ReceiveRecord("after")) == "0 released 236";
    };
    EXPECT_TRUE(served() || served());
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
        ASSERT_EQ(conns[i]->Recv(1).data, std::string(1, '\0'));
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
