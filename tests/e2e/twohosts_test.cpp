// Two hosts: varneld and varnel in network namespaces of their own, joined
// by a veth pair, the server named in the host address file by the IPv4
// address of the other namespace. Needs the superuser and iproute2.
//
// Each namespace belongs to a process the test started (unshare without a
// name), so the namespaces and the veth pair vanish when those processes
// end, whatever happens to the test.

#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

const char* const kUnshare = "/usr/bin/unshare";
const char* const kNsenter = "/usr/bin/nsenter";

// The first of these programs that exists, or an empty path.
fs::path Find(std::initializer_list<const char*> paths) {
    for (const char* p : paths)
        if (fs::exists(p))
            return p;
    return {};
}

// argv run inside the network namespace of pid.
std::vector<std::string> InNamespace(int pid, std::vector<std::string> argv) {
    std::vector<std::string> a{kNsenter, "--net=/proc/" + std::to_string(pid) + "/ns/net", "--"};
    a.insert(a.end(), argv.begin(), argv.end());
    return a;
}

// Whether pid has left this process's network namespace (a link moved
// there before would land in ours).
bool InOwnNamespace(int pid) {
    const auto ns = [](const std::string& p) {
        std::error_code ec;
        return fs::read_symlink("/proc/" + p + "/ns/net", ec).string();
    };
    const std::string ours = ns("self");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    do {
        const std::string theirs = ns(std::to_string(pid));
        if (!theirs.empty() && theirs != ours)
            return true;
        std::this_thread::sleep_for(2ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// Runs a configuration command; its failure message, or empty on success.
std::string Configure(std::vector<std::string> argv) {
    const Result r = harness::Run(argv, {}, 20s);
    if (r.status == 0)
        return {};
    std::string cmd;
    for (const auto& a : argv)
        cmd += a + " ";
    return cmd + "-> " + std::to_string(r.status) + ": " + r.err;
}

} // namespace

// Addresses as the mapping says: node 00 00 a b c d is the host a.b.c.d;
// the file crosses intact and the daemon sees the client's own address.
TEST(TwoHosts, FileCrossesAVethPairBetweenNamespaces) {
    if (geteuid() != 0)
        GTEST_SKIP() << "network namespaces need the superuser";
    const fs::path ip = Find({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
    if (ip.empty())
        GTEST_SKIP() << "ip (iproute2) is not installed";
    if (!fs::exists(kUnshare) || !fs::exists(kNsenter))
        GTEST_SKIP() << "unshare and nsenter (util-linux) are not installed";

    // The server host: varneld on the default socket 0x4500, which is free in
    // a namespace of its own.
    TempDir serverDir;
    WriteFile(serverDir / ".spxrunid", CurrentUser() + "\n");
    Process server({kUnshare, "--net", "--", Bin("varneld").string(), "-v"},
                   Options{serverDir.path(), std::nullopt});
    if (!server.WaitForOutput("spxfd = ", true, 10s) || !InOwnNamespace(server.pid()))
        GTEST_SKIP() << "cannot start a process in a network namespace of its own: "
                     << server.Stdout() << server.Stderr();
    // The client host: a namespace held by a process that only waits.
    Process holder({kUnshare, "--net", "--", "/bin/sleep", "300"});
    ASSERT_TRUE(InOwnNamespace(holder.pid())) << holder.Stderr();

    const std::string sp = std::to_string(server.pid());
    const std::string cp = std::to_string(holder.pid());
    const std::string failure = Configure({ip.string(), "link", "add", "name", "vsrv", "netns", sp,
                                       "type", "veth", "peer", "name", "vcli", "netns", cp});
    if (!failure.empty())
        GTEST_SKIP() << "cannot create a veth pair between namespaces: " << failure;
    for (const auto& [pid, dev, addr] : {std::tuple{server.pid(), "vsrv", "10.199.7.1/24"},
                                         std::tuple{holder.pid(), "vcli", "10.199.7.2/24"}}) {
        ASSERT_EQ(Configure(InNamespace(pid, {ip.string(), "addr", "add", addr, "dev", dev})), "");
        ASSERT_EQ(Configure(InNamespace(pid, {ip.string(), "link", "set", dev, "up"})), "");
        ASSERT_EQ(Configure(InNamespace(pid, {ip.string(), "link", "set", "lo", "up"})), "");
    }

    // 10.199.7.1 is node 00 00 0A C7 07 01: the third field holds bytes 0-3,
    // the upper half of the fourth bytes 4 and 5.
    TempDir clientDir;
    WriteFile(clientDir / "yellowpages", "server 00000000 00000AC7 07010000 4500\n");
    const std::string data = Pattern(3 << 20, 77);
    WriteFile(clientDir / "source", data);
    const Result r = harness::Run(
        InNamespace(holder.pid(), {Bin("varnel").string(), "-v", "-r", "server", "-j", "source",
                                   "-f", "crossed"}),
        Options{clientDir.path(), std::nullopt}, 60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("connecting to server at:  00000000h 00000AC70701h  4500h"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(ReadFile(serverDir / "crossed") == data) << "the file did not arrive intact";
    EXPECT_TRUE(std::regex_search(server.Stdout(),
                                  std::regex(R"(clients IPX address: 00000000h 00000AC70702h [0-9A-F]{4}h)")))
        << server.Stdout();
    EXPECT_TRUE(server.Running());
}
