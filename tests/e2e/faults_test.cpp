// Faults in the middle of a transfer: either end killed, a full disk, a
// file-size limit. The side that survives reports the failure, nothing
// stored is out of order, and the daemon serves the next client.
//
// varnel reads its source from a named pipe that the test fills, so the
// transfer is held exactly where the test wants the fault to hit.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

const std::string kVarnel = Bin("varnel").string();

// The writing end of a named pipe that varnel reads as its source file.
class Feed {
  public:
    explicit Feed(fs::path path) : path_(std::move(path)) {
        signal(SIGPIPE, SIG_IGN); // writes after varnel is gone must fail, not kill
        ok_ = mkfifo(path_.c_str(), 0600) == 0;
    }
    ~Feed() { Close(); }
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;

    bool ok() const { return ok_; }
    const fs::path& path() const { return path_; }

    // Waits until the reader has opened the pipe.
    bool Open(std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while ((fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
            if (errno != ENXIO || std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return fcntl(fd_, F_SETFL, 0) == 0;
    }
    // Writes all of data; false once the reader has gone.
    bool Write(std::string_view data) {
        while (!data.empty()) {
            const ssize_t n = write(fd_, data.data(), data.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    fs::path path_;
    bool ok_ = false;
    int fd_ = -1;
};

// Size of a file, 0 while it does not exist.
std::uintmax_t SizeOf(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

bool WaitForSize(const fs::path& p, std::uintmax_t atLeast, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (SizeOf(p) < atLeast) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The process id of the child serving the reception of name, from the
// verbose daemon's "receiveing" line; 0 when it does not appear.
int ServingChild(const Daemon& d, const std::string& name) {
    const std::regex line(R"(: (\d+): receiveing (\S+) $)");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    do {
        for (const auto& l : Lines(d.Stdout())) {
            std::smatch m;
            if (std::regex_search(l, m, line) && m[2] == name)
                return std::stoi(m[1]);
        }
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

// Waits until the process has ended (the listener never waits for its
// children, so an ended child does not linger as a zombie).
bool Ended(int pid, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (kill(pid, 0) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return errno == ESRCH;
}

struct Client {
    TempDir dir;
    fs::path hostFile;
    explicit Client(int port) : hostFile(dir / "yellowpages") {
        WriteFile(hostFile, HostRecord("server", port));
    }
    std::vector<std::string> Args(const fs::path& source, const std::string& remote,
                                  std::vector<std::string> extra = {}) const {
        std::vector<std::string> a{kVarnel, "-r",           "server", "-h", hostFile.string(),
                                   "-j",    source.string(), "-f",    remote};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
};

// A complete transfer: the daemon still serves after the fault.
void ExpectServes(const Daemon& d, const Client& c, const std::string& remote) {
    const std::string data = Pattern(70'000, 99);
    const fs::path source = c.dir / "next";
    WriteFile(source, data);
    const Result r = harness::Run(c.Args(source, remote));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(d.dir() / remote), data);
}

// A varneld run with a private file system mounted at disk in its
// directory: a tmpfs of size bytes in a mount namespace of its own, which
// goes away with the daemon. Not started: started() false, why() says.
class DaemonOnSmallDisk {
  public:
    explicit DaemonOnSmallDisk(std::size_t size) {
        WriteFile(dir_ / ".spxrunid", CurrentUser() + "\n");
        fs::create_directory(dir_ / "disk");
        const std::string script = "mount -t tmpfs -o size=" + std::to_string(size) +
                                   " varneltest disk && exec \"$@\"";
        for (int attempt = 0; attempt < 5 && !proc_; ++attempt) {
            port_ = FreePort();
            proc_.emplace(std::vector<std::string>{"/usr/bin/unshare", "--mount", "--propagation",
                                                   "private", "/bin/sh", "-c", script, "sh",
                                                   Bin("varneld").string(), "-s", HexPort(port_)},
                          Options{dir_.path(), std::nullopt});
            if (proc_->WaitForOutput("spxfd = ", true, 10s))
                return;
            proc_->Kill();
            why_ = proc_->Stderr();
            proc_.reset();
        }
    }
    bool started() const { return proc_.has_value(); }
    const std::string& why() const { return why_; }
    int port() const { return port_; }
    const fs::path& dir() const { return dir_.path(); }
    Process& process() { return *proc_; }
    // A path as the daemon sees it (inside its own mount namespace).
    fs::path Seen(const fs::path& p) {
        return fs::path("/proc") / std::to_string(proc_->pid()) / "root" / p.relative_path();
    }

  private:
    TempDir dir_;
    int port_ = 0;
    std::optional<Process> proc_;
    std::string why_;
};

} // namespace

// A client that dies in the middle of its data: the child serving it ends,
// the file holds a prefix of what the client sent (all that it had sent
// before the test let it die, nothing out of order, nothing invented), and
// the next client is served.
TEST(Faults, ClientKilledInTheMiddleOfItsData) {
    Daemon d({"-v"});
    Client c(d.port());
    Feed feed(c.dir / "source");
    ASSERT_TRUE(feed.ok());
    Process varnel(c.Args(feed.path(), "partial"));
    ASSERT_TRUE(feed.Open()) << varnel.Stderr();

    const std::string data = Pattern(768 * 1024, 5);
    const std::size_t firstPart = 512 * 1024;
    ASSERT_TRUE(feed.Write(std::string_view(data).substr(0, firstPart)));
    // Half of it has surely been stored (the server may still hold some of
    // the rest before writing it); then more is on its way when the kill hits.
    ASSERT_TRUE(WaitForSize(d.dir() / "partial", firstPart / 2));
    feed.Write(std::string_view(data).substr(firstPart));
    varnel.Signal(SIGKILL);
    ASSERT_EQ(varnel.Wait(10s), 128 + SIGKILL);
    feed.Close();

    const int child = ServingChild(d, "partial");
    ASSERT_GT(child, 0) << d.Stdout();
    EXPECT_TRUE(Ended(child)) << "the child serving the killed client lives on";

    const std::string stored = ReadFile(d.dir() / "partial");
    EXPECT_GE(stored.size(), firstPart / 2);
    EXPECT_TRUE(std::string_view(data).substr(0, stored.size()) == stored)
        << "the partial file is not a prefix of the data sent (" << stored.size() << " bytes)";
    EXPECT_NE(d.Stderr().find("t_rcv of file data failed"), std::string::npos) << d.Stderr();

    ASSERT_TRUE(d.process().Running());
    ExpectServes(d, c, "next");
}

// The child serving a client dies in the middle of the data: the client
// reports the failure and ends with status 2; the daemon serves on.
TEST(Faults, ServingChildKilledInTheMiddleOfTheData) {
    Daemon d({"-v"});
    Client c(d.port());
    Feed feed(c.dir / "source");
    ASSERT_TRUE(feed.ok());
    Process varnel(c.Args(feed.path(), "cut"));
    ASSERT_TRUE(feed.Open()) << varnel.Stderr();

    const std::string data = Pattern(256 * 1024, 6);
    ASSERT_TRUE(feed.Write(data));
    const int child = ServingChild(d, "cut");
    ASSERT_GT(child, 0) << d.Stdout();
    ASSERT_TRUE(WaitForSize(d.dir() / "cut", 1));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_TRUE(Ended(child));

    // Whatever varnel is doing now (writing more data, or the end unit
    // once the source ends), the connection is gone.
    feed.Write(Pattern(128 * 1024, 7));
    feed.Close();
    auto st = varnel.Wait(30s);
    ASSERT_TRUE(st.has_value()) << "varnel hung after losing its server";
    EXPECT_EQ(*st, 2);
    EXPECT_NE(varnel.Stderr().find(kVarnel + ": "), std::string::npos)
        << "no failure reported: " << varnel.Stderr();

    ASSERT_TRUE(d.process().Running());
    ExpectServes(d, c, "next");
}

// A disk that fills up under the transfer: the server reports the failed
// write, the client is told by the connection's end and exits 2, the file
// keeps what fitted, and the daemon serves on.
TEST(Faults, FullDiskEndsTheTransfer) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs the superuser";
    if (!fs::exists("/usr/bin/unshare"))
        GTEST_SKIP() << "unshare (util-linux) is not installed";
    DaemonOnSmallDisk d(64 * 1024);
    if (!d.started())
        GTEST_SKIP() << "cannot mount a tmpfs in a mount namespace here: " << d.why();

    Client c(d.port());
    const std::string data = Pattern(1 << 20, 8);
    WriteFile(c.dir / "big", data);
    const Result r = harness::Run(c.Args(c.dir / "big", "disk/full"));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(kVarnel + ": "), std::string::npos) << r.err;
    ASSERT_TRUE(d.process().WaitForOutput("No space left on device", true)) << d.process().Stderr();
    EXPECT_NE(d.process().Stderr().find("write of file data failed"), std::string::npos);

    const std::string stored = ReadFile(d.Seen(d.dir() / "disk" / "full"));
    EXPECT_GT(stored.size(), 0u);
    EXPECT_LT(stored.size(), data.size());
    EXPECT_TRUE(std::string_view(data).substr(0, stored.size()) == stored);

    ASSERT_TRUE(d.process().Running());
    const std::string next = Pattern(10'000, 9);
    WriteFile(c.dir / "small", next);
    const Result again = harness::Run(c.Args(c.dir / "small", "next"));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(ReadFile(d.dir() / "next"), next);
}

// The client's own file-size limit (-u, in 512-byte blocks) reached: the
// same as a full disk, with exactly the limit's bytes stored.
TEST(Faults, FileSizeLimitEndsTheTransfer) {
    Daemon d;
    Client c(d.port());
    const std::string data = Pattern(200'000, 10);
    WriteFile(c.dir / "big", data);
    const Result r = harness::Run(c.Args(c.dir / "big", "limited", {"-u", "8"}));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(kVarnel + ": "), std::string::npos) << r.err;
    ASSERT_TRUE(d.process().WaitForOutput("File too large", true)) << d.Stderr();
    EXPECT_EQ(ReadFile(d.dir() / "limited"), data.substr(0, 8 * 512));

    ASSERT_TRUE(d.process().Running());
    ExpectServes(d, c, "next");
}
