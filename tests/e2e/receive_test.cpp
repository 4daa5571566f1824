// File reception (0xFF) end to end: the real varneld, a test peer that
// sends the request, reads the status byte, sends the units and the end
// unit, and sees the server's orderly release or disconnect.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "peer.h"

namespace {

using namespace harness;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kTitle = Bin("varneld").string();
const char* const kTestAccount = "varneltest";

// The account the daemon's children run as: the tester's own, or, for the
// superuser, a dedicated account with its own group (created once).
std::string RunAsAccount() {
    if (geteuid() != 0)
        return CurrentUser();
    if (getpwnam(kTestAccount) == nullptr) {
        const int lock = open("/tmp/varneltest-account.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (lock >= 0)
            flock(lock, LOCK_EX);
        if (getpwnam(kTestAccount) == nullptr)
            std::system("useradd -U -M -s /usr/sbin/nologin varneltest >/dev/null 2>&1");
        if (lock >= 0)
            close(lock);
    }
    return kTestAccount;
}

// The daemon with the run-id file naming the run-as account.
struct Server {
    Daemon d;
    explicit Server(std::vector<std::string> extra = {}) : d(std::move(extra)) {
        SetRunId(RunAsAccount() + "\n");
    }
    void SetRunId(std::string_view text) const { WriteFile(d.dir() / ".spxrunid", text); }
    fs::path operator/(std::string_view name) const { return d.dir() / name; }
};

// What the peer saw of one reception.
struct Outcome {
    int status = -1;       // the status byte, -1 when none came
    bool released = false; // the server's orderly release came
    int reason = -1;       // reason of the disconnect that followed, -1 when none
};

// Sends the request; on status 0 the units with T_MORE, then the end unit.
Outcome Store(int port, const std::string& record, const std::vector<std::string>& units = {},
              const std::string& endUnit = "") {
    Outcome o;
    peer::Conn c(port);
    if (!c.ok() || !c.Send(record))
        return o;
    auto st = c.Recv(1);
    if (!st || st->data.size() != 1)
        return o;
    o.status = static_cast<unsigned char>(st->data[0]);
    if (o.status == 0) {
        for (const auto& u : units)
            if (!c.Send(u, T_MORE))
                break;
        c.Send(endUnit, 0);
    }
    int ev = c.SkipToEvent();
    if (ev == T_ORDREL) {
        o.released = c.ReceiveRelease();
        ev = c.WaitEvent();
    }
    if (ev == T_DISCONNECT)
        o.reason = c.ReceiveDisconnect();
    return o;
}

// Cuts data into units of size bytes.
std::vector<std::string> Units(const std::string& data, std::size_t size = SPX_MAX_DATA) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < data.size(); at += size)
        out.push_back(data.substr(at, size));
    return out;
}

mode_t Mode(const fs::path& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class ReceiveFile : public ::testing::Test {
  protected:
    void SetUp() override { umask(022); }
};

// What arrives with T_MORE is stored byte for byte, whatever the unit
// sizes (zero-byte units store nothing); the end unit never is, even at
// full size; an existing file is truncated first; the server then releases.
TEST_F(ReceiveFile, StoresMoreUnitsOnlyAndReleases) {
    Server s({"-v"});
    const std::string a = Pattern(534, 1), b = Pattern(100, 2), c = Pattern(1500, 3);
    WriteFile(s / "out.bin", std::string(4000, 'o'));
    fs::permissions(s / "out.bin", fs::perms(0666)); // the run-as account may write it
    Outcome o = Store(s.d.port(), peer::ReceiveRecord("out.bin"), {a, "", b, "", c}, "END UNIT");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.released);
    EXPECT_EQ(o.reason, SPX_DISCON_TERMINATED);
    EXPECT_EQ(ReadFile(s / "out.bin"), a + b + c);

    const std::string data = Pattern(534 * 300 + 17, 4);
    EXPECT_TRUE(
        Store(s.d.port(), peer::ReceiveRecord("big.bin"), Units(data), Pattern(534, 5)).released);
    EXPECT_EQ(ReadFile(s / "big.bin"), data);

    o = Store(s.d.port(), peer::ReceiveRecord("empty"), {}, "x");
    EXPECT_TRUE(o.released);
    ASSERT_TRUE(fs::exists(s / "empty"));
    EXPECT_EQ(fs::file_size(s / "empty"), 0u);

    const std::string head = R"(: \d\d/\d\d/\d\d \d\d:\d\d:\d\d [AP]M : \d+: )";
    EXPECT_TRUE(std::regex_search(s.d.Stdout(), std::regex(head + "receiveing out\\.bin \n")));
    EXPECT_TRUE(std::regex_search(s.d.Stdout(), std::regex(head + "received file out\\.bin\n")));
}

// The mode of the created file: the requested permissions (0 meaning
// 0644), under the daemon's file-creation mask, never set-id.
TEST_F(ReceiveFile, PermissionsOfTheCreatedFile) {
    Server s;
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("p0", 0)).released);
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("p600", 0600)).released);
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("p666", 0666)).released);
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("p6755", 06755)).released);
    EXPECT_EQ(Mode(s / "p0"), 0644u);
    EXPECT_EQ(Mode(s / "p600"), 0600u);
    EXPECT_EQ(Mode(s / "p666"), 0644u);
    EXPECT_EQ(Mode(s / "p6755"), 0755u);
}

// A file that cannot be created is refused up front with the real error
// number (ENOENT included), the child ends with a disconnect and nothing
// is created.
TEST_F(ReceiveFile, CreateFailuresSendTheirErrorNumber) {
    Server s;
    fs::create_directory(s / "ro");
    fs::permissions(s / "ro", fs::perms(0555));
    const std::pair<std::string, int> cases[] = {
        {"nodir/x", ENOENT},
        {"ro/x", EACCES},
        {std::string(80, 'n'), ENAMETOOLONG}, // no terminator inside the field
        {"", ENOENT},                         // the command code alone
    };
    for (const auto& [name, error] : cases) {
        SCOPED_TRACE(name);
        const std::string record =
            name.empty() ? std::string("\x00\x00\x00\xFF", 4) : peer::ReceiveRecord(name);
        const Outcome o = Store(s.d.port(), record, {"data"});
        EXPECT_EQ(o.status, error);
        EXPECT_FALSE(o.released);
        EXPECT_EQ(o.reason, SPX_DISCON_TERMINATED);
    }
    EXPECT_FALSE(fs::exists(s / "nodir"));
    EXPECT_FALSE(fs::exists(s / "ro/x"));
    for (const auto& e : fs::directory_iterator(s.d.dir()))
        EXPECT_EQ(e.path().filename().string().find("nnn"), std::string::npos);
    EXPECT_TRUE(std::regex_search(s.d.Stderr(),
                                  std::regex(R"(\d+: open of nodir/x failed \n)" +
                                             std::string(std::strerror(ENOENT)) + "\nin abort\n")))
        << s.d.Stderr();
    EXPECT_TRUE(
        std::regex_search(s.d.Stdout(), std::regex(R"(\d+: recieve file nodir/x failed \n)")));

    // The longest name the field can hold works.
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord(std::string(79, 'm')), {"ok"}).released);
    EXPECT_EQ(ReadFile(s / std::string(79, 'm')), "ok");
}

// The client's file-size limit: the file gets exactly the limit's bytes,
// the overflow is a failed write (not a killed child), the daemon goes on.
TEST_F(ReceiveFile, FileSizeLimitStopsTheStore) {
    Server s;
    const std::string data = Pattern(3000, 6);
    const Outcome o = Store(s.d.port(), peer::ReceiveRecord("lim", 0, 2), Units(data));
    EXPECT_EQ(o.status, 0);
    EXPECT_FALSE(o.released);
    EXPECT_EQ(o.reason, SPX_DISCON_TERMINATED);
    EXPECT_EQ(ReadFile(s / "lim"), data.substr(0, 1024));
    ASSERT_TRUE(s.d.process().WaitForOutput("in abort", true));
    EXPECT_TRUE(std::regex_search(s.d.Stderr(),
                                  std::regex(R"(\d+: write of file data failed \n\t)" +
                                             std::string(std::strerror(EFBIG)) + "\nin abort\n")))
        << s.d.Stderr();
    // A limit never outlives its child.
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("after"), Units(data)).released);
    EXPECT_EQ(ReadFile(s / "after"), data);
}

TEST_F(ReceiveFile, LimitThatCannotBeRaisedIsRefused) {
    if (geteuid() == 0)
        GTEST_SKIP() << "the superuser may raise any file-size limit";
    TempDir dir;
    WriteFile(dir / ".spxrunid", CurrentUser() + "\n");
    const int port = FreePort();
    Process p({"/bin/sh", "-c", "ulimit -f 100 && exec \"$0\" -s " + HexPort(port), kTitle},
              Options{dir.path(), std::nullopt});
    ASSERT_TRUE(p.WaitForOutput("spxfd = ", true)) << p.Stdout() << p.Stderr();
    const Outcome o = Store(port, peer::ReceiveRecord("big", 0, 1000), {"data"});
    EXPECT_EQ(o.status, EPERM);
    EXPECT_EQ(o.reason, SPX_DISCON_TERMINATED);
    EXPECT_FALSE(fs::exists(dir / "big"));
    ASSERT_TRUE(p.WaitForOutput("in abort", true));
    EXPECT_TRUE(std::regex_search(p.Stderr(), std::regex(R"(\d+: set ulimit failed \n)" +
                                                         std::string(std::strerror(EPERM)) + "\n")))
        << p.Stderr();
}

// The run-as account comes from the first word of the run-id file; a file
// without a usable word, or naming no account, refuses the service. A word
// too long for the name is refused, never cut (a cut name could be another
// account's).
TEST_F(ReceiveFile, RunIdFile) {
    Server s;
    s.SetRunId("  " + RunAsAccount() + " other\n");
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("w.txt"), {"w"}).released);
    EXPECT_EQ(ReadFile(s / "w.txt"), "w");

    const std::string word79(79, 'u');
    const std::pair<std::string, std::string> refusals[] = {
        {"", ": error reading name  from ./.spxrunid file \n"},
        {"  \n\t \n", ": error reading name  from ./.spxrunid file \n"},
        {"nosuchaccount_vt\n", ": error getting passwd entry for nosuchaccount_vt\n"},
        {word79 + "\n", ": error getting passwd entry for " + word79 + "\n"},
        {word79 + "v\n", ": error reading name " + word79 + " from ./.spxrunid file \n"},
    };
    for (const auto& [text, line] : refusals) {
        SCOPED_TRACE(line);
        s.SetRunId(text);
        const Outcome o = Store(s.d.port(), peer::ReceiveRecord("x"), {"data"});
        EXPECT_EQ(o.status, EACCES);
        EXPECT_EQ(o.reason, SPX_DISCON_TERMINATED);
        EXPECT_TRUE(s.d.process().WaitForOutput(line));
    }
    EXPECT_FALSE(fs::exists(s / "x"));
    EXPECT_EQ(LinesWith(s.d.Stderr(), "couldnt set effective userid").size(), 5u);
}

TEST_F(ReceiveFile, NoRunIdFileWithoutFallbackAccounts) {
    if (getpwnam("spxhost") != nullptr || getpwnam("guest") != nullptr)
        GTEST_SKIP() << "this host has a fallback account";
    Server s;
    fs::remove(s / ".spxrunid");
    EXPECT_EQ(Store(s.d.port(), peer::ReceiveRecord("x")).status, EACCES);
    ASSERT_TRUE(s.d.process().WaitForOutput("idname"));
    EXPECT_TRUE(
        std::regex_search(s.d.Stdout(), std::regex(R"(\d+: no valid idname found - exiting\n)")));
}

// The stored file belongs to the run-as account and its group, whatever
// the request's uid and gid say; a superuser daemon serves an account of
// another group and keeps none of its own groups or ids.
TEST_F(ReceiveFile, FileBelongsToTheRunAsAccount) {
    Server s;
    const passwd* pw = getpwnam(RunAsAccount().c_str());
    ASSERT_NE(pw, nullptr);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    EXPECT_TRUE(Store(s.d.port(), peer::ReceiveRecord("own", 0, 0, 1234, 5678), {"o"}).released);
    struct stat st {};
    ASSERT_EQ(stat((s / "own").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
}

TEST_F(ReceiveFile, SuperuserDaemonDropsEveryPrivilege) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs the superuser to run the daemon as another account";
    Server s;
    const std::string account = RunAsAccount();
    const passwd* pw = getpwnam(account.c_str());
    ASSERT_NE(pw, nullptr);
    const uid_t accountUid = pw->pw_uid;
    const gid_t accountGid = pw->pw_gid;
    const std::string uid = std::to_string(accountUid);
    const std::string gid = std::to_string(accountGid);
    std::set<std::string> groups{gid};
    int n = 64;
    std::vector<gid_t> list(static_cast<std::size_t>(n));
    if (getgrouplist(account.c_str(), accountGid, list.data(), &n) > 0) {
        groups.clear();
        for (int i = 0; i < n; ++i)
            groups.insert(std::to_string(list[static_cast<std::size_t>(i)]));
    }

    // Hold a child between its status and its data, and look at its ids.
    peer::Conn c(s.d.port());
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.Send(peer::ReceiveRecord("ids")));
    auto st = c.Recv(1);
    ASSERT_TRUE(st);
    ASSERT_EQ(st->data, std::string(1, '\0'));
    const int listener = s.d.process().pid();
    std::ifstream kids("/proc/" + std::to_string(listener) + "/task/" + std::to_string(listener) +
                       "/children");
    int child = 0;
    ASSERT_TRUE(kids >> child);
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    std::string line;
    std::map<std::string, std::string> fields;
    while (std::getline(status, line)) {
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            fields[line.substr(0, colon)] = line.substr(colon + 1);
    }
    auto words = [](const std::string& text) {
        std::istringstream in(text);
        std::vector<std::string> w;
        std::string x;
        while (in >> x)
            w.push_back(x);
        return w;
    };
    EXPECT_EQ(words(fields["Uid"]), std::vector<std::string>(4, uid));
    EXPECT_EQ(words(fields["Gid"]), std::vector<std::string>(4, gid));
    const auto held = words(fields["Groups"]);
    EXPECT_EQ(std::set<std::string>(held.begin(), held.end()), groups);

    ASSERT_TRUE(c.Send("z", T_MORE));
    ASSERT_TRUE(c.Send("", 0));
    EXPECT_EQ(c.SkipToEvent(), T_ORDREL);
    struct stat fst {};
    ASSERT_EQ(stat((s / "ids").c_str(), &fst), 0);
    EXPECT_EQ(fst.st_uid, accountUid);
    EXPECT_EQ(fst.st_gid, accountGid);
}

} // namespace
