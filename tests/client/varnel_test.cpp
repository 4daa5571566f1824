// varnel: its option parser and host file reader, and whole runs against a server.
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "harness.h"
#include "hostfile.h"
#include "peer.h"
#include "settings.h"

namespace {

using namespace harness;
using Args = std::vector<std::string>;
using R = ArgsResult;

const std::string kVarnel = Bin("varnel").string(), kTitle = kVarnel + ": ";
const std::string kModules = "top module: timod\n# modules = 2\n# modules = 2\n";

// The settings that differ from their defaults, as "name=value" words.
std::string Changed(const Settings& s) {
    const auto* sock = reinterpret_cast<const unsigned char*>(&s.destSocket);
    char all[2048];
    std::snprintf(all, sizeof all, "r=%s j=%s f=%s tran=%d u=%u P=%o s=%02x%02x p=%u v=%d h=%s",
                  s.remoteName.data(), s.sourcefile.data(), s.filename.data(), s.fileTran,
                  s.newULimit, s.newPermissions, sock[0], sock[1], s.packetSize, s.verbose,
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
    using Row = std::tuple<Args, R, std::string, const char*>;
    for (const auto& [args, result, changed, why] : std::vector<Row>{
             {{}, R::Ok, "", "defaults: packets of 1024, mode 0644, ./yellowpages"},
             {{"-r", "alpha beta"}, R::Ok, "r=alpha", "the first word names the host"},
             {{"-r", h}, R::Ok, "r=" + h, "the longest host name"},
             {{"-r", h + "h"}, R::Refused, "", "a cut host name calls another host"},
             {{"-f", "out", "-u", "10", "-v"}, R::Ok, "f=out tran=1 u=10 v=1", "-u after -f"},
             {{"-u", "10", "-f", "out"}, R::UlimitWithoutName, "", "-u before -f"},
             {{"-f", "", "-u", "10"}, R::UlimitWithoutName, "", "-u after an empty -f"},
             {{"-f", f}, R::Ok, "f=" + f + " tran=1", "the longest name the request holds"},
             {{"-f", f + "f"}, R::Refused, "", "a cut name stores under another name"},
             {{"-h", y}, R::Ok, "h=" + y, "the longest host file path"},
             {{"-h", y + "y"}, R::Refused, "", "the default file may name another host"},
             {{"-j", j}, R::Ok, "j=" + j, "the longest source path"},
             {{"-j", j + "j"}, R::Refused, "", "an earlier -j's file would be sent"},
             {{"-p", "600"}, R::Ok, "p=534", "clamped to the largest SPX unit"},
             {{"-p", "-1"}, R::Ok, "p=534", "compared as unsigned"},
             {{"-p", "100", "-p", "534"}, R::Ok, "p=534", "the last -p wins; 534 is kept"},
             {{"-p", "abc"}, R::Ok, "", "a number that does not read changes nothing"},
             {{"-p", "0"}, R::Refused, "", "every read would ask for nothing"},
             {{"-P", "600"}, R::Ok, "P=600", "octal, not decimal"},
             {{"-s", "8060"}, R::Ok, "s=8060", "held in network order"},
             {{"-s", "4510", "-s", "0"}, R::Ok, "", "the last -s wins; 0 is no override"},
             {{"-x", "-r", "alpha"}, R::Usage, "", "unknown option"},
             {{"-r", "alpha", "-j"}, R::Usage, "", "option without its argument"}}) {
        std::vector<std::string> words{"varnel"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        Settings s;
        EXPECT_EQ(ParseArgs(static_cast<int>(words.size()), argv.data(), s), result) << why;
        EXPECT_EQ(result == R::Ok ? Changed(s) : "", changed) << why;
    }
}

// Records misread or mismatched, or a host file the user may not write taken
// (the client opens it for update): the data goes to another host, or nowhere.
TEST(ClientHostFile, GetIpxAddress) {
    const std::string rec = "alpha 1 0A0B0C0D 3C4D0000 8060", at = "00000001 0a0b0c0d3c4d 8060";
    const std::string n(150, 'n');
    TempDir dir;
    const fs::path file = dir / "yellowpages";
    // The superuser may write anything: the lookups use nobody's file access.
    const int was = setfsuid(geteuid() == 0 ? 65534 : geteuid());
    ipxAddr_t a{};
    using Row = std::tuple<std::string, std::string, std::string, const char*>;
    for (const auto& [text, host, address, why] : std::vector<Row>{
             {"beta 2 0 0 1 " + rec + " gamma 3 1 2 3\n", "alpha", at, "records share a line"},
             {"alpha\n1\n\t0A0B0C0D\n\n3C4D0000 \r\n 8060", "alpha", at, "fields across lines"},
             {"alpha 0x1 0X0a0b0c0d 3c4d0000 0x8060", "alpha", at, "0x prefix, lower case"},
             {"alpha 1 0A0B0C0D 3C4D 8060", "alpha", "00000001 0a0b0c0d0000 8060", "upper half"},
             {"alpha 1 0A0B0C0D 3C4DFFFF 8060", "alpha", at, "the lower half is ignored"},
             {"alpha 1 zz 3C4D0000 8060 " + rec, "alpha", at, "bad numbers never match"},
             {"alpha 1 0A0B0C0D 3C4D0000 18060", "alpha", "", "a socket over 16 bits"},
             {n + " 1 2 3 4 " + rec, "alpha", at, "a long name read whole: records stay aligned"},
             {n + " 1 2 3 4", n.substr(0, 99), "", "a long name cut to fit must not match"},
             {"Alpha 1 2 3 4 alphabet 1 2 3 4", "alpha", "", "the whole name, case and all"},
             {"alpha 1 0A0B0C0D 3C4D0000", "alpha", "", "a record cut short"},
             {"", "alpha", "", "an empty file"}}) {
        WriteFile(file, text);
        char got[32] = "";
        if (GetIpxAddress(file.c_str(), host.c_str(), &a) == 0)
            std::snprintf(got, sizeof got, "%02x%02x%02x%02x %02x%02x%02x%02x%02x%02x %02x%02x",
                          a.net[0], a.net[1], a.net[2], a.net[3], a.node[0], a.node[1], a.node[2],
                          a.node[3], a.node[4], a.node[5], a.sock[0], a.sock[1]);
        EXPECT_EQ(got, address) << why;
    }
    WriteFile(file, rec);
    chmod(file.c_str(), 0444);
    EXPECT_EQ(GetIpxAddress(file.c_str(), "alpha", &a), -1) << "a file the user may not write";
    setfsuid(was);
}

Result Varnel(const fs::path& dir, Args args, const Args& more = {}) {
    args.insert(args.begin(), kVarnel);
    args.insert(args.end(), more.begin(), more.end());
    return Run(std::move(args), {dir, std::nullopt});
}

// A failed run with the wrong report or status, or a request sent for a
// source that cannot be opened (the remote file would be truncated).
TEST(ClientRun, FailedRuns) {
    Daemon d;
    d.WriteHostFile();
    WriteFile(d.dir() / "kept", "precious");
    fs::create_directory(d.dir() / "adir");
    const std::string usage = Varnel(d.dir(), {}).err, t = kTitle;
    ASSERT_EQ(usage.rfind(t + "usage: " + kVarnel + " -r<dname> -j<sourcefile> ", 0), 0u) << usage;
    const std::string look = " \t : An event requires attention\n", ipx = "get ipx address of ";
    const std::string missing = "Can't open sourcefile: No such file or directory\n";
    // clang-format off
    // stdout, stderr: after status 2 its start, as the closing steps may add reports
    using Row = std::tuple<Args, int, std::string, std::string>;
    for (const auto& [args, status, out, err] : std::vector<Row>{
        {{"-j", "x"}, 1, "", usage},
        {{"-x", "-r", "server"}, 1, "", usage},
        {{"-r", "server", "-p", "0"}, 1, "", t + "-p packet size 0 refused\n"},
        {{"-r", "server", "-u", "9"}, 1, "", "VARNEL: ulimit must be preceeded with a filename\n"},
        {{"-r", "server", "-h", "absent"}, 2, "", "VARNEL: error opening yellowpages: No such file"
            " or directory\n" + t + ipx + "server from absent failed \n"},
        {{"-r", "other"}, 2, "", t + "couldn't find remote name other\n" + t + ipx + "other from"
            " ./yellowpages failed \n"},
        {{"-r", "server", "-s", HexPort(FreePort())}, 2, "", t + "t_connect failed \n" + look},
        {{"-r", "server", "-f", "kept", "-j", "absent"}, 255, "", missing},
        {{"-r", "server", "-f", "kept"}, 255, "", missing},
        {{"-r", "server", "-f", "new", "-j", "adir"}, 2, kModules + t + "read of standard in failed"
            " \n", std::strerror(EISDIR)}}) {
        // clang-format on
        const Result r = Varnel(d.dir(), args);
        EXPECT_EQ(r.status, status) << err;
        EXPECT_EQ(r.out, out) << err;
        EXPECT_EQ(status == 2 ? r.err.substr(0, err.size()) : r.err, err);
    }
    EXPECT_EQ(ReadFile(d.dir() / "kept"), "precious");
}

// Progress lines lost, cut or reordered where their buffer fills, or data,
// mode or -s override lost on the way: a quiet run prints the module lines
// and one line per chunk, and nothing else.
TEST(ClientRun, QuietTransfer) {
    Daemon d;
    WriteFile(d.dir() / "elsewhere", HostRecord("server", FreePort()));
    const std::string data = Pattern((1 << 20) + 7, 3);
    WriteFile(d.dir() / "in", data);
    const Result r = Varnel(d.dir(), {"-r", "server", "-h", "elsewhere", "-s", HexPort(d.port()),
                                      "-p", "534", "-P", "600", "-j", "in", "-f", "out"});
    std::string want = kModules;
    for (std::size_t sent = 0; sent < data.size(); sent += 534) {
        const std::string n = std::to_string(std::min<std::size_t>(data.size() - sent, 534));
        want += "write: #bytes accepted: " + n + ", #bytes tried: " + n + "\n";
    }
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
    EXPECT_TRUE(r.out == want + "# modules = 2\n# modules = 2\n") << r.out.size();
    EXPECT_TRUE(ReadFile(d.dir() / "out") == data);
    EXPECT_EQ(static_cast<int>(fs::status(d.dir() / "out").permissions()), 0600);
}

// Statistics miscounted (84 bytes and 2 packets a pass, the last, empty one
// included; both rates from that total), or data altered on its way to the
// file or, without -f, to the server's standard output after the child's line.
TEST(ClientRun, VerboseStatisticsAndStandardOutput) {
    Daemon d;
    d.WriteHostFile();
    using Row = std::tuple<unsigned long, unsigned long, unsigned long, std::size_t, Args>;
    for (const auto& [size, total, packets, chunks, args] :
         std::vector<Row>{{3000, 3588, 14, 6, {"-p", "534", "-f", "out"}},
                          {0, 84, 2, 0, {"-f", "out"}},
                          {3000, 3336, 8, 3, {}}}) {
        const std::string data = Pattern(size);
        WriteFile(d.dir() / "in", data);
        const Result r = Varnel(d.dir(), {"-v", "-r", "server", "-j", "in"}, args);
        const auto secs = LinesWith(r.out, " seconds to transmit");
        ASSERT_TRUE(r.status == 0 && secs.size() == 1) << r.out << r.err;
        EXPECT_EQ(LinesWith(r.out, "write: ").size(), chunks);
        const unsigned long s = std::max(std::stoul(secs[0].substr(kTitle.size())), 1ul);
        const unsigned long n[] = {size, total, packets, s, total / s, total / 1024 / s};
        const char* what[] = {"bytes sent",   "bytes sent including SPX data",
                              "packets sent", "seconds to transmit",
                              "bytes/sec",    "kbytes/sec"};
        std::string want;
        for (int i = 0; i < 6; ++i)
            want += kTitle + std::to_string(n[i]) + " " + what[i] + "\n";
        EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
        const std::string out = d.Stdout();
        const std::size_t at = out.find(" \n", out.rfind("provider type")) + 2;
        EXPECT_TRUE((args.empty() ? out.substr(at) : ReadFile(d.dir() / "out")) == data);
    }
}

// A request record wrongly filled, or a transfer the server refused or never
// confirmed ending with status 0, or data sent after a refusal.
TEST(ClientRun, UnconfirmedTransfersFail) {
    TempDir here;
    WriteFile(here / "in", Pattern(1 << 20));
    // The status sent, the units then taken (-1: up to the end unit), the report.
    using Row = std::tuple<unsigned char, int, std::string>;
    for (const auto& [status, units, err] : std::vector<Row>{
             {13, 0, kTitle + "remote open of out failed \n" + std::strerror(13) + "\n"},
             {0, 1, ""},     // the server goes mid-transfer
             {0, -1, ""}}) { // a disconnect instead of the release
        peer::Listener server;
        WriteFile(here / "yellowpages", HostRecord("server", server.port()));
        Process varnel({kVarnel, "-r", "server", "-j", "in", "-f", "out", "-u", "7", "-P", "640"},
                       {here.path(), std::nullopt});
        ASSERT_EQ(peer::WaitEvent(server.fd), T_LISTEN) << units;
        const int fd = server.Accept();
        char buf[SPX_MAX_DATA];
        int flags = 0;
        const int got = t_rcv(fd, buf, sizeof buf, &flags);
        ASSERT_EQ(std::string(buf, std::max(got, 0)), peer::ReceiveRecord("out", 0640, 7));
        ASSERT_EQ(t_snd(fd, &status, 1, 0), 1);
        for (int n = 0; n < units || (units < 0 && (n == 0 || (flags & T_MORE))); ++n)
            ASSERT_GE(t_rcv(fd, buf, sizeof buf, &flags), 0) << units;
        EXPECT_TRUE(status == 0 || peer::WaitEvent(fd) == T_DISCONNECT) << "data after a refusal";
        t_snddis(fd, nullptr);
        t_close(fd);
        EXPECT_EQ(varnel.Wait(), std::optional(2)) << units;
        EXPECT_EQ(varnel.Stderr().substr(0, err.size()), err);
    }
}

} // namespace
