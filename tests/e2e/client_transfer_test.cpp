// varnel's transfers against the real varneld on loopback: what arrives,
// every line the client prints, and its exit status.

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

const std::string kVarnel = Bin("varnel").string();

// text as a regular expression matching itself.
std::string Quote(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// Each line of out must match the pattern at the same place ("T" stands for
// the client's title).
void ExpectLines(const std::string& out, const std::vector<std::string>& patterns) {
    const auto lines = Lines(out);
    ASSERT_EQ(lines.size(), patterns.size()) << out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string p = patterns[i];
        if (p.rfind("T: ", 0) == 0)
            p = Quote(kVarnel) + p.substr(1);
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(p)))
            << "line " << i << ": " << lines[i] << "\n  pattern: " << p;
    }
}

// Lines taken as they are.
std::vector<std::string> Literal(std::vector<std::string> lines) {
    for (auto& l : lines)
        l = Quote(l);
    return lines;
}

std::vector<std::string> Repeat(std::size_t n, const std::string& line) {
    return std::vector<std::string>(n, line);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string WriteLine(int n) {
    return "write: #bytes accepted: " + std::to_string(n) + ", #bytes tried: " + std::to_string(n);
}

// The six statistics lines for bytes and total, whatever whole number of
// seconds the data phase took: the rates follow from it.
std::vector<std::string> StatisticsLines(unsigned long bytes, unsigned long total,
                                         unsigned long packets) {
    return {"T: " + std::to_string(bytes) + " bytes sent",
            "T: " + std::to_string(total) + " bytes sent including SPX data",
            "T: " + std::to_string(packets) + " packets sent",
            R"(T: \d+ seconds to transmit)",
            R"(T: \d+ bytes/sec)",
            R"(T: \d+ kbytes/sec)"};
}

// The rates must be total / seconds and total / 1024 / seconds, truncated.
void ExpectRates(const std::string& out, unsigned long total) {
    std::map<std::string, unsigned long> v;
    static const std::regex stat(R"(: (\d+) (seconds to transmit|bytes/sec|kbytes/sec)$)");
    for (const auto& l : Lines(out)) {
        std::smatch m;
        if (std::regex_search(l, m, stat))
            v[m[2]] = std::stoul(m[1]);
    }
    ASSERT_EQ(v.size(), 3u) << out;
    const unsigned long secs = v["seconds to transmit"];
    ASSERT_GE(secs, 1u);
    EXPECT_EQ(v["bytes/sec"], total / secs);
    EXPECT_EQ(v["kbytes/sec"], total / 1024 / secs);
}

// The module lines around the data, printed in every mode.
const std::vector<std::string> kSwitchOn = {"top module: timod", "# modules = 2", "# modules = 2"};
const std::vector<std::string> kSwitchBack = {"# modules = 2", "# modules = 2"};

std::string UpperHex(int port) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", port & 0xFFFF);
    return buf;
}

// Waits until the daemon's process group holds no process but the daemon:
// every service child has ended.
bool ChildrenGone(int daemonPid) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        bool any = false;
        DIR* d = opendir("/proc");
        while (dirent* e = d ? readdir(d) : nullptr) {
            const int pid = std::atoi(e->d_name);
            if (pid <= 0 || pid == daemonPid)
                continue;
            const std::string stat = ReadFile("/proc/" + std::string(e->d_name) + "/stat");
            const auto close = stat.rfind(')');
            char state = 0;
            int ppid = 0, pgrp = 0;
            if (close != std::string::npos &&
                std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
                pgrp == daemonPid && state != 'Z')
                any = true;
        }
        if (d)
            closedir(d);
        if (!any)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The account "varneltest" with its own group, created once; false when
// it does not exist and cannot be made.
bool EnsureTestAccount() {
    const int lock = open("/tmp/varneltest-account.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return false;
    flock(lock, LOCK_EX);
    // Other programs may hold the account files a moment: try again.
    for (int attempt = 0; attempt < 5 && getpwnam("varneltest") == nullptr; ++attempt)
        if (harness::Run({"/usr/sbin/useradd", "-U", "-M", "-s", "/usr/sbin/nologin", "varneltest"})
                .status != 0)
            std::this_thread::sleep_for(200ms);
    const bool ok = getpwnam("varneltest") != nullptr;
    flock(lock, LOCK_UN);
    close(lock);
    return ok;
}

mode_t CurrentUmask() {
    const mode_t m = umask(0);
    umask(m);
    return m;
}

class ClientTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFile(here_ / "yellowpages", HostRecord("server", daemon_.port()));
    }

    // Writes the source file name of size bytes; returns its content.
    std::string Source(const std::string& name, std::size_t size, unsigned seed = 7) {
        std::string data = Pattern(size, seed);
        WriteFile(here_ / name, data);
        return data;
    }

    // Runs varnel -r server with args in the client's directory.
    Result Varnel(std::vector<std::string> args) {
        args.insert(args.begin(), {kVarnel, "-r", "server"});
        return harness::Run(std::move(args), Options{here_.path(), std::nullopt});
    }

    std::string Stored(const std::string& name) const { return ReadFile(daemon_.dir() / name); }

    // After every service child has ended: the daemon reported no failure.
    void ExpectDaemonClean() {
        ASSERT_TRUE(ChildrenGone(daemon_.process().pid()));
        const std::string err = daemon_.Stderr();
        EXPECT_EQ(err.find("failed"), std::string::npos) << err;
        EXPECT_EQ(err.find("in abort"), std::string::npos) << err;
    }

    Daemon daemon_;
    TempDir here_;
};

// The statistics must be computed exactly as documented (worked example, packet size 534).
TEST_F(ClientTransfer, StatisticsWithSmallPackets) {
    const std::string data = Source("in.bin", 3000);
    const Result r = Varnel({"-v", "-p", "534", "-j", "in.bin", "-f", "out.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string port = UpperHex(daemon_.port());
    ExpectLines(r.out,
                std::vector<std::string>{
                    "T: packet data size 534",
                    "T: clients local address: [0-9A-F]{8} [0-9A-F]{12} [0-9A-F]{4}",
                    "T: connecting to server at:  00000000h 000000000000h  " + port + "h",
                    "T: servers IPX address: [0-9A-F]{8}h [0-9A-F]{12}h " + port + "h",
                    "T: servers connection number:  [0-9A-F]{4}h ",
                    "T: servers allocation number:  [0-9A-F]{4}h "} +
                    kSwitchOn + Repeat(5, WriteLine(534)) + std::vector{WriteLine(330)} +
                    kSwitchBack + StatisticsLines(3000, 3588, 14) +
                    std::vector<std::string>{"T: connection terminated by remote endpoint "});
    ExpectRates(r.out, 3588);
    EXPECT_EQ(Stored("out.bin"), data);
    ExpectDaemonClean();
}

// The same arithmetic with the default packet size of 1024.
TEST_F(ClientTransfer, StatisticsWithDefaultPackets) {
    const std::string data = Source("in.bin", 3000);
    const Result r = Varnel({"-v", "-j", "in.bin", "-f", "out.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 7u);
    ExpectLines(r.out, Literal({lines.begin(), lines.begin() + 6}) + kSwitchOn +
                           std::vector{WriteLine(1024), WriteLine(1024), WriteLine(952)} +
                           kSwitchBack + StatisticsLines(3000, 3336, 8) + Literal({lines.back()}));
    EXPECT_EQ(lines.at(0), kVarnel + ": packet data size 1024");
    ExpectRates(r.out, 3336);
    EXPECT_EQ(Stored("out.bin"), data);
}

// An empty source file must still create the remote file, with only the end unit sent.
TEST_F(ClientTransfer, EmptyFile) {
    Source("empty", 0);
    WriteFile(daemon_.dir() / "out.bin", "old content");
    const Result r = Varnel({"-v", "-j", "empty", "-f", "out.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("write:"), std::string::npos);
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 7u);
    ExpectLines(r.out, Literal({lines.begin(), lines.end() - 7}) + StatisticsLines(0, 84, 2) +
                           Literal({lines.back()}));
    EXPECT_TRUE(std::filesystem::exists(daemon_.dir() / "out.bin"));
    EXPECT_EQ(Stored("out.bin"), "");
}

// Without -v a successful run prints the module and write lines, and nothing else.
TEST_F(ClientTransfer, QuietRunOutput) {
    const std::string data = Source("in.bin", 5000);
    const Result r = Varnel({"-j", "in.bin", "-f", "out.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ExpectLines(r.out,
                kSwitchOn + Repeat(4, WriteLine(1024)) + std::vector{WriteLine(904)} + kSwitchBack);
    EXPECT_EQ(Stored("out.bin"), data);
    ExpectDaemonClean();
}

// -P and -u must reach the server: the mode of the file, and a limit it enforces.
TEST_F(ClientTransfer, PermissionsAndLimit) {
    const std::string data = Source("in.bin", 3000);
    const mode_t mask = CurrentUmask();
    ASSERT_EQ(Varnel({"-j", "in.bin", "-f", "plain"}).status, 0);
    ASSERT_EQ(Varnel({"-j", "in.bin", "-f", "private", "-u", "100", "-P", "600"}).status, 0);
    struct stat st {};
    ASSERT_EQ(stat((daemon_.dir() / "plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask);
    ASSERT_EQ(stat((daemon_.dir() / "private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600 & ~mask);
    EXPECT_EQ(Stored("private"), data);

    // A limit of one block cannot hold the file: the server gives up, and
    // the client must not report success.
    const Result r = Varnel({"-j", "in.bin", "-f", "limited", "-u", "1"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err, "");
}

// A remote open refused by the server must be reported with the local text of its error number.
TEST_F(ClientTransfer, RemoteOpenRefused) {
    Source("in.bin", 3000);
    const auto locked = daemon_.dir() / "locked";
    std::filesystem::create_directory(locked);
    if (geteuid() == 0) {
        // The superuser may create anything: serve as the test account.
        ASSERT_TRUE(EnsureTestAccount());
        WriteFile(daemon_.dir() / ".spxrunid", "varneltest\n");
        chmod(locked.c_str(), 0755);
    } else {
        chmod(locked.c_str(), 0555);
    }
    const Result r = Varnel({"-j", "in.bin", "-f", "locked/out.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(kVarnel + ": remote open of locked/out.bin failed \n" +
                              std::strerror(13) + "\n",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(r.out, ""); // no data phase
    EXPECT_FALSE(std::filesystem::exists(locked / "out.bin"));
}

// A source that cannot be opened must not reach the server: an existing
// remote file would be truncated with nothing sent.
TEST_F(ClientTransfer, MissingSourceFileLeavesTheRemoteFileAlone) {
    WriteFile(daemon_.dir() / "out.bin", "precious");
    for (auto args : {std::vector<std::string>{"-f", "out.bin"},
                      std::vector<std::string>{"-j", "absent.bin", "-f", "out.bin"}}) {
        const Result r = Varnel(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Can't open sourcefile: No such file or directory\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(Stored("out.bin"), "precious");
}

// A source that cannot be read must end the run as a failure, not as an empty transfer.
TEST_F(ClientTransfer, ReadFailure) {
    std::filesystem::create_directory(here_ / "adir");
    const Result r = Varnel({"-j", "adir", "-f", "out.bin"});
    EXPECT_EQ(r.status, 2);
    ExpectLines(r.out, kSwitchOn + std::vector<std::string>{"T: read of standard in failed "});
    EXPECT_EQ(r.err.rfind(std::string(std::strerror(EISDIR)) + "\n", 0), 0u) << r.err;
}

// -s must replace the socket of the host address file, and the line must show it.
TEST_F(ClientTransfer, SocketOverride) {
    const int elsewhere = FreePort();
    WriteFile(here_ / "yellowpages", HostRecord("server", elsewhere));
    const std::string data = Source("in.bin", 700);
    const Result r = Varnel({"-v", "-s", HexPort(daemon_.port()), "-j", "in.bin", "-f", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(": connecting to server at:  00000000h 000000000000h  " +
                         UpperHex(daemon_.port()) + "h\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Stored("out"), data);
}

// The node's last bytes come from the upper half of the fourth field: 0001ABCD is 127.0.0.1.
TEST_F(ClientTransfer, FourthFieldLowerHalfIgnored) {
    WriteFile(here_ / "yellowpages",
              "other 0 0 0 1\nserver 00000000 00007F00 0001ABCD " + HexPort(daemon_.port()));
    const std::string data = Source("in.bin", 100);
    ASSERT_EQ(Varnel({"-j", "in.bin", "-f", "out"}).status, 0);
    EXPECT_EQ(Stored("out"), data);
}

// Without -f the bytes must appear on the daemon's standard output, and both sides end cleanly.
TEST_F(ClientTransfer, StandardOutputMode) {
    const std::string data = Source("in.bin", 3000, 11);
    const Result ok = Varnel({"-p", "534", "-j", "in.bin"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.err, "");
    ExpectLines(ok.out,
                kSwitchOn + Repeat(5, WriteLine(534)) + std::vector{WriteLine(330)} + kSwitchBack);
    ExpectDaemonClean();
    // The daemon's own lines on its standard output go; the data must stay.
    std::string out = daemon_.Stdout();
    const std::string title = Bin("varneld").string();
    for (std::size_t p; (p = out.find(title)) != std::string::npos;) {
        const auto type = out.find("provider type = ", p);
        const auto end = type == std::string::npos ? type : out.find(" \n", type);
        ASSERT_NE(end, std::string::npos) << out;
        out.erase(p, end + 2 - p);
    }
    EXPECT_EQ(out.size(), data.size());
    EXPECT_TRUE(out == data);
}

// A server that vanishes in the middle of a transfer must give exit status 2.
TEST_F(ClientTransfer, ServerKilledMidTransfer) {
    Source("big.bin", 32 << 20);
    Process client({kVarnel, "-r", "server", "-j", "big.bin", "-f", "out.bin"},
                   Options{here_.path(), std::nullopt});
    ASSERT_TRUE(client.WaitForOutput("write: #bytes accepted"));
    daemon_.Stop();
    const auto status = client.Wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 2);
    EXPECT_NE(client.Stderr(), "");
}

} // namespace
