// varneld's listener and the start of every service child, end to end, on loopback.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <ranges>
#include <sstream>

#include "peer.h"

namespace {

using namespace harness;

const std::string kTitle = Bin("varneld").string();

// A raw caller's answer within wait: 'x' its CONNECT refused, '-' an abortive end after the
// accept, '+' a unit after it, '.' accepted and waiting, '?' none yet.
char Answer(peer::RawCaller& c, std::chrono::milliseconds wait = 10s) {
    unsigned char f[16]; // the ACCEPT (12 bytes) or DISCON, then the next frame's header
    ssize_t n = -1;
    WaitUntil([&] { return (n = recv(c.fd, f, sizeof f, MSG_PEEK | MSG_DONTWAIT)) >= 16 ||
                           n == 0 || (n >= 4 && f[0] != 2); }, wait);
    return n < 0 ? '?' : n < 4 || f[0] != 2 ? 'x' : n < 16 ? '.' : f[12] == 5 ? '-' : '+';
}
// The answers callers have now, from the first-th on.
std::string Answers(std::deque<peer::RawCaller>& callers, std::size_t first = 0) {
    std::string got;
    for (std::size_t i = first; i < callers.size(); ++i)
        got += Answer(callers[i], 0ms);
    return got;
}

// Wrong status or lines at the end, an end for want of a descriptor, or another default socket.
TEST(Listener, StatusAndLinesWhenItEnds) {
    Daemon taken;
    const std::string usage = " usage: " + kTitle + " [-s<socket>] [-v]";
    // A line no option takes: the usage on standard output, after argv[0] (POSIX order).
    for (const Strings& args : {Strings{"-x"}, {"-s"}, {"-v", "-s", "zz"}, {"-c", "0"}, {"-c", "x"},
                                {"-t", "-1"}, {"-p", "0"}, {"-v", "stray", "-s", "4510"}}) {
        Strings argv{kTitle};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = harness::Run(argv, {}, 20s);
        EXPECT_TRUE(r.status == 1 && r.out.starts_with(kTitle + usage)) << args.back() << r.out;
    }
    const Result bound = harness::Run({kTitle, "-s", HexPort(taken.port()) + "h"}, {}, 20s);
    EXPECT_TRUE(bound.status == 255 && bound.out.starts_with(kTitle + ": first t_bind failed \n") &&
                bound.err.starts_with("t_errno = 23\n")) << bound.out << bound.err; // as shown
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
    const auto refused = [&](const std::string& bytes) { // a connection that sends them
        peer::Conn c(d.port());
        return c.Send(bytes) && c.ReceiveDisconnect() == SPX_DISCON_TERMINATED;
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
        EXPECT_TRUE(bytes ? refused(*bytes) : leave());
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
// could be served, keeps the endpoint, or stops the listener; a fork shortage that refuses
// waiting callers.
TEST(Listener, FailedForkOrEndpoint) {
    // Both ephemeral ports of a network namespace of its own held here: the service endpoint
    // cannot be bound until a caller comes, nor for the first caller; the second is served.
    bool isolated = false;
    const std::string fetch = peer::Record(0xFC, ".spxrunid", 80);
    std::thread([&] {
        isolated = unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up && echo 40000 "
                   "40001 >/proc/sys/net/ipv4/ip_local_port_range") == 0;
        const int other = isolated ? peer::OpenBound() : -1;
        if (const int held = isolated ? peer::OpenBound() : -1; held >= 0 && other >= 0) {
            Daemon n; // on a port below the range
            EXPECT_TRUE(n.process().WaitForOutput(": service stream t_bind failed \n"));
            peer::RawCaller first(n.port(), INADDR_LOOPBACK, 30000); // outside the range
            EXPECT_TRUE(first.Ask(fetch) && Answer(first) == 'x');
            t_close(held); // a port is free again: the next caller is served
            peer::RawCaller c(n.port(), INADDR_LOOPBACK, 30001);
            EXPECT_TRUE(c.Ask(fetch) && Answer(c) == '+');
            t_close(other);
        }
    }).join();
    // In a user namespace of its own only the daemon and its children count against its
    // limit of three processes; the superuser's would be exempt, so it runs as the account.
    Daemon d({"-p", "2"}, {"/usr/bin/unshare", "--map-current-user", "/usr/bin/prlimit",
                           "--nproc=3:"}, true);
    if (!d.started())
        GTEST_SKIP() << "no user namespace with a process limit of its own here: " << d.Stderr();
    const auto limit = [&, pw = *getpwnam(RunAsAccount().c_str())](std::string n) { // as it runs,
        return harness::Run({"/usr/bin/setpriv", "--reuid=" + std::to_string(pw.pw_uid), // by its
                             "--regid=" + std::to_string(pw.pw_gid), "--keep-groups", // account
                             "/usr/bin/prlimit", "--pid=" + std::to_string(d.process().pid()),
                             "--nproc=" + n + ":"}).status; // (a superuser here may not)
    };
    std::deque<peer::RawCaller> queued; // from 127.0.0.1 beyond its share: they wait
    {
        peer::Conn a(d.port()), b(d.port()); // two children wait for their requests
        ASSERT_TRUE(d.Passes(5));
        const std::size_t before = Descriptors(d.process().pid());
        for (int i = 0; i < 3; ++i) { // from 127.0.0.2: no process for them
            peer::RawCaller c(d.port(), INADDR_LOOPBACK + 1);
            EXPECT_TRUE(c.SendConnect() && Answer(c) == '-') << i;
        }
        ASSERT_TRUE(d.Passes(11));
        EXPECT_EQ(Said(d.Stderr(), "fork", true, false), Strings(3, "fork failed"));
        EXPECT_EQ(Descriptors(d.process().pid()), before);
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(queued.emplace_back(d.port()).Ask(fetch));
        EXPECT_EQ(limit("1"), 0); // a shortage
    } // the two callers leave and their children end: their places find no process
    EXPECT_TRUE(WaitUntil([&] { return LinesWith(d.Stderr(), "fork failed").size() >= 4; }));
    EXPECT_EQ(Answers(queued), "....") << "a waiting caller refused while forks fail";
    EXPECT_EQ(limit("3"), 0); // forks recover
    EXPECT_TRUE(WaitUntil([&] { return Answers(queued) == "++.."; }));
    if (!isolated)
        GTEST_SKIP() << "no network namespace of its own here";
}

// Bytes lost or mixed between concurrent stores, a store that waits for a file spoiling it, a
// fetch held up by another of the same file, or children that spin waiting for the release.
TEST(Listener, ConcurrentStores) {
    Daemon d({"-t", "0"}); // no limit: a store waits for a file as long as it takes
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
    // A store to the name of one not done waits for it, and empties it then, though it opened
    // it empty; one whose caller leaves meanwhile ends at once and never touches the file.
    auto same = std::async(std::launch::async, [&] {
        return peer::Store(d.port(), peer::ReceiveRecord("store0"), {"same"});
    });
    std::optional<peer::Conn> gone(d.port());
    ASSERT_TRUE(gone->Send(peer::ReceiveRecord("store1")));
    ASSERT_TRUE(WaitUntil([&] { return Children(pid).size() == 18; }));
    gone.reset();
    EXPECT_TRUE(WaitUntil([&] { return Children(pid).size() == 17; }, 2s)) << "a store kept";
    for (std::size_t at = 0; at < data.back().size(); at += SPX_MAX_DATA)
        for (std::size_t i = 0; i < conns.size(); ++i)
            ASSERT_TRUE(at >= data[i].size() || conns[i]->Send(data[i].substr(at, 534), T_MORE));
    EXPECT_TRUE(WaitUntil([&] { // what the provider gathered goes out with the look
        return !conns[0]->WaitEvent(1ms) && ReadFile(d.dir() / "store0") == data[0];
    }));
    EXPECT_EQ(same.wait_for(500ms), std::future_status::timeout);
    EXPECT_TRUE(ReadFile(d.dir() / "store0") == data[0]) << "emptied while it is stored";
    for (std::size_t i = 0; i < conns.size(); ++i) {
        ASSERT_TRUE(conns[i]->Send("", 0));
        EXPECT_EQ(conns[i]->WaitEvent(), T_ORDREL) << i;
        EXPECT_TRUE(i == 0 || ReadFile(d.dir() / ("store" + std::to_string(i))) == data[i]) << i;
    }
    EXPECT_TRUE(same.get() == "0 released 236" && ReadFile(d.dir() / "store0") == "same");
    // Fetches of one file go side by side; one whose caller takes nothing ends once it is gone.
    WriteFile(d.dir() / "big", std::string(8 << 20, 'b'));
    peer::Conn hog(d.port()), second(d.port());
    const std::string fetchBig = peer::Record(SERV_SEND_FILE, "big", 80);
    ASSERT_TRUE(hog.Send(fetchBig) && hog.Recv(1).data == std::string(1, '\0'));
    ASSERT_TRUE(second.Send(fetchBig) && second.WaitEvent(5s) == T_DATA && !second.Recv(1).flags);
    std::size_t fetched = 0; // and the end unit's byte
    for (peer::Unit u{"", T_MORE}; u.flags == T_MORE; fetched += u.data.size())
        u = second.Recv();
    EXPECT_EQ(fetched, (8u << 20) + 1);
    EXPECT_TRUE(t_sndrel(second.fd) == 0 && t_snddis(hog.fd, nullptr) == 0);
    EXPECT_TRUE(WaitUntil([&] { return Children(pid).size() == 1; }, 2s)) << "a send kept";
    EXPECT_EQ(t_snddis(second.fd, nullptr), 0);
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

// More children than -c, a child kept past -t, a moving transfer cut, one address's flood, or a
// service waiting on something else than its caller that outlives it.
TEST(Listener, ChildAndIdleLimits) {
    Daemon d({"-c", "3", "-t", "1", "-p", "3"});
    const int pid = d.process().pid();
    std::deque<peer::RawCaller> idle;
    for (int i = 0; i < 8; ++i)
        idle.emplace_back(d.port()).SendConnect();
    auto real = std::async(std::launch::async, [&] {
        return peer::Store(d.port(), peer::ReceiveRecord("real"), {"x"});
    });
    EXPECT_EQ(real.get(), "0 released 236"); // the store during the flood
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
    EXPECT_EQ(
        LinesWith(d.Stderr(), ": the -t limit of 1 s ran out: nothing came from the caller").size(),
        10u); // each says so

    // One address's burst waits its turn and takes no other's: 40 callers of one address in
    // their handshake are all kept, and a caller of another address is served at once.
    std::deque<peer::RawCaller> silent;
    for (int i = 0; i < 40; ++i)
        silent.emplace_back(d.port());
    peer::RawCaller other(d.port(), INADDR_LOOPBACK + 1); // from 127.0.0.2
    EXPECT_TRUE(other.SendConnect() && WaitUntil([&] { return Children(pid).size() == 1; }, 2s));
    char b = 0;
    EXPECT_TRUE(std::ranges::all_of(silent, [&](const peer::RawCaller& c) {
        return recv(c.fd, &b, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN;
    })) << "a caller of the burst was turned away";
    other.Reset();
    silent.clear();
    EXPECT_TRUE(WaitUntil([&] { return Children(pid).empty(); }, 3s));

    // A service waiting on something else than its caller that outlives it: a FIFO nobody writes
    // (send) or reads (store) past the idle limit, a command as soon as its caller has gone,
    // also after an early release.
    for (const char* fifo : {"in", "out"})
        ASSERT_EQ(mkfifo((d.dir() / fifo).c_str(), 0666), 0);
    const int reader = open((d.dir() / "out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    peer::Conn get(d.port()), put(d.port()), run(d.port());
    ASSERT_TRUE(get.Send(peer::Record(SERV_SEND_FILE, "in", 80)) && get.Recv(1).data.size() == 1);
    ASSERT_TRUE(put.Send(peer::ReceiveRecord("out")) && put.Recv(1).data == std::string(1, '\0'));
    for (int i = 0; i < 400 && put.Send(part, T_MORE); ++i) {
    }
    ASSERT_TRUE(run.Send(peer::Record(SERV_RSH, "echo $$ >>pids; exec sleep 60", 100)));
    EXPECT_EQ(get.ReceiveDisconnect(), SPX_DISCON_TERMINATED);
    EXPECT_EQ(put.ReceiveDisconnect(), SPX_DISCON_TERMINATED);
    peer::Conn more(d.port()), early(d.port()); // in the slots that get and put left
    ASSERT_TRUE(more.Send(peer::Record(SERV_RSH, "head -c 600 /dev/zero; sleep 60", 100)));
    ASSERT_TRUE(early.Send(peer::Record(SERV_RSH, "echo $$ >>pids; exec sleep 60", 100)));
    EXPECT_EQ(more.WaitEvent(800ms), T_DATA) << "a full unit held back while the command sleeps";
    const auto sleeping = [&] { // of the commands that wrote their pids
        std::istringstream pids(ReadFile(d.dir() / "pids"));
        const auto alive = [](int p) { return fs::exists("/proc/" + std::to_string(p)); };
        return std::ranges::count_if(std::views::istream<int>(pids), alive);
    };
    ASSERT_TRUE(WaitUntil([&] { return sleeping() == 2; }, 2s));
    EXPECT_TRUE(t_sndrel(early.fd) == 0 && !early.WaitEvent(200ms) && !t_snddis(early.fd, nullptr));
    EXPECT_TRUE(t_snddis(run.fd, nullptr) == 0 && t_snddis(more.fd, nullptr) == 0);
    EXPECT_TRUE(WaitUntil([&] { return Children(pid).empty() && sleeping() == 0; }, 3s));
    // A caller that takes no output is hung up once -t has passed, however the wait goes.
    peer::Conn flood(d.port());
    ASSERT_TRUE(flood.Send(peer::Record(SERV_RSH, "yes", 100)));
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_TRUE(d.process().WaitForOutput("output undelivered, command hung up"));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms);
    // A FIFO sent ends when its writer does; one stored into ends when its reader goes; what a
    // caller sends beyond its request while its command runs is dropped.
    for (const char* fifo : {"feed", "cut"})
        ASSERT_EQ(mkfifo((d.dir() / fifo).c_str(), 0666), 0);
    const Process writer({"/bin/sh", "-c", "sleep 0.3; (echo hello; sleep 0.6; >closed) >feed"},
                         d.dir());
    peer::Conn fed(d.port());
    ASSERT_TRUE(fed.Send(peer::Record(SERV_SEND_FILE, "feed", 80)) && fed.Recv(1).data.size() == 1);
    EXPECT_EQ(fed.Recv(), (peer::Unit{"hello\n", T_MORE}));
    EXPECT_FALSE(fs::exists(d.dir() / "closed")) << "what was read waited for the writer's end";
    EXPECT_EQ(fed.Recv().flags, 0) << "the end unit";
    peer::Conn extra(d.port()); // now: its request must come within -t of its accept
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
    EXPECT_EQ(LinesWith(d.Stdout(), "caller gone, command hung up").size(), 3u);
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

// One address's crowd beyond -c and the descriptors shutting out another address's caller, ending
// the daemon, or leaving descriptors behind: 100 callers of 127.0.0.1 that never release, then one
// of 127.0.0.2, against 128 descriptors; served at once with a slot free, else given a place.
TEST(Listener, CrowdOfOneAddress) {
    for (const auto& [share, want] : {std::pair{"1", '+'}, {"2", '.'}}) {
        Daemon d({"-c", "2", "-p", share}, {"/usr/bin/prlimit", "--nofile=128:128"});
        ASSERT_TRUE(d.started()) << d.Stdout() << d.Stderr();
        const int pid = d.process().pid();
        const std::size_t baseline = Descriptors(pid);
        const std::string fetch = peer::Record(SERV_SEND_FILE, ".spxrunid", 80);
        std::deque<peer::RawCaller> crowd;
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(crowd.emplace_back(d.port()).Ask(fetch)) << i;
        peer::RawCaller other(d.port(), INADDR_LOOPBACK + 1);
        ASSERT_TRUE(other.Ask(fetch));
        EXPECT_EQ(Answer(other, 2s), want) << "the other address's caller, -p " << share;
        // Each of the crowd served, waiting or refused; none left unanswered once all have come.
        EXPECT_TRUE(WaitUntil([&] { return Answers(crowd).find('?') == std::string::npos; }));
        const std::string got = Answers(crowd);
        EXPECT_TRUE(got.find('x') != got.npos && got.find('.') != got.npos) << got;
        crowd.clear();
        EXPECT_EQ(Answer(other), '+');
        other.Reset();
        const auto settled = [&] { return Children(pid).empty() && Descriptors(pid) == baseline; };
        EXPECT_TRUE(WaitUntil(settled)) << Descriptors(pid) << " " << baseline;
        EXPECT_TRUE(d.process().Running());
    }
}

// Children miscounted against -c or -p (by default half of -c), a burst of one address refused,
// or a waiting caller held up behind another address's at its share: what callers of 127.0.0.1 (a
// command: a unit, then a long sleep) and 127.0.0.2 (a fetch, held until the release) get in the
// order they come, then once the first has gone.
TEST(Listener, QueueAndShare) {
    const std::string fetch = peer::Record(SERV_SEND_FILE, ".spxrunid", 80),
                      run = peer::Record(SERV_RSH, "head -c 534 /dev/zero; sleep 60", 100);
    const struct {
        Strings options;
        std::string from, before, after; // see Answer
    } rows[] = {
        {{"-c", "3", "-p", "2"}, "1122", "+++.", "+++"},
        {{"-c", "4"}, std::string(23, '1') + "2", "++" + std::string(21, '.') + "+",
         "++" + std::string(20, '.') + "+"},
        {{"-c", "2", "-p", "1"}, "1221", "++..", "+.+"},
    };
    for (const auto& [options, from, before, after] : rows) {
        Daemon d(options);
        std::deque<peer::RawCaller> callers;
        const auto answers = [&](std::size_t first, const std::string& want) {
            WaitUntil([&] { return Answers(callers, first) == want; }, 5s);
            std::this_thread::sleep_for(300ms); // and no more is served meanwhile
            return Answers(callers, first);
        };
        for (const char address : from) {
            peer::RawCaller& c = callers.emplace_back(d.port(), INADDR_LOOPBACK + (address - '1'));
            ASSERT_TRUE(c.Ask(address == '1' ? run : fetch)); // each answered before the next
            ASSERT_TRUE(WaitUntil([&] { return Answer(c, 0ms) != '?'; }));
        }
        EXPECT_EQ(answers(0, before), before) << options[1];
        callers[0].Reset();
        EXPECT_EQ(answers(1, after), after) << options[1];
    }
}

// Callers not served in turn, or a waiting store served after its caller left; an allow file not
// obeyed, or not read again on SIGHUP (which ends the daemon).
TEST(Listener, QueueShareAndAllowFile) {
    const std::pair<std::string, std::string> lists[] = { // and what callers get, below
        {"127.0.0.2 fetch copy #\n127.0.0.0/31 store command\n127.0.0.1\n", "+-+- -+-+ xxxx"},
        {"127.0.0.3\n127.0.0.0/30 copy\n127.0.0.3 copy\n", "---+ ---+ ++++"},
        {"127.0.0.3/33\n", "---+ ---+ ++++"}, // refused: the list before stays
        {"0.0.0.0/0 fetch copy\n", "-+-+ -+-+ -+-+"},
        {"0000ABCD\n00007F00:000000000000\n127.0.0.2 copy\n", "xxxx ---+ xxxx"}, // IPX: no host
        {"", "xxxx xxxx xxxx"}};
    TempDir files;
    const std::string allow = (files / "allow").string();
    WriteFile(allow, lists[0].first);
    Daemon d({"-c", "4", "-a", allow}); // a share of 2 children for an address
    std::deque<peer::Conn> runs; // from 127.0.0.1, its share: a store waits, leaves, and they end
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(runs.emplace_back(d.port()).Send(peer::Record(SERV_RSH, "sleep 60", 100)));
    WriteFile(d.dir() / "kept", "precious"); // never served
    ASSERT_TRUE(peer::Conn(d.port()).Send(peer::ReceiveRecord("kept")));
    runs.clear();
    const std::string fetch = peer::Record(SERV_SEND_FILE, ".spxrunid", 80);

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
                if (c.Ask(request) && request == requests[3])
                    c.SendData("", false); // copy's end; a refused caller's sends may fail
                got += Answer(c);
            }
        EXPECT_EQ(got, expected + " ") << list;
    }
    const std::string entries = allow + ": 3 entries";
    EXPECT_EQ(Said(d.Stdout(), allow, false, false),
              (Strings{entries, entries, allow + ":3: the same address and prefix as line 1, which "
                       "decides", entries, allow + ":1: prefix above /32; the list read before "
                       "stays", allow + ":1: 0.0.0.0/0 lets in every IPv4 host and no IPX caller; "
                       "an IPX network is written 0000ABCD, one of its nodes 0000ABCD:020000000002",
                       allow + ": 1 entry", entries, allow + ": 0 entries, nobody may call"}));
    const Strings refused = Said(d.Stdout(), "refused: no entry", false, false);
    EXPECT_TRUE(Said(d.Stdout(), "may not use").size() == 25u && refused.size() == 1 &&
                refused[0].starts_with("caller 00000000h 00007F000003h ") &&
                refused[0].ends_with("h refused: no entry in the allow file"))
        << d.Stdout();
    EXPECT_EQ(ReadFile(d.dir() / "kept"), "precious");
}

} // namespace
