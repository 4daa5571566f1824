// End-to-end tests of varneld's send-file (0xFC), remote-command (0xFD) and
// output-copy (0xFE) services, seen unit by unit through a peer written on
// the provider.

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "harness.h"
#include "spxproto.h"

namespace {

using namespace harness;

struct Unit {
    std::string data;
    bool more = false;
};

// A client on the provider that sends and receives exact units.
class Peer {
  public:
    explicit Peer(int port) {
        fd_ = t_open("/dev/nspx", O_RDWR, nullptr);
        if (fd_ < 0)
            return;
        struct t_bind bind {};
        ipxAddr_t local{};
        bind.addr = {sizeof local, sizeof local, reinterpret_cast<char*>(&local)};
        ipxAddr_t server{}; // all-zero node: this host
        spx::PutBE16(server.sock, static_cast<std::uint16_t>(port));
        SPX_OPTS opts{};
        t_call call{};
        call.addr = {sizeof server, sizeof server, reinterpret_cast<char*>(&server)};
        call.opt = {sizeof opts, sizeof opts, reinterpret_cast<char*>(&opts)};
        connected_ = t_bind(fd_, &bind, &bind) == 0 && t_connect(fd_, &call, &call) == 0;
    }
    ~Peer() {
        if (fd_ >= 0)
            t_close(fd_);
    }
    bool connected() const { return connected_; }

    bool Send(std::string_view bytes, int flags = 0) {
        return t_snd(fd_, bytes.data(), static_cast<unsigned>(bytes.size()), flags) ==
               static_cast<int>(bytes.size());
    }
    // The next event, 0 when none came within 20 seconds.
    int NextEvent() {
        auto deadline = std::chrono::steady_clock::now() + 20s;
        int ev = 0;
        while ((ev = t_look(fd_)) == 0 && std::chrono::steady_clock::now() < deadline) {
        }
        return ev;
    }
    // The next unit; nullopt when an event other than data is next.
    std::optional<Unit> Receive() {
        if (NextEvent() != T_DATA)
            return std::nullopt;
        std::string buf(65536, '\0');
        int flags = 0;
        int n = t_rcv(fd_, buf.data(), static_cast<unsigned>(buf.size()), &flags);
        if (n < 0)
            return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return Unit{buf, (flags & T_MORE) != 0};
    }
    // Units up to and including the first one without T_MORE (at most 100000).
    std::vector<Unit> ReceiveStream() {
        std::vector<Unit> units;
        while (units.size() < 100000) {
            auto u = Receive();
            if (!u)
                break;
            units.push_back(*u);
            if (!u->more)
                break;
        }
        return units;
    }
    // The reason of the disconnect that is next, -1 when something else is.
    int Disconnect() {
        if (NextEvent() != T_DISCONNECT)
            return -1;
        t_discon d{};
        return t_rcvdis(fd_, &d) == 0 ? d.reason : -1;
    }
    bool TakeRelease() { return NextEvent() == T_ORDREL && t_rcvrel(fd_) == 0; }
    bool Release() { return t_sndrel(fd_) == 0; }
    bool Abort() { return t_snddis(fd_, nullptr) == 0; }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string Code(std::uint32_t code) {
    std::string b(4, '\0');
    spx::PutBE32(std::span<unsigned char, 4>(reinterpret_cast<unsigned char*>(b.data()), 4), code);
    return b;
}

// A request record: the command code, then the text in a field of size bytes.
std::string Request(std::uint32_t code, std::string_view text, std::size_t size) {
    std::string r = Code(code) + std::string(text);
    r.resize(4 + size, '\0');
    return r;
}
std::string SendFileRequest(std::string_view name) {
    return Request(SERV_SEND_FILE, name, sizeof(sendFile_t::fileName));
}
std::string RshRequest(std::string_view command) {
    return Request(SERV_RSH, command, sizeof(rshData_t::command));
}

std::vector<std::size_t> Sizes(const std::vector<Unit>& units) {
    std::vector<std::size_t> s;
    for (const auto& u : units)
        s.push_back(u.data.size());
    return s;
}

// Waits until the listener is back in t_listen after `accepted` connections:
// it has printed its state line 2 * accepted + 1 times.
void WaitForListener(Daemon& d, int accepted) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        std::string err = d.Stderr();
        int n = 0;
        for (auto p = err.find("spxfd = "); p != std::string::npos; p = err.find("spxfd = ", p + 1))
            ++n;
        if (n >= 2 * accepted + 1 || std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::sleep_for(2ms);
    }
}

// Creates the dedicated run-as account "varneltest" once; tests running in
// parallel serialise on a lock file. False when it cannot be had.
bool EnsureTestAccount() {
    int lock = open("/tmp/varneltest-account.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return false;
    flock(lock, LOCK_EX);
    for (int attempt = 0; attempt < 5 && getpwnam("varneltest") == nullptr; ++attempt) {
        if (std::system("useradd -U -M -s /usr/sbin/nologin varneltest >/dev/null 2>&1") != 0)
            std::this_thread::sleep_for(200ms);
    }
    bool ok = getpwnam("varneltest") != nullptr;
    flock(lock, LOCK_UN);
    close(lock);
    return ok;
}

// --- send file: wrong unit sizes or a missing zero-byte unit break peers that frame on them ---

TEST(SendFile, UnitsFollowTheFileSize) {
    Daemon d({"-v"});
    struct Case {
        std::size_t size;
        std::vector<std::size_t> dataUnits;
    };
    const std::vector<Case> cases = {
        {0, {0}}, {1, {1}}, {534, {534, 0}}, {600, {534, 66}}, {1068, {534, 534, 0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("file of " + std::to_string(c.size) + " bytes");
        const std::string content = Pattern(c.size, static_cast<unsigned>(c.size));
        WriteFile(d.dir() / "file", content);
        Peer p(d.port());
        ASSERT_TRUE(p.connected());
        ASSERT_TRUE(p.Send(SendFileRequest("file")));
        auto status = p.Receive();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->data, std::string(1, '\0'));
        EXPECT_FALSE(status->more);
        auto units = p.ReceiveStream();
        ASSERT_EQ(units.size(), c.dataUnits.size() + 1);
        std::string got;
        for (std::size_t i = 0; i + 1 < units.size(); ++i) {
            EXPECT_TRUE(units[i].more);
            got += units[i].data;
        }
        EXPECT_EQ(got, content);
        EXPECT_EQ(units.back().data.size(), 1u); // the end unit
        EXPECT_FALSE(units.back().more);
        units.pop_back();
        EXPECT_EQ(Sizes(units), c.dataUnits);
        ASSERT_TRUE(p.Release());
        ASSERT_TRUE(p.Abort());
    }
    EXPECT_TRUE(d.process().WaitForOutput(": sent file to client \n"));
    EXPECT_EQ(d.Stderr().find("in abort"), std::string::npos);
}

// --- send file refusals: the closing handshake must still run, and a refused name is never opened
// ---

// Expects the status, then the end unit alone; releases and checks that the
// service waits for the disconnect before it reports success.
void ExpectRefusal(Daemon& d, Peer& p, int status) {
    auto reply = p.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data, std::string(1, static_cast<char>(status)));
    auto units = p.ReceiveStream();
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].data.size(), 1u);
    EXPECT_FALSE(units[0].more);
    ASSERT_TRUE(p.Release());
    EXPECT_FALSE(d.process().WaitForOutput("sent file to client", false, 300ms));
    ASSERT_TRUE(p.Abort());
    EXPECT_TRUE(d.process().WaitForOutput(": sent file to client \n"));
    EXPECT_EQ(d.Stderr().find("in abort"), std::string::npos);
}

TEST(SendFile, MissingFileGivesStatus2ThenOnlyTheEndUnit) {
    Daemon d({"-v"});
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    ASSERT_TRUE(p.Send(SendFileRequest("missing")));
    ExpectRefusal(d, p, ENOENT);
    EXPECT_NE(d.Stdout().find(": open of missing failed \n"), std::string::npos);
    EXPECT_NE(d.Stderr().find("No such file or directory\n"), std::string::npos);
}

TEST(SendFile, UnterminatedNameIsRefusedWithNameTooLong) {
    Daemon d({"-v"});
    // A file named by the first 79 bytes exists: a cut name must not open it.
    WriteFile(d.dir() / std::string(79, 'a'), "secret");
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    ASSERT_TRUE(p.Send(Code(SERV_SEND_FILE) + std::string(80, 'a')));
    ExpectRefusal(d, p, ENAMETOOLONG);
}

TEST(SendFile, FileTheRunAsAccountCannotWriteIsRefused) {
    const bool root = geteuid() == 0;
    if (root && !EnsureTestAccount())
        GTEST_SKIP() << "the test account varneltest cannot be created";
    // Not root: the run-as account is ours, and the file is read-only.
    // Root: the run-as account is varneltest, and the file is root's.
    Daemon d({"-v"}, !root);
    if (root)
        WriteFile(d.dir() / ".spxrunid", "varneltest\n");
    WriteFile(d.dir() / "file", "data");
    chmod((d.dir() / "file").c_str(), root ? 0644 : 0444);
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    ASSERT_TRUE(p.Send(SendFileRequest("file")));
    ExpectRefusal(d, p, EACCES);
}

// --- send file read errors: a file that fails to read must end the loop, not spin ---

TEST(SendFile, ReadErrorEndsTheDataAndSendsTheEndUnit) {
    Daemon d;
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    // Opens for update, but reading at offset 0 fails (nothing is mapped there).
    ASSERT_TRUE(p.Send(SendFileRequest("/proc/self/mem")));
    auto status = p.Receive();
    ASSERT_TRUE(status);
    if (status->data != std::string(1, '\0'))
        GTEST_SKIP() << "/proc/self/mem cannot be opened for update here";
    auto units = p.ReceiveStream();
    ASSERT_FALSE(units.empty());
    EXPECT_LE(units.size(), 3u);
    EXPECT_FALSE(units.back().more);
    EXPECT_NE(d.Stderr().find(": read of /proc/self/mem failed \n"), std::string::npos);
    ASSERT_TRUE(p.Release());
    ASSERT_TRUE(p.Abort());
}

// --- remote command: framing of the output and the closing handshake ---

TEST(RemoteShell, NoOutputGivesOneEmptyUnitAndTheEndUnit) {
    Daemon d({"-v"});
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    ASSERT_TRUE(p.Send(RshRequest("true")));
    auto units = p.ReceiveStream();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].data, "");
    EXPECT_TRUE(units[0].more);
    EXPECT_EQ(units[1].data.size(), 1u);
    EXPECT_FALSE(units[1].more);
    ASSERT_TRUE(p.Release());
    EXPECT_EQ(p.Disconnect(), SPX_DISCON_TERMINATED);
    EXPECT_TRUE(d.process().WaitForOutput(": executed remote shell\n"));
    EXPECT_EQ(d.Stdout().find("t_rcvrel failed"), std::string::npos);
}

TEST(RemoteShell, LongOutputArrivesInFullUnitsInOrder) {
    Daemon d;
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    ASSERT_TRUE(p.Send(RshRequest("seq 1 3000")));
    auto units = p.ReceiveStream();
    ASSERT_GE(units.size(), 2u);
    std::string got;
    for (std::size_t i = 0; i + 1 < units.size(); ++i) {
        got += units[i].data;
        if (i + 2 < units.size()) {
            EXPECT_EQ(units[i].data.size(), SPX_MAX_DATA);
        }
    }
    std::string want;
    for (int i = 1; i <= 3000; ++i)
        want += std::to_string(i) + "\n";
    EXPECT_EQ(got, want);
    ASSERT_TRUE(p.Release());
    EXPECT_EQ(p.Disconnect(), SPX_DISCON_TERMINATED);
}

// --- remote command isolation: standard error, descriptors, signals and ids of the daemon must not
// leak ---

// Runs command through the service and returns its output.
std::string RunRemote(Daemon& d, std::string_view command) {
    Peer p(d.port());
    EXPECT_TRUE(p.connected());
    EXPECT_TRUE(p.Send(RshRequest(command)));
    auto units = p.ReceiveStream();
    std::string out;
    for (const auto& u : units)
        if (u.more)
            out += u.data;
    EXPECT_TRUE(p.Release());
    EXPECT_EQ(p.Disconnect(), SPX_DISCON_TERMINATED);
    return out;
}

TEST(RemoteShell, StandardErrorStaysOnTheServer) {
    Daemon d;
    EXPECT_EQ(RunRemote(d, "echo out; echo err-text >&2"), "out\n");
    EXPECT_TRUE(d.process().WaitForOutput("err-text\n", true));
}

TEST(RemoteShell, CommandInheritsOnlyStandardDescriptors) {
    Daemon d;
    // ls opens one directory of its own, /proc/<pid>/fd; nothing else may be there.
    const std::string out = RunRemote(d, "ls -l /proc/self/fd");
    int seen = 0;
    for (const auto& line : Lines(out)) {
        auto arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        auto sp = line.rfind(' ', arrow - 1);
        const int fd = std::stoi(line.substr(sp + 1, arrow - sp - 1));
        const std::string target = line.substr(arrow + 4);
        ++seen;
        if (fd > 2) {
            EXPECT_NE(target.find("/fd"), std::string::npos) << line;
        }
        EXPECT_EQ(target.find("socket:"), std::string::npos) << line;
    }
    EXPECT_GE(seen, 3) << out;
}

TEST(RemoteShell, CommandRunsWithDefaultSignalsAndEmptyMask) {
    Daemon d;
    const std::string out = RunRemote(d, "grep -E '^Sig(Blk|Ign):' /proc/self/status");
    EXPECT_NE(out.find("SigBlk:\t0000000000000000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SigIgn:\t0000000000000000\n"), std::string::npos) << out;
}

TEST(RemoteShell, CommandRunsWithTheRunAsAccountsIdsOnly) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to the test account";
    if (!EnsureTestAccount())
        GTEST_SKIP() << "the test account varneltest cannot be created";
    const passwd* pw = getpwnam("varneltest");
    ASSERT_NE(pw, nullptr);
    const std::string uid = std::to_string(pw->pw_uid);
    const std::string gid = std::to_string(pw->pw_gid);
    Daemon d({}, false);
    WriteFile(d.dir() / ".spxrunid", "varneltest\n");
    EXPECT_EQ(RunRemote(d, "id"), "uid=" + uid + "(varneltest) gid=" + gid +
                                      "(varneltest) groups=" + gid + "(varneltest)\n");
}

// --- remote command refusals: a command line cut at its field must never run ---

TEST(RemoteShell, UnterminatedCommandIsRefusedWithoutRunning) {
    Daemon d;
    std::string command = "touch ran";
    command.resize(sizeof(rshData_t::command), ' ');
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    ASSERT_TRUE(p.Send(Code(SERV_RSH) + command));
    EXPECT_EQ(p.Disconnect(), SPX_DISCON_TERMINATED);
    EXPECT_TRUE(d.process().WaitForOutput("in abort\n", true));
    EXPECT_FALSE(fs::exists(d.dir() / "ran"));
}

// --- output copy: every byte in order, the end unit's too, and a clean close ---

TEST(ReceiveStdout, WritesEveryUnitIncludingTheEndUnit) {
    Daemon d({"-v"});
    Peer p(d.port());
    ASSERT_TRUE(p.connected());
    WaitForListener(d, 1); // the listener's own lines come before the data
    const std::string big = Pattern(SPX_MAX_DATA, 7);
    ASSERT_TRUE(p.Send(Request(SERV_RECV_STDOUT, "", sizeof(receiveFile_t::filename) + 12)));
    ASSERT_TRUE(p.Send("abc", T_MORE));
    ASSERT_TRUE(p.Send("", T_MORE));
    ASSERT_TRUE(p.Send(big, T_MORE));
    ASSERT_TRUE(p.Send("XYZ", 0)); // a nonzero end unit is data here
    EXPECT_TRUE(p.TakeRelease());
    ASSERT_TRUE(p.Release());
    const std::string want = "abc" + big + "XYZ" + Bin("varneld").string() + ": ";
    EXPECT_TRUE(d.process().WaitForOutput(": received stdout\n"));
    EXPECT_NE(d.Stdout().find(want), std::string::npos);
    EXPECT_EQ(d.Stderr().find("t_rcvdrel failed"), std::string::npos);
}

TEST(ReceiveStdout, ClientThatNeverReleasesStillEndsTheChild) {
    Daemon d;
    {
        Peer p(d.port());
        ASSERT_TRUE(p.connected());
        ASSERT_TRUE(p.Send(Code(SERV_RECV_STDOUT)));
        ASSERT_TRUE(p.Send("", 0));
        EXPECT_TRUE(p.TakeRelease());
    } // closed without a release
    EXPECT_TRUE(d.process().WaitForOutput(": stdout receive t_rcvdrel failed\n", true));
}

} // namespace
