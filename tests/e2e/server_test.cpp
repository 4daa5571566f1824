// varneld's listener and service children, end to end: the real daemon on
// a free loopback socket, driven by test peers on the provider library and
// by raw callers speaking the provider's frames.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "peer.h"

namespace {

using namespace harness;
using namespace std::chrono_literals;

const std::string kTitle = Bin("varneld").string();
// The accept time appended to the title: "%D %r :".
const std::string kStamp = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d [AP]M :)";

std::string Escape(std::string_view s) {
    static const std::regex special{R"([.^$|()\[\]{}*+?\\])"};
    return std::regex_replace(std::string(s), special, R"(\$&)");
}

// The title of a child's or listener's line after an accept.
std::string StampedTitle() {
    return Escape(kTitle) + ": " + kStamp;
}

// Waits until the daemon has printed count state lines (it then waits in
// t_listen, or has just got past it).
bool WaitForStateLines(Daemon& d, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (LinesWith(d.Stderr(), "spxfd = ").size() >= count)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// One connection that sends a request of the given bytes; returns the
// reason of the disconnect that ends it (-1 when none came). The send may
// fail when the server has disconnected already.
int Request(int port, std::string_view bytes) {
    peer::Conn c(port);
    if (!c.ok())
        return -1;
    c.Send(bytes);
    return c.ReceiveDisconnect();
}

std::size_t OpenDescriptors(int pid) {
    std::error_code ec;
    auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? 0
              : static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator{}));
}

// The value of a field of /proc/<pid>/status.
std::string StatusField(int pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return line.substr(key.size() + 1);
    return {};
}

bool SignalSetHas(const std::string& hexMask, int sig) {
    const auto mask = hexMask.empty() ? 0 : std::stoull(hexMask, nullptr, 16);
    return ((mask >> (sig - 1)) & 1) != 0;
}

// The children of a process (needs /proc/<pid>/task/<pid>/children).
std::vector<int> Children(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> out;
    int c = 0;
    while (in >> c)
        out.push_back(c);
    return out;
}

std::string UsageText() {
    return kTitle + " usage: " + kTitle + " [-s<socket>] [-v]\n" +
           "       socket:    local socket number (0x4000 - 0x5000\n" + "       -v : verbose \n";
}

std::string Upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The command line: the socket option in hex, the default 0x4500, and the
// usage text with status 1 for anything else.
TEST(ServerOptions, DefaultSocketIs4500) {
    TempDir dir;
    Process p({kTitle, "-v"}, Options{dir.path(), std::nullopt});
    if (!p.WaitForOutput("spxfd = ", true, 10s)) {
        if (p.Stdout().find("first t_bind failed") != std::string::npos)
            GTEST_SKIP() << "socket 0x4500 (TCP port 17664) is in use on this host";
        FAIL() << p.Stdout() << p.Stderr();
    }
    EXPECT_NE(p.Stdout().find(kTitle + ": server listening on socket 4500h\n"), std::string::npos);
    EXPECT_EQ(Request(0x4500, "ab"), SPX_DISCON_TERMINATED);
}

TEST(ServerOptions, SocketOptionInHexAndVerboseAddress) {
    Daemon d({"-v"});
    const std::string port = Upper(HexPort(d.port()));
    const std::string out = d.Stdout();
    EXPECT_NE(out.find(kTitle + ": server listening on socket " + port + "h\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        out, std::regex("(^|\n)" + Escape(kTitle) +
                        ": servers local address: 00000000h [0-9A-F]{12}h " + port + "h\n")))
        << out;
}

TEST(ServerOptions, BadOptionsGiveUsageAndStatus1) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {kTitle, "-x"}, {kTitle, "-s"}, {kTitle, "-v", "-s", "zz"}}) {
        const Result r = harness::Run(args);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.out, UsageText()) << args.back();
        EXPECT_EQ(r.err, "") << args.back();
    }
}

TEST(ServerOptions, TakenSocketEndsWithMinusOne) {
    Daemon d;
    const Result r = harness::Run({kTitle, "-s", HexPort(d.port())});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kTitle + ": first t_bind failed \n");
    EXPECT_EQ(r.err.rfind("t_errno = 23\n", 0), 0u) << r.err;
    EXPECT_TRUE(d.process().Running());
}

// Every pass shows the provider type and the listening endpoint's state
// before and after t_listen, verbose or not; the title carries the previous
// accept's time until the next pass resets it.
TEST(ServerPasses, ProviderTypeAndStateLinesOnEveryPass) {
    Daemon d;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Request(d.port(), "abc"), SPX_DISCON_TERMINATED);
    ASSERT_TRUE(WaitForStateLines(d, 7));

    const auto states = LinesWith(d.Stderr(), "spxfd = ");
    ASSERT_EQ(states.size(), 7u) << d.Stderr();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(states[0], m, std::regex(R"(spxfd = (\d+), state = 2)")));
    const std::string fd = m[1];
    for (std::size_t i = 0; i < states.size(); ++i)
        EXPECT_EQ(states[i], "spxfd = " + fd + ", state = " + (i % 2 == 0 ? "2" : "4"));

    const auto types = LinesWith(d.Stdout(), "provider type");
    ASSERT_EQ(types.size(), 4u);
    EXPECT_EQ(types[0], kTitle + ": provider type = 2 ");
    for (std::size_t i = 1; i < types.size(); ++i)
        EXPECT_TRUE(std::regex_match(types[i], std::regex(StampedTitle() + ": provider type = 2 ")))
            << types[i];
    EXPECT_TRUE(LinesWith(d.Stdout(), "listening on socket").empty());
}

TEST(ServerPasses, VerboseClientAddressAndOptions) {
    Daemon d({"-v"});
    peer::RawCaller caller(d.port());
    ASSERT_TRUE(caller.SendConnect(0x1234, 0x0056));
    ASSERT_TRUE(caller.SendData("xyz", false));
    ASSERT_TRUE(d.process().WaitForOutput("allocation number"));
    const std::string out = d.Stdout();
    const std::string head = "\n" + StampedTitle() + ": ";
    const std::string port = Upper(HexPort(caller.localPort()));
    EXPECT_TRUE(std::regex_search(
        out, std::regex(head + "clients IPX address: 00000000h 00007F000001h " + port + "h\n")))
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(head + "clients connection number:  1234h \n")))
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(head + "clients allocation number:  0056h \n")))
        << out;
    // The listening line of the next pass carries argv[0] alone again.
    ASSERT_TRUE(WaitForStateLines(d, 3));
    EXPECT_EQ(LinesWith(d.Stdout(), "listening on socket").back(),
              kTitle + ": server listening on socket " + Upper(HexPort(d.port())) + "h");
}

// A request too short to hold a command code, or with a code no service
// has, ends the child abortively; the caller sees a disconnect.
TEST(ServerRequests, ShortOrUnknownRequestsAbort) {
    Daemon d;
    EXPECT_EQ(Request(d.port(), "\xFF\xFF\xFF"), SPX_DISCON_TERMINATED);
    EXPECT_EQ(Request(d.port(), std::string("\xFD\x00\x00\x00", 4)), SPX_DISCON_TERMINATED);
    EXPECT_EQ(Request(d.port(), std::string("\x00\x00\x00\x01zzzz", 8)), SPX_DISCON_TERMINATED);
    ASSERT_TRUE(d.process().WaitForOutput("0x00000001"));
    const std::string head = "\n" + StampedTitle() + " \\d+: ";
    EXPECT_TRUE(std::regex_search(d.Stderr(),
                                  std::regex(head + "size of command too small 3 \nin abort\n")))
        << d.Stderr();
    EXPECT_TRUE(
        std::regex_search(d.Stdout(), std::regex(head + "unrecognized command 0xFD000000 \n")));
    EXPECT_TRUE(
        std::regex_search(d.Stdout(), std::regex(head + "unrecognized command 0x00000001 \n")));
    EXPECT_EQ(LinesWith(d.Stderr(), "in abort").size(), 3u);
}

TEST(ServerRequests, CallerGoneBeforeItsRequest) {
    Daemon d;
    {
        peer::Conn c(d.port());
        ASSERT_TRUE(c.ok());
    }
    ASSERT_TRUE(d.process().WaitForOutput("in abort\n", true));
    const std::string head = "\n" + StampedTitle() + " (\\d+): ";
    EXPECT_TRUE(
        std::regex_search(d.Stderr(), std::regex(head + "t_rcv command failed \nt_errno = 9\n")))
        << d.Stderr();
    EXPECT_TRUE(std::regex_search(
        d.Stdout(), std::regex(head + "disconnect indication arrived \n" + StampedTitle() +
                               " \\d+: connection terminated by remote endpoint \n")))
        << d.Stdout();
    // The listener goes on.
    EXPECT_EQ(Request(d.port(), "ab"), SPX_DISCON_TERMINATED);
}

// Callers that misbehave at the transport level never reach the daemon's
// loop, let alone end it.
TEST(ServerRequests, MisbehavingCallersDoNotStopTheDaemon) {
    Daemon d;
    peer::RawCaller garbage(d.port());
    ASSERT_TRUE(garbage.SendBytes("GET / HTTP/1.0\r\n\r\n"));
    peer::RawCaller silent(d.port());
    ASSERT_TRUE(silent.ok());
    {
        peer::RawCaller vanishing(d.port());
        ASSERT_TRUE(vanishing.SendConnect());
        vanishing.Reset();
    }
    {
        peer::RawCaller half(d.port());
        ASSERT_TRUE(half.SendBytes(std::string("\x01\x00\x00", 3)));
    }
    // Served while the silent caller still hangs on.
    EXPECT_EQ(Request(d.port(), "ab"), SPX_DISCON_TERMINATED);
    EXPECT_EQ(Request(d.port(), "ab"), SPX_DISCON_TERMINATED);
    EXPECT_TRUE(d.process().Running());
}

// Children: each exits 0, whatever the end of its request, and starts with
// SIGCHLD and SIGPIPE at their defaults (its commands' pclose needs SIGCHLD)
// and nothing blocked; only the listener ignores them.
TEST(ServerChildren, ExitZeroWithDefaultSignals) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Daemon d;
    const int listener = d.process().pid();
    EXPECT_TRUE(SignalSetHas(StatusField(listener, "SigIgn"), SIGCHLD));
    EXPECT_TRUE(SignalSetHas(StatusField(listener, "SigIgn"), SIGPIPE));

    const std::string record = peer::ReceiveRecord("kept.txt");
    std::vector<std::unique_ptr<peer::Conn>> conns;
    std::vector<int> children;
    for (int i = 0; i < 2; ++i) {
        conns.push_back(std::make_unique<peer::Conn>(d.port()));
        ASSERT_TRUE(conns.back()->ok());
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (Children(listener).size() < children.size() + 1 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        auto now = Children(listener);
        ASSERT_EQ(now.size(), children.size() + 1);
        for (int c : now)
            if (std::find(children.begin(), children.end(), c) == children.end())
                children.push_back(c);
    }
    for (int child : children) {
        // Just after the fork the child still has the listener's settings.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while ((SignalSetHas(StatusField(child, "SigIgn"), SIGCHLD) ||
                SignalSetHas(StatusField(child, "SigIgn"), SIGPIPE)) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        EXPECT_FALSE(SignalSetHas(StatusField(child, "SigIgn"), SIGCHLD));
        EXPECT_FALSE(SignalSetHas(StatusField(child, "SigIgn"), SIGPIPE));
        const std::string blocked = StatusField(child, "SigBlk");
        ASSERT_FALSE(blocked.empty());
        EXPECT_EQ(std::stoull(blocked, nullptr, 16), 0u);
    }

    // With the listener gone, the children are ours to reap.
    kill(listener, SIGKILL);
    d.process().Wait();
    ASSERT_TRUE(conns[0]->Send("abc"));  // aborts
    ASSERT_TRUE(conns[1]->Send(record)); // stores a file and ends normally
    ASSERT_TRUE(conns[1]->Recv(1));
    ASSERT_TRUE(conns[1]->Send("", 0));
    for (int child : children) {
        int st = -1;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        pid_t r = 0;
        while ((r = waitpid(child, &st, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(r, child);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    }
    EXPECT_TRUE(std::filesystem::exists(d.dir() / "kept.txt"));
}

// The listener closes its copy of every service endpoint: many connections
// one after another leave its descriptor count where it was.
TEST(ServerChildren, NoDescriptorLeakAcrossConnections) {
    Daemon d;
    ASSERT_EQ(Request(d.port(), "ab"), SPX_DISCON_TERMINATED);
    ASSERT_TRUE(WaitForStateLines(d, 3));
    const std::size_t before = OpenDescriptors(d.process().pid());
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(Request(d.port(), "ab"), SPX_DISCON_TERMINATED) << i;
    ASSERT_TRUE(WaitForStateLines(d, 3 + 2 * 60));
    EXPECT_EQ(OpenDescriptors(d.process().pid()), before);
}

// A fork that fails must not leave the caller waiting or leak the accepted
// endpoint: the caller is disconnected and the listener goes on.
TEST(ServerChildren, FailedForkDisconnectsAndFreesTheEndpoint) {
    if (geteuid() == 0)
        GTEST_SKIP() << "the process limit that makes fork fail does not bind the superuser";
    if (!std::filesystem::exists("/usr/bin/prlimit"))
        GTEST_SKIP() << "needs prlimit to lower the process limit";
    TempDir dir;
    const int port = FreePort();
    Process p({"/usr/bin/prlimit", "--nproc=1", kTitle, "-s", HexPort(port)},
              Options{dir.path(), std::nullopt});
    ASSERT_TRUE(p.WaitForOutput("spxfd = ", true)) << p.Stdout() << p.Stderr();
    ASSERT_EQ(Request(port, "ab"), SPX_DISCON_TERMINATED);
    const auto settled = [&](std::size_t lines) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (LinesWith(p.Stderr(), "spxfd = ").size() < lines &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
    };
    settled(3);
    const std::size_t before = OpenDescriptors(p.pid());
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(Request(port, "ab"), SPX_DISCON_TERMINATED) << i;
    settled(63);
    EXPECT_EQ(LinesWith(p.Stderr(), "fork failed").size(), 31u);
    EXPECT_TRUE(std::regex_search(p.Stderr(), std::regex(StampedTitle() + ": fork failed\n")));
    EXPECT_EQ(OpenDescriptors(p.pid()), before);
    EXPECT_TRUE(p.Running());
}

// The quit path: a failure in the loop ends the daemon after it has
// unbound and closed its listening endpoint (status 0 when that worked).
TEST(ServerQuit, ServiceEndpointOpenFailureEndsTheDaemon) {
    TempDir dir;
    const int port = FreePort();
    // Room for the three standard descriptors and the listening endpoint
    // only (anything else inherited is closed first).
    Process p(
        {"/bin/sh", "-c",
         "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4 && exec \"$0\" -s " + HexPort(port),
         kTitle},
        Options{dir.path(), std::nullopt});
    const auto st = p.Wait(20s);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(*st, 0) << p.Stdout() << p.Stderr();
    const auto out = Lines(p.Stdout());
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0], kTitle + ": server open of service stream failed, errno = 24 ");
    // Unbinding may itself need a descriptor; closing never does.
    EXPECT_TRUE(out.size() == 1 || out[1] == kTitle + ": t_unbind failed ") << p.Stdout();
    EXPECT_EQ(p.Stdout().find("t_close failed"), std::string::npos);
    EXPECT_EQ(p.Stderr().rfind("t_errno = 8\n", 0), 0u) << p.Stderr();
}

} // namespace
