// varnel: its option parser and host file reader, and whole runs against a server.
#include <arpa/inet.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "harness.h"
#include "hostfile.h"
#include "peer.h"
#include "settings.h"
#include "statistics.h"

using namespace harness;
using R = ArgsResult;

const std::string kVarnel = Bin("varnel").string(), kTitle = kVarnel + ": ";

// ParseArgs' answer ("usage", "ulimit", "refused") or the settings off their defaults ("p=534").
static std::string Parsed(Strings args) {
    args.insert(args.begin(), "varnel");
    std::vector<char*> argv{nullptr};
    for (auto& w : args)
        argv.insert(argv.end() - 1, w.data());
    Settings s;
    if (const auto r = ParseArgs(static_cast<int>(args.size()), argv.data(), s); r != R::Ok)
        return r == R::Usage ? "usage" : r == R::Refused ? "refused" : "ulimit";
    char all[2048];
    std::snprintf(all, sizeof all, "r=%s j=%s f=%s tran=%d u=%u P=%o s=%04x p=%u v=%d h=%s",
                  s.remoteName.data(), s.sourcefile.data(), s.filename.data(), s.fileTran,
                  s.newULimit, s.newPermissions, ntohs(s.destSocket), s.packetSize, s.verbose,
                  s.addressFile.data());
    const std::string defaults = " r= j= f= tran=0 u=0 P=644 s=0000 p=1024 v=0 h=./yellowpages ";
    std::string changed, word;
    for (std::istringstream words(all); words >> word;)
        if (defaults.find(" " + word + " ") == std::string::npos)
            changed += (changed.empty() ? "" : " ") + word;
    return changed;
}

// Options misread, cut or silently dropped: the wrong host, file or size.
TEST(ClientSettings, ParseArgs) {
    const std::string h(199, 'h'), f(79, 'f'), y(79, 'y'), j(1024, 'j');
    const std::string longest = "r=" + h + " j=" + j + " f=" + f + " tran=1 h=" + y;
    using Row = std::tuple<Strings, std::string, const char*>;
    for (const auto& [args, want, why] : std::vector<Row>{
             {{}, "", "defaults: packets of 1024, mode 0644, ./yellowpages"},
             {{"-r", h, "-f", f, "-h", y, "-j", j}, longest, "the longest of each"},
             {{"-r", h + "h"}, "refused", "a cut host name calls another host"},
             {{"-f", f + "f"}, "refused", "a cut name stores under another name"},
             {{"-h", y + "y"}, "refused", "the default file may name another host"},
             {{"-j", j + "j"}, "refused", "an earlier -j's file would be sent"},
             {{"-r", "alpha beta"}, "r=alpha", "the first word names the host"},
             {{"-f", "", "-u", "10"}, "ulimit", "-u after an empty -f"},
             {{"-p", "100", "-p", "535", "-p", "abc"}, "p=534", "the last number wins, cut"},
             {{"-p", "-1", "-P", "600"}, "P=600 p=534", "-p compared as unsigned, -P octal"},
             {{"-s", "4510", "-s", "8060h"}, "s=8060", "the last -s, in network order, as printed"},
             {{"-s", "0x45h"}, "refused", "0x or h, not both"},
             {{"-s", "8060x"}, "refused", "a socket nobody named"},
             {{"-s", "0x4510"}, "s=4510", "0x allowed"},
             {{"-s", "0x0x12"}, "refused", "one 0x only"},
             {{"-r", "alpha", "-j"}, "usage", "option without its argument"},
             {{"-r", "alpha", "beta"}, "usage", "a word no option takes"}})
        EXPECT_EQ(Parsed(args), want) << why;
}

// Records misread or mismatched, or a file the user may not write (opened for update) taken.
TEST(ClientHostFile, GetIpxAddress) {
    const std::string rec = "alpha 1 0A0B0C0D 3C4D0000 8060", n(150, 'n'), z(100, '0');
    const ipxAddr_t at{{0, 0, 0, 1}, {0x0a, 0x0b, 0x0c, 0x0d, 0x3c, 0x4d}, {0x80, 0x60}};
    TempDir dir;
    const fs::path file = dir / "yellowpages";
    // The superuser may write anything: the lookups use nobody's file access.
    const int was = setfsuid(geteuid() == 0 ? 65534 : geteuid());
    ipxAddr_t a{};
    using Row = std::tuple<std::string, std::string, bool, const char*>;
    for (const auto& [text, host, found, why] : std::vector<Row>{
             {n + " 1 2 3 4 alpha 1 zz 3 4 " + rec + " gamma 3 1 2 3\n", "alpha", true,
              "a long name read whole, bad numbers never match, records share a line"},
             {"alpha\n1\n\t0A0B0C0D\n\n3C4D0000 \r\n 8060", "alpha", true, "fields across lines"},
             {"alpha 0x1 0X0a0b0c0d 3c4dffff 0x8060", "alpha", true, "0x, lower case, lower half"},
             {n + " 1 2 3 4", n.substr(0, 99), false, "a long name cut to fit must not match"},
             {"alpha 1 " + z + " 3 4 Alpha 1 2 3 4 alphabet 1 2 3 4 " + rec + "0 alpha 1 2 3",
              "alpha", false, "a long number, the whole name, socket over 16 bits, cut record"}}) {
        WriteFile(file, text);
        const int r = GetIpxAddress(file.c_str(), host.c_str(), &(a = {}));
        EXPECT_TRUE(found ? r == 0 && std::memcmp(&a, &at, sizeof a) == 0 : r == -1) << why;
    }
    WriteFile(file, rec);
    chmod(file.c_str(), 0444);
    EXPECT_EQ(GetIpxAddress(file.c_str(), "alpha", &a), -1) << "a file the user may not write";
    setfsuid(was);
}

// A failed run with the wrong report or status, a cause unsaid or a failure that is none reported
// (the unbind after a failed connect), or a request sent for an unreadable source.
TEST(ClientRun, FailedRuns) {
    Daemon d;
    d.WriteHostFile();
    WriteFile(d.dir() / "typos", "typo 0000ABCE 02000000 00010000 4500\n");
    const int closed = FreePort();
    WriteFile(d.dir() / "kept", "precious");
    fs::create_directory(d.dir() / "adir");
    const std::string usage = harness::Run({kVarnel}, d.dir()).err, t = kTitle;
    ASSERT_EQ(usage.rfind(t + "usage: " + kVarnel + " -r<dname> -j<sourcefile> ", 0), 0u) << usage;
    const std::string look = " \t : An event requires attention\n", ipx = "get ipx address of ";
    const std::string cant = "Can't open sourcefile: ", missing = cant + std::strerror(ENOENT);
    // clang-format off
    // Nothing on stdout; stderr whole.
    using Row = std::tuple<Strings, int, std::string>;
    for (auto [args, status, err] : std::vector<Row>{
        {{"-j", "x"}, 1, usage},
        {{"-x", "-r", "server"}, 1, usage},
        {{"-r", "server", "-p", "0"}, 1, t + "-p packet size 0 refused\n"},
        {{"-r", "server", "-s", "12345"}, 1, t + "-s socket not one to four hexadecimal digits"
            " refused\n"},
        {{"-r", "server", "-u", "9"}, 1, "VARNEL: ulimit must be preceeded with a filename\n"},
        {{"-r", "server", "-h", "absent"}, 2, "VARNEL: error opening yellowpages: No such file"
            " or directory\n" + t + ipx + "server from absent failed \n"},
        {{"-r", "other"}, 2, t + "couldn't find remote name other\n" + t + ipx + "other from"
            " ./yellowpages failed \n"},
        {{"-r", "server", "-s", HexPort(closed)}, 2, t + "t_connect failed \n" + look + t +
            "127.0.0.1 port " + std::to_string(closed) + " refused the connection: nothing"
            " listens there (reason 237)\n"},
        {{"-r", "typo", "-h", "typos"}, 2, t + "t_connect failed \n \t : Incorrect address "
            "format\n" + t + "network 0000ABCE is on no IPX interface of this host, and node "
            "020000000001 is no TCP address (0000 and an IPv4 address)\n"},
        {{"-r", "server", "-f", "kept"}, 255, missing + "\n"},
        {{"-r", "server", "-f", "kept", "-j", "adir"}, 255, cant + std::strerror(EISDIR) + "\n"}}) {
        // clang-format on
        args.insert(args.begin(), kVarnel);
        const Result r = harness::Run(args, d.dir());
        EXPECT_TRUE(r.status == status && r.out.empty()) << r.status << " " << r.out << err;
        EXPECT_EQ(r.err, err);
    }
    EXPECT_EQ(ReadFile(d.dir() / "kept"), "precious");
    for (const std::string name : {"varnel", "varneld", "spxpeer"}) {
        const Result r = harness::Run({Bin(name).string(), "--version"}, d.dir());
        EXPECT_TRUE(r.status == 0 && r.out == name + " " VARNEL_VERSION "\n") << r.out;
    }

    // Progress lines lost, cut or reordered where their buffer fills; data or -s lost.
    WriteFile(d.dir() / "elsewhere", HostRecord("server", FreePort()));
    const std::string data = Pattern((1 << 20) + 7, 3);
    WriteFile(d.dir() / "in", data);
    const std::string s = HexPort(d.port());
    const Result r = harness::Run(
        {kVarnel, "-r", "server", "-h", "elsewhere", "-s", s, "-p", "534", "-j", "in", "-f", "out"},
        d.dir());
    std::string want = "top module: timod\n# modules = 2\n# modules = 2\n";
    for (std::size_t sent = 0; sent < data.size(); sent += 534) {
        const std::string n = std::to_string(std::min<std::size_t>(data.size() - sent, 534));
        want += "write: #bytes accepted: " + n + ", #bytes tried: " + n + "\n";
    }
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
    EXPECT_TRUE(r.out == want + "# modules = 2\n# modules = 2\n") << r.out.size();
    EXPECT_TRUE(ReadFile(d.dir() / "out") == data);
    // Standard descriptors closed at start: no endpoint or file of the three programs may take
    // their numbers and carry the lines. Each waits for a listener that answers nobody.
    const peer::Listener none;
    const std::string q = HexPort(none.port());
    for (Strings argv : {Strings{kVarnel, "-r", "server", "-h", "elsewhere", "-s", q, "-j", "in"},
                         {Bin("spxpeer").string(), "rsh", "-r", "server", "-h", "elsewhere",
                          "-s", q, "true"},
                         {Bin("varneld").string(), "-s", "0"}}) {
        argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" <&- >&- 2>&-", "sh"});
        const Process p(argv, d.dir());
        const auto fd = [at = "/proc/" + std::to_string(p.pid()) + "/fd/"](int n) {
            std::error_code e;
            return fs::read_symlink(at + std::to_string(n), e).string();
        };
        const std::string null = "/dev/null";
        EXPECT_TRUE(WaitUntil([&] { return fd(0) + fd(1) + fd(2) == null + null + null; }))
            << argv[4];
    }
    // A source that pauses: what was read before the pause reaches the server during it.
    ASSERT_EQ(mkfifo((d.dir() / "fifo").c_str(), 0600), 0);
    Process source({"/bin/sh", "-c", "(echo line-one; sleep 3; echo line-two) >fifo"}, d.dir());
    Process copy({kVarnel, "-r", "server", "-h", "elsewhere", "-s", s, "-j", "fifo"}, d.dir());
    EXPECT_TRUE(d.process().WaitForOutput("line-one\n", false, 2s));
    EXPECT_EQ(copy.Wait(), std::optional(0));
    EXPECT_NE(d.Stdout().find("line-one\nline-two\n"), std::string::npos);
}

// Statistics miscounted (past 4 GiB too), or data lost on its way to the server's stdout and not
// reported.
TEST(ClientRun, VerboseStatisticsAndStandardOutput) {
    Statistics big{.beginTime = 0, .endTime = 2}; // three passes of 2 GiB in two seconds
    for (int i = 0; i < 3; ++i)
        big.CountPass(std::uint64_t{1} << 31);
    EXPECT_EQ(StatisticsLines(big),
              (Strings{"6442450944 bytes sent\n", "6442451196 bytes sent including SPX data\n",
                       "6 packets sent\n", "2 seconds to transmit\n", "3221225598 bytes/sec\n",
                       "3145728 kbytes/sec\n"}));
    for (const std::string to : {"exec \"$@\" >/dev/full", "\"$@\" | :", "exec \"$@\""}) {
        Daemon d({}, {"/bin/sh", "-c", to, "sh"});
        d.WriteHostFile();
        WriteFile(d.dir() / "in", Pattern(3000)); // 3 chunks of 1024 and the empty one: 4 passes
        const Result r = harness::Run({kVarnel, "-v", "-r", "server", "-j", "in"}, d.dir());
        if (to != "exec \"$@\"") {
            EXPECT_TRUE(r.status == 2 && d.process().WaitForOutput("stdout data failed", true));
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // What the connection used, as it is.
        EXPECT_NE(r.out.find(kTitle + "connection over TCP: local 127.0.0.1 port "),
                  std::string::npos);
        EXPECT_NE(r.out.find(", peer 127.0.0.1 port " + std::to_string(d.port()) + "\n"),
                  std::string::npos);
        // Four passes counted, on the lines StatisticsLines makes, each with the prefix.
        EXPECT_NE(r.out.find(kTitle + "3000 bytes sent\n" + kTitle + "3336 bytes sent including " +
                             "SPX data\n" + kTitle + "8 packets sent\n" + kTitle),
                  std::string::npos)
            << r.out;
    }
}

// A request wrongly filled, an unconfirmed transfer ending with 0, or data sent after a refusal.
TEST(ClientRun, UnconfirmedTransfersFail) {
    TempDir here;
    WriteFile(here / "in", Pattern(1 << 20));
    // The status sent, the units then taken (-1: up to the end unit), the report.
    using Row = std::tuple<char, int, std::string>;
    for (const auto& [status, units, err] : std::vector<Row>{
             {13, 0, kTitle + "remote open of out failed \n" + std::strerror(13) + "\n"},
             // The server goes mid-transfer: a write or the end unit fails, and why; no unbind
             // failure follows.
             {0, 1, kTitle + "the server ended the connection (reason 236)\n"},
             // A disconnect instead of the release.
             {0, -1,
              kTitle + "transfer not confirmed by the server \n" + kTitle +
                  "the server ended the connection (reason 236)\n"}}) {
        peer::Listener server;
        WriteFile(here / "yellowpages", HostRecord("server", server.port()));
        Process varnel({kVarnel, "-r", "server", "-j", "in", "-f", "out", "-u", "7", "-P", "640"},
                       here.path());
        ASSERT_EQ(peer::WaitEvent(server.fd), T_LISTEN) << units;
        const int fd = server.Accept();
        peer::Unit u = peer::Receive(fd);
        ASSERT_EQ(u.data, peer::ReceiveRecord("out", 0640, 7));
        // Its waits for a silent server end after 120 s: its endpoint, its only socket, says so.
        EXPECT_EQ(SocketTimeouts(varnel.pid()), std::make_pair(120L, 120L));
        ASSERT_TRUE(peer::Send(fd, std::string(1, status)));
        // The data goes after the status, the pause after the data, the end unit after the
        // pause: however late this side reads the data, the end unit cannot come sooner.
        const auto statusSent = std::chrono::steady_clock::now();
        for (int n = 0; n < units || (units < 0 && (n == 0 || (u.flags & T_MORE))); ++n)
            ASSERT_GE((u = peer::Receive(fd)).flags, 0) << units;
        EXPECT_TRUE(units >= 0 || std::chrono::steady_clock::now() - statusSent > 900ms)
            << "the end unit without its pause of a second";
        EXPECT_TRUE(status == 0 || peer::WaitEvent(fd) == T_DISCONNECT) << "data after a refusal";
        t_snddis(fd, nullptr), t_close(fd);
        EXPECT_EQ(varnel.Wait(), std::optional(2)) << units;
        // The refusal's report first; the others' cause last, and nothing after it.
        const std::string e = varnel.Stderr();
        EXPECT_TRUE(status != 0 ? e.starts_with(err) : e.ends_with(err)) << e;
        EXPECT_TRUE(status != 0 || e.find("t_unbind") == std::string::npos) << e;
    }
}
