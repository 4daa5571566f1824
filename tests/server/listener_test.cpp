// varneld's listener and the start of every service child, end to end, on loopback.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
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

// A raw caller's answer: 'x' its CONNECT refused, '-' an abortive end after the accept, '+' other.
char Answer(peer::RawCaller& c) {
    unsigned char f[16]; // the ACCEPT (12 bytes) or DISCON, then the next frame's header
    const ssize_t n = recv(c.fd, f, sizeof f, MSG_WAITALL);
    return n < 4 || f[0] != 2 ? 'x' : n != 16 ? '?' : f[12] == 5 ? '-' : '+';
}

// Wrong status or lines at the end, an end for want of a descriptor, or another default socket.
TEST(Listener, StatusAndLinesWhenItEnds) {
    Daemon taken;
    const std::string usage = " usage: " + kTitle + " [-s<socket>] [-v]";
    const std::tuple<Strings, int, std::string, std::string> rows[] = {
        {{kTitle, "-x"}, 1, usage, ""}, // how each stream begins (standard output after argv[0])
        {{kTitle, "-s"}, 1, usage, ""},
        {{kTitle, "-v", "-s", "zz"}, 1, usage, ""},
        {{kTitle, "-c", "0"}, 1, usage, ""},
        {{kTitle, "-c", "x"}, 1, usage, ""},
        {{kTitle, "-t", "-1"}, 1, usage, ""},
        {{kTitle, "-p", "0"}, 1, usage, ""},
        {{kTitle, "-v", "stray", "-s", "4510"}, 1, usage, ""}, // operands, in POSIX order
        {{kTitle, "-s", HexPort(taken.port()) + "h"}, 255, ": first t_bind failed \n", // as shown
         "t_errno = 23\n"},
    };
    for (const auto& [argv, status, out, err] : rows) {
        const Result r = harness::Run(argv, {}, 20s);
        EXPECT_EQ(r.status, status) << argv.back();
        EXPECT_TRUE(r.out.starts_with(kTitle + out) && r.err.starts_with(err)) << r.out << r.err;
    }
    // An allow file that cannot be read or has a line that does not parse: where, and what.
    ASSERT_EQ(mkfifo((taken.dir() / "fifo").c_str(), 0600), 0);
    for (const auto& [name, text, what] : std::vector<std::array<std::string, 3>>{
             {"none", "", ": No such file or directory"}, // not written, as the FIFO
             {"fifo", "", ": not a regular file"},
             {"prefix", "10.0.0.0/8 copy\n127.0.0.0/33\n", ":2: prefix above /32"}}) {
        const fs::path file = taken.dir() / name;
        if (!text.empty())
            WriteFile(file, text);
        const Result r = harness::Run({kTitle, "-a", file}, {}, 20s);
        EXPECT_TRUE(r.status == 1 && r.out == kTitle + ": " + file.string() + what + "\n") << r.out;
    }
    std::optional<Process> low; // a port found free may be taken before it binds: try again
    for (int attempt = 0; attempt < 5 && (!low || !low->Running()); ++attempt) {
        low.emplace(Strings{"/bin/sh", "-c",
                            "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4 && exec \"$@\"",
                            "sh", kTitle, "-s", HexPort(FreePort())});
        WaitUntil([&] { return !low->Running() || low->Stdout().find("service") != std::string::npos; });
    }
    EXPECT_TRUE(
        low->WaitForOutput(kTitle + ": server open of service stream failed, errno = 24 \n"));
    EXPECT_TRUE(low->WaitForOutput("t_errno = 8\n", true) && !low->Wait(300ms)) << "it ended";

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
    ASSERT_TRUE(caller.SendConnect(0x1234, 0x0056) &&
                caller.SendData(peer::BE(SERV_RSH, 4) + "touch victim", false)); // never run
    // A caller's request, and its child's line on standard output (or standard error).
    const std::tuple<std::optional<std::string>, std::string, bool> rows[] = {
        {std::string("\xFD\0\0\0", 4), "unrecognized command 0xFD000000 ", false}, // little-endian
        {"\xFF\xFF\xFF", "size of command too small 3 ", true},
        {std::nullopt, "t_rcv command failed ", true}, // the caller leaves inside its frame
    };
    const auto leave = [&] { // 20 bytes of a frame that announces 96: a store to "cut"
        peer::RawCaller c(d.port());
        return c.SendConnect() &&
               c.SendBytes(peer::BE(0x03000060, 4) + peer::Record(0xFF, "cut", 16));
    };
    char port[8], from[8];
    std::snprintf(port, 8, "%04X", d.port()), std::snprintf(from, 8, "%04X", caller.localPort);
    Strings onErr{"request from 00000000h 00007F000001h " + std::string(from) +
                  "h cut short in its command line after 16 bytes "},
        onOut; // the caller's line, then those of the rows
    for (const auto& [bytes, line, err] : rows) {
        EXPECT_TRUE(bytes ? Refused(d.port(), *bytes) == SPX_DISCON_TERMINATED : leave());
        (err ? onErr : onOut).push_back(line);
    }
    const std::size_t n = std::size(rows) + 1; // connections, each aborted
    ASSERT_TRUE(d.Passes(2 * n + 1));
    ASSERT_TRUE(
        WaitUntil([&] { return LinesWith(d.Stderr(), "in abort") == Strings(n, "in abort"); }));

    const std::string out = d.Stdout(), err = d.Stderr();
    Strings children = Said(err, "command"); // children end in any order
    std::ranges::sort(children), std::ranges::sort(onErr);
    EXPECT_EQ(children, onErr);
    EXPECT_EQ(Said(out, "command"), onOut);
    const auto local = Said(out, "servers local address", false, false);
    EXPECT_TRUE(local.size() == 1 && local[0].starts_with("servers local address: 00000000h ") &&
                local[0].ends_with("h " + std::string(port) + "h"));
    EXPECT_EQ(Said(out, "listening", false, false),
              Strings(n + 1, "server listening on socket " + std::string(port) + "h"));
    const auto clients = Said(out, "clients ", true, false);
    ASSERT_EQ(clients.size(), 3 * n);
    EXPECT_EQ(
        Strings(clients.begin(), clients.begin() + 3),
        (Strings{"clients IPX address: 00000000h 00007F000001h " + std::string(from) + "h",
                 "clients connection number:  1234h ", "clients allocation number:  0056h "}));
}

// A failed fork or service endpoint that leaves its caller waiting, refuses the next caller that
// could be served, keeps the endpoint, or stops the listener.
TEST(Listener, FailedForkOrEndpoint) {
    // Both ephemeral ports of a network namespace of its own held here: the service endpoint
    // cannot be bound until a caller comes.
    bool isolated = false;
    std::thread([&] {
        isolated = unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up && echo 40000 "
                   "40001 >/proc/sys/net/ipv4/ip_local_port_range") == 0;
        const int other = isolated ? peer::OpenBound() : -1;
        if (const int held = isolated ? peer::OpenBound() : -1; held >= 0 && other >= 0) {
            Daemon n; // on a port below the range
            EXPECT_TRUE(n.process().WaitForOutput(": service stream t_bind failed \n"));
            t_close(held); // the caller comes when a port is free again: it is served
            peer::RawCaller c(n.port(), INADDR_LOOPBACK, 30000); // outside the range
            EXPECT_TRUE(c.SendConnect() && c.SendData(peer::Record(0xFC, ".spxrunid", 80), false));
            EXPECT_EQ(Answer(c), '+');
            t_close(other);
        }
    }).join();
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
    } // the two callers leave, and their children end and are reaped: the next caller is served
    ASSERT_TRUE(WaitUntil([&] { return Children(pid).empty(); }));
    EXPECT_EQ(peer::Store(d.port(), peer::ReceiveRecord("after")), "0 released 236");
    if (!isolated)
        GTEST_SKIP() << "no network namespace of its own here";
}

// Bytes lost or mixed between concurrent stores, or children that spin waiting for the release.
TEST(Listener, ConcurrentStores) {
    Daemon d;
    const int pid = d.process().pid();
    const std::size_t baseline = Descriptors(pid);
    std::vector<std::unique_ptr<peer::Conn>> conns;
    Strings data;
    for (unsigned i = 0; i < 16; ++i) {
        data.push_back(Pattern(60'000 + 997 * i, 100 + i));
        conns.push_back(std::make_unique<peer::Conn>(d.port()));
        ASSERT_TRUE(conns[i]->Send(peer::ReceiveRecord("store" + std::to_string(i))));
        ASSERT_EQ(conns[i]->Recv(1).data, std::string(1, '\0'));
    }
    for (std::size_t at = 0; at < data.back().size(); at += SPX_MAX_DATA)
        for (std::size_t i = 0; i < conns.size(); ++i)
            ASSERT_TRUE(at >= data[i].size() || conns[i]->Send(data[i].substr(at, 534), T_MORE));
    // A store to the name of one not done waits for it, and the file is its alone.
    EXPECT_TRUE(WaitUntil([&] { // what the provider gathered goes out with the look
        return !conns[0]->WaitEvent(1ms) && ReadFile(d.dir() / "store0") == data[0];
    }));
    auto same = std::async(std::launch::async, [&] {
        return peer::Store(d.port(), peer::ReceiveRecord("store0"), {"same"});
    });
    EXPECT_EQ(same.wait_for(500ms), std::future_status::timeout);
    EXPECT_TRUE(ReadFile(d.dir() / "store0") == data[0]) << "emptied while it is stored";
    for (std::size_t i = 0; i < conns.size(); ++i) {
        ASSERT_TRUE(conns[i]->Send("", 0));
        EXPECT_EQ(conns[i]->WaitEvent(), T_ORDREL) << i;
        EXPECT_TRUE(i == 0 || ReadFile(d.dir() / ("store" + std::to_string(i))) == data[i]) << i;
    }
    EXPECT_TRUE(same.get() == "0 released 236" && ReadFile(d.dir() / "store0") == "same");
    const auto cpu = [&] { // nanoseconds the children ran
        unsigned long long sum = 0;
        for (const int k : Children(pid))
            sum += std::stoull(ReadFile("/proc/" + std::to_string(k) + "/schedstat"));
        return sum;
    };
    std::deque<peer::Conn> waiting; // for the release, after the file
    for (int i = 0; i < 50; ++i)
        waiting.emplace_back(d.port()).Send(peer::Record(SERV_SEND_FILE, ".spxrunid", 80));
    ASSERT_TRUE(WaitUntil([&] { return Children(pid).size() == 50; }));
    const auto before = (std::this_thread::sleep_for(300ms), cpu());
    std::this_thread::sleep_for(2s);
    EXPECT_LE(cpu() - before, 20'000'000u) << "ns in 2 s, a busy wait";
    waiting.clear();
    EXPECT_TRUE(WaitUntil([&] { return Descriptors(pid) == baseline; }));
    EXPECT_TRUE(d.process().Running());
}

// More children than -c, a child kept past -t, a moving transfer cut, or one address's flood.
TEST(Listener, ChildAndIdleLimits) {
    Daemon d({"-c", "3", "-t", "1", "-p", "3"});
    const int pid = d.process().pid();
    std::deque<peer::RawCaller> idle;
    for (int i = 0; i < 8; ++i)
        idle.emplace_back(d.port()).SendConnect();
    auto real = std::async(std::launch::async, [&] {
        return peer::Store(d.port(), peer::ReceiveRecord("real"), {"x"});
    });
    std::size_t most = 0;
    while (real.wait_for(10ms) != std::future_status::ready)
        most = std::max(most, Children(pid).size());
    EXPECT_TRUE(real.get() == "0 released 236" && most == 3u) << most; // the store during the flood
    peer::RawCaller drip(d.port());
    peer::Conn stall(d.port()); // its request at once: the child waits at most a second
    const std::string part = Pattern(534, 2);
    ASSERT_TRUE(drip.SendConnect() && stall.Send(peer::ReceiveRecord("stall")) &&
                stall.Recv(1).data.size() == 1 && stall.Send(part, T_MORE) &&
                !stall.WaitEvent(1ms));
    peer::Conn slow(d.port());
    ASSERT_TRUE(slow.Send(peer::ReceiveRecord("slow")) && slow.Recv(1).data.size() == 1);
    peer::RawCaller trickle(d.port()); // one unit whose bytes come slowly is no silence either
    ASSERT_TRUE(trickle.SendConnect() && trickle.SendData(peer::ReceiveRecord("trickle"), false) &&
                trickle.SendBytes(peer::BE(3, 1) + peer::BE(1, 1) + peer::BE(6, 2)));
    for (int i = 0; i < 6; ++i, std::this_thread::sleep_for(500ms))
        EXPECT_TRUE(slow.Send("s", T_MORE) && spx_push(slow.fd) == 0 && trickle.SendBytes("t")),
            drip.SendData(std::string(1, '\0'), true);
    EXPECT_TRUE(slow.Send("", 0) && slow.WaitEvent() == T_ORDREL && trickle.SendData("", false));
    EXPECT_TRUE(ReadFile(d.dir() / "slow") == "ssssss" && ReadFile(d.dir() / "stall") == part);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(d.dir() / "trickle") == "tttttt"; }, 2s));
    // Children that end at once may mix their lines: count them where they are.
    EXPECT_EQ(LinesWith(d.Stderr(), ": t_rcv command failed ").size(), 9u); // and the drip
    EXPECT_EQ(LinesWith(d.Stderr(), ": t_rcv of file data failed ").size(), 1u);
    EXPECT_FALSE(LinesWith(d.Stderr(), std::strerror(ETIMEDOUT)).empty());
    // One address may not take the handshake slots of all: its 17th silent caller is closed.
    std::deque<peer::RawCaller> silent;
    for (int i = 0; i < 17; ++i)
        silent.emplace_back(d.port());
    pollfd p{silent[16].fd, POLLIN, 0};
    char b = 0;
    EXPECT_TRUE(poll(&p, 1, 2000) == 1 && recv(p.fd, &b, 1, 0) <= 0);
    EXPECT_EQ(recv(silent[15].fd, &b, 1, MSG_DONTWAIT), -1); // the 16th is kept
    peer::RawCaller other(d.port(), INADDR_LOOPBACK + 1);    // from 127.0.0.2
    EXPECT_TRUE(other.SendConnect() && WaitUntil([&] { return Children(pid).size() == 1; }, 2s));
    other.Reset();
    silent.clear();
    EXPECT_TRUE(WaitUntil([&] { return Children(pid).empty(); }, 3s));
}

// A service waiting on something else than its caller that outlives it: a FIFO nobody writes
// (send) or reads (store) past the idle limit, a command after its caller has gone.
TEST(Listener, IdleLimitOfWaitingServices) {
    Daemon d({"-c", "3", "-t", "1", "-p", "3"});
    const int pid = d.process().pid();
    const std::string part = Pattern(534, 2);
    for (const char* fifo : {"in", "out"})
        ASSERT_EQ(mkfifo((d.dir() / fifo).c_str(), 0666), 0);
    const int reader = open((d.dir() / "out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    peer::Conn get(d.port()), put(d.port()), run(d.port());
    ASSERT_TRUE(get.Send(peer::Record(SERV_SEND_FILE, "in", 80)) && get.Recv(1).data.size() == 1);
    ASSERT_TRUE(put.Send(peer::ReceiveRecord("out")) && put.Recv(1).data == std::string(1, '\0'));
    for (int i = 0; i < 400 && put.Send(part, T_MORE); ++i) {
    }
    ASSERT_TRUE(run.Send(peer::Record(SERV_RSH, "echo $$ >pid; exec sleep 60", 100)));
    EXPECT_EQ(get.ReceiveDisconnect(), SPX_DISCON_TERMINATED);
    EXPECT_EQ(put.ReceiveDisconnect(), SPX_DISCON_TERMINATED);
    peer::Conn more(d.port()); // in a slot that get or put left
    ASSERT_TRUE(more.Send(peer::Record(SERV_RSH, "head -c 600 /dev/zero; sleep 60", 100)));
    EXPECT_EQ(more.WaitEvent(800ms), T_DATA) << "a full unit held back while the command sleeps";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(d.dir() / "pid"); }, 2s));
    const std::string sleeper = "/proc/" + std::to_string(std::stoi(ReadFile(d.dir() / "pid")));
    EXPECT_TRUE(t_snddis(run.fd, nullptr) == 0 && t_snddis(more.fd, nullptr) == 0);
    EXPECT_TRUE(WaitUntil([&] { return Children(pid).empty() && !fs::exists(sleeper); }, 3s));
    // A FIFO sent ends when its writer does; one stored into ends when its reader goes; what a
    // caller sends beyond its request while its command runs is dropped.
    for (const char* fifo : {"feed", "cut"})
        ASSERT_EQ(mkfifo((d.dir() / fifo).c_str(), 0666), 0);
    const Process writer({"/bin/sh", "-c", "sleep 0.3; (echo hello; sleep 0.6; >closed) >feed"},
                         d.dir());
    peer::Conn fed(d.port()), extra(d.port());
    ASSERT_TRUE(fed.Send(peer::Record(SERV_SEND_FILE, "feed", 80)) && fed.Recv(1).data.size() == 1);
    EXPECT_EQ(fed.Recv(), (peer::Unit{"hello\n", T_MORE}));
    EXPECT_FALSE(fs::exists(d.dir() / "closed")) << "what was read waited for the writer's end";
    EXPECT_EQ(fed.Recv().flags, 0) << "the end unit";
    ASSERT_TRUE(extra.Send(peer::Record(SERV_RSH, "sleep 0.5; echo done", 100)));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(extra.Send("x") && extra.Recv() == (peer::Unit{"done\n", T_MORE}));
    EXPECT_TRUE(extra.Recv().flags == 0 && t_sndrel(extra.fd) == 0);
    const int leaving = open((d.dir() / "cut").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    peer::Conn cut(d.port()); // now: the idle limit would end it while the others go on
    ASSERT_TRUE(cut.Send(peer::ReceiveRecord("cut")) && cut.Recv(1).data == std::string(1, '\0'));
    close(leaving);
    for (int i = 0; i < 200 && cut.Send(part, T_MORE); ++i) {
    }
    EXPECT_NE(cut.ReceiveDisconnect(), -1);
    EXPECT_EQ(LinesWith(d.Stdout(), "caller gone, command hung up").size(), 2u);
    EXPECT_EQ(LinesWith(d.Stderr(), ": read of in failed ").size(), 1u);
    EXPECT_EQ(LinesWith(d.Stderr(), ": write of file data failed ").size(), 2u);
    EXPECT_EQ(LinesWith(d.Stderr(), std::strerror(EPIPE)).size(), 1u);
    close(reader);
    // A store or a fetch of a file that a store holds waits for it no longer than -t: "busy".
    const int held = open((d.dir() / "held").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_TRUE(flock(held, LOCK_EX) == 0 &&
                peer::Store(d.port(), peer::ReceiveRecord("held"), {"x"}) == "16 236");
    peer::Conn fetch(d.port());
    EXPECT_TRUE(fetch.Send(peer::Record(SERV_SEND_FILE, "held", 80)) && fetch.Recv(1).data == "\x10");
    close(held);
}

// Callers beyond their address's share refused, failed or not served in turn, or holding up
// another address; an allow file not obeyed, or not read again on SIGHUP (which ends the daemon).
TEST(Listener, QueueShareAndAllowFile) {
    const std::pair<std::string, std::string> lists[] = { // and what callers get, below
        {"127.0.0.2 fetch copy #\n127.0.0.0/31 store command\n127.0.0.1\n", "+-+- -+-+ xxxx"},
        {"127.0.0.3\n127.0.0.0/30 copy\n127.0.0.3 copy\n", "---+ ---+ ++++"},
        {"127.0.0.3/33\n", "---+ ---+ ++++"}, // refused: the list before stays
        {"", "xxxx xxxx xxxx"}};
    TempDir files;
    const std::string allow = (files / "allow").string();
    WriteFile(allow, lists[0].first);
    Daemon d({"-c", "4", "-a", allow}); // a share of 2 children for an address
    std::deque<peer::Conn> runs; // from 127.0.0.1: the last two wait, their handshakes answered
    for (int i = 0; i < 4; ++i) // a full unit of output, then a long sleep
        ASSERT_TRUE(runs.emplace_back(d.port()).ok &&
                    runs[i].Send(peer::Record(SERV_RSH, "head -c 534 /dev/zero; sleep 60", 100)));
    const std::string fetch = peer::Record(SERV_SEND_FILE, ".spxrunid", 80);
    peer::RawCaller other(d.port(), INADDR_LOOPBACK + 1);
    ASSERT_TRUE(other.SendConnect() && other.SendData(fetch, false));
    EXPECT_EQ(Answer(other), '+') << "127.0.0.2 waited for 127.0.0.1's share";
    WriteFile(d.dir() / "kept", "precious"); // a store that waits, then leaves: never served
    ASSERT_TRUE(peer::Conn(d.port()).Send(peer::ReceiveRecord("kept")));
    EXPECT_EQ(t_snddis(runs[0].fd, nullptr), 0); // its child ends: the first waiting is served
    EXPECT_TRUE(runs[2].WaitEvent() == T_DATA && runs[2].Recv().data.size() == 534 &&
                runs[3].WaitEvent(300ms) == 0);
    runs.clear();

    // What callers from 127.0.0.1, .2, .3 get for store, fetch, command, copy, list by list (the
    // first match decides; SIGHUP reads the file again).
    const std::string requests[] = {peer::ReceiveRecord("stored"), fetch,
                                    peer::Record(SERV_RSH, "true", 100),
                                    peer::Record(SERV_RECV_STDOUT, "", 92)};
    for (const auto& [list, expected] : lists) {
        const std::size_t lines = LinesWith(d.Stdout(), allow).size();
        WriteFile(allow, list);
        kill(d.process().pid(), SIGHUP);
        ASSERT_TRUE(WaitUntil([&] { return LinesWith(d.Stdout(), allow).size() > lines; }));
        std::string got;
        for (std::uint32_t from = 1; from <= 3; ++from, got += ' ')
            for (const std::string& request : requests) {
                peer::RawCaller c(d.port(), INADDR_LOOPBACK + from - 1);
                if (c.SendConnect() && c.SendData(request, false) && request == requests[3])
                    c.SendData("", false); // copy's end; a refused caller's sends may fail
                got += Answer(c);
            }
        EXPECT_EQ(got, expected + " ") << list;
    }
    const std::string entries = allow + ": 3 entries";
    EXPECT_EQ(Said(d.Stdout(), allow, false, false),
              (Strings{entries, entries, allow + ":3: the same address and prefix as line 1, which "
                       "decides", entries, allow + ":1: prefix above /32; the list read before "
                       "stays", allow + ": 0 entries, nobody may call"}));
    EXPECT_TRUE(Said(d.Stdout(), "may not use").size() == 16u &&
                LinesWith(d.Stdout(), "caller 127.0.0.3 refused: no entry").size() == 1);
    EXPECT_EQ(ReadFile(d.dir() / "kept"), "precious");
}

} // namespace
