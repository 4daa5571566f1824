// varnel's command line and host address file, run as the real program.
// Lookups are checked on the verbose "connecting to" line; the records name
// nodes that are no IPv4 host, so the provider refuses the connect without
// touching the network.

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

const std::string kVarnel = Bin("varnel").string();

std::string UsageText(const std::string& title) {
    return title + ": usage: " + title +
           " -r<dname> -j<sourcefile> [-f<dfilename> -u<dulimit>] [-h<hostsFile>] [-v] "
           "[-s<dsocket>] [-P<permissions>] [-p<packet size>] \n"
           "       dname:     server host name\n"
           "       sourcefile:     input file name\n"
           "       dfilename: server file name\n"
           "       dulimit:   file size (blocks) limit on server\n"
           "       dsocket: server socket number override\n"
           "       hostsFile : yellowpages type file\n"
           "       permissions : server file permissions\n"
           "       packet size: number of data bytes per packet\n";
}

// Runs varnel with args in dir.
Result Varnel(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), kVarnel);
    return harness::Run(std::move(args), Options{dir.path(), std::nullopt});
}

// The line of out that starts with prefix, or "" when there is none.
std::string LineStarting(const std::string& out, const std::string& prefix) {
    for (const auto& l : Lines(out))
        if (l.rfind(prefix, 0) == 0)
            return l;
    return "";
}

// The address varnel was about to call, as its verbose line shows it.
std::string Connecting(const Result& r, const std::string& host) {
    const std::string head = kVarnel + ": connecting to " + host + " at:  ";
    const std::string l = LineStarting(r.out, head);
    return l.empty() ? "(no connecting line)" : l.substr(head.size());
}

// Looks host up in a host address file with the given content.
Result LookUp(const std::string& content, const std::string& host,
              std::vector<std::string> extra = {}) {
    TempDir dir;
    WriteFile(dir / "yellowpages", content);
    std::vector<std::string> args{"-v", "-r", host, "-j", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Varnel(dir, args);
}

} // namespace

// A bad command line must give the exact usage text and status 1, and nothing else.
TEST(ClientArgs, UsageErrors) {
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {},                     // no -r
        {"-j", "x"},            // still no -r
        {"-r", "   "},          // -r without a word
        {"-x", "-r", "server"}, // unknown option
        {"-r", "server", "-j"}, // option without its argument
    };
    for (const auto& args : cases) {
        const Result r = Varnel(dir, args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.err, UsageText(kVarnel));
        EXPECT_EQ(r.out, "");
    }
}

// The file-size limit belongs to a remote file: -u only after a non-empty -f.
TEST(ClientArgs, UlimitNeedsAFileName) {
    TempDir dir;
    const std::string msg = "VARNEL: ulimit must be preceeded with a filename\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-r", "server", "-u", "10", "-f", "out"}, {"-r", "server", "-f", "", "-u", "10"}}) {
        const Result r = Varnel(dir, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, msg);
    }
    // In the right order it is taken, and the run goes on to the lookup.
    const Result r = Varnel(dir, {"-r", "server", "-f", "out", "-u", "10", "-j", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "VARNEL: error opening yellowpages: No such file or directory\n" + kVarnel +
                         ": get ipx address of server from ./yellowpages failed \n");
}

// Over-long arguments must be refused before any connection, never cut or ignored.
TEST(ClientArgs, OverLongArgumentsRefused) {
    TempDir dir;
    const std::string t = kVarnel + ": ";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"-r", std::string(200, 'h')}, t + "-r host name longer than 199 characters refused\n"},
        {{"-r", "s", "-f", std::string(80, 'f')},
         t + "-f remote file name longer than 79 characters refused\n"},
        {{"-r", "s", "-f", std::string(250, 'f')},
         t + "-f remote file name longer than 79 characters refused\n"},
        {{"-r", "s", "-h", std::string(80, 'y')},
         t + "-h host address file path longer than 79 characters refused\n"},
        {{"-r", "s", "-j", std::string(1025, 'j')},
         t + "-j source file path longer than 1024 characters refused\n"},
        {{"-r", "s", "-p", "0"}, t + "-p packet size 0 refused\n"},
    };
    for (const auto& c : cases) {
        const Result r = Varnel(dir, c.args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

// Arguments at their limits must be taken whole.
TEST(ClientArgs, ArgumentsAtTheirLimitsTaken) {
    TempDir dir;
    WriteFile(dir / "yellowpages", "");
    const std::string host(199, 'h');
    Result r = Varnel(dir, {"-r", host, "-f", std::string(79, 'f'), "-j", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(": couldn't find remote name " + host + "\n"), std::string::npos);

    const std::string hostFile = std::string(70, '.') + "/" + std::string(8, 'y'); // 79
    r = Varnel(dir, {"-r", "server", "-h", hostFile});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(": get ipx address of server from " + hostFile + " failed \n"),
              std::string::npos);
}

// A long invocation name must be cut to fit the message title, not overrun it.
TEST(ClientArgs, LongProgramNameCut) {
    TempDir dir;
    const auto link = dir / std::string(120, 'v');
    std::filesystem::create_symlink(kVarnel, link);
    const Result r = harness::Run({link.string()});
    const std::string title = link.string().substr(0, 99);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, UsageText(title));
}

// The packet size: clamped to 534 when given (as unsigned), 1024 by default.
TEST(ClientArgs, PacketSize) {
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "1024"},
        {{"-p", "600"}, "534"},
        {{"-p", "-1"}, "534"},
        {{"-p", "100"}, "100"},
        {{"-p", "534"}, "534"},
        {{"-p", "abc"}, "1024"},
        {{"-p", "100", "-p", "200"}, "200"},
    };
    for (const auto& [extra, size] : cases) {
        std::vector<std::string> args{"-v", "-r", "server"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Result r = Varnel(dir, args);
        EXPECT_EQ(LineStarting(r.out, kVarnel + ": packet data size "),
                  kVarnel + ": packet data size " + size);
    }
}

// Host address records must be read as a stream of five fields, wherever the line ends fall.
TEST(ClientHostFile, RecordLayouts) {
    const std::string want = "00000001h 0A0B0C0D3C4Dh  8060h";
    const std::vector<std::string> files = {
        "beta 2 0A0B0C0D 00010000 1111\nalpha 1 0A0B0C0D 3C4D0000 8060\n",
        "beta 2 0A0B0C0D 00010000 1111 alpha 1 0A0B0C0D 3C4D0000 8060 gamma 3 1 2 3\n",
        "alpha\n1\n\t0A0B0C0D\n\n3C4D0000   \n  8060\n",
        "beta 2 0A0B0C0D 00010000 1111\r\nalpha 1 0A0B0C0D 3C4D0000 8060",
        "alpha 0x1 0X0a0b0c0d 3c4d0000 0x8060\n",
    };
    for (const auto& f : files) {
        const Result r = LookUp(f, "alpha");
        EXPECT_EQ(Connecting(r, "alpha"), want) << f;
        // The node is no IPv4 host: the provider refuses the call.
        EXPECT_EQ(r.status, 2) << f;
        EXPECT_NE(r.err.find(": t_connect failed \n"), std::string::npos);
    }
}

// The node's last two bytes come from the upper half of the fourth field only.
TEST(ClientHostFile, FourthFieldUpperHalf) {
    EXPECT_EQ(Connecting(LookUp("alpha 0000ABCD 00001B02 3C4D0000 8060\n", "alpha"), "alpha"),
              "0000ABCDh 00001B023C4Dh  8060h");
    EXPECT_EQ(Connecting(LookUp("alpha 0000ABCD 12341B02 3C4D\n 8060\n", "alpha"), "alpha"),
              "0000ABCDh 12341B020000h  8060h");
    EXPECT_EQ(Connecting(LookUp("alpha 0 12341B02 3C4DFFFF 1\n", "alpha"), "alpha"),
              "00000000h 12341B023C4Dh  0001h");
}

// The socket override replaces only the socket; 0 keeps the file's.
TEST(ClientHostFile, SocketOverride) {
    const std::string rec = "alpha 1 0A0B0C0D 3C4D0000 8060\n";
    EXPECT_EQ(Connecting(LookUp(rec, "alpha", {"-s", "4510"}), "alpha"),
              "00000001h 0A0B0C0D3C4Dh  4510h");
    EXPECT_EQ(Connecting(LookUp(rec, "alpha", {"-s", "0"}), "alpha"),
              "00000001h 0A0B0C0D3C4Dh  8060h");
}

// A lookup must match the whole name exactly, and report a miss as a failure.
TEST(ClientHostFile, NameMatching) {
    const std::string rec = "alpha 1 0A0B0C0D 3C4D0000 8060\n";
    // -r takes the first word of its argument.
    EXPECT_EQ(Connecting(LookUp(rec, "alpha beta"), "alpha"), "00000001h 0A0B0C0D3C4Dh  8060h");
    const std::string longName(150, 'n');
    const std::vector<std::pair<std::string, std::string>> misses = {
        {"Alpha 1 0A0B0C0D 3C4D0000 8060\n", "alpha"}, // case matters
        {"alphabet 1 0A0B0C0D 3C4D0000 8060\n", "alpha"},
        {"", "alpha"},
        {"alpha 1 0A0B0C0D 3C4D0000\n", "alpha"},             // record cut short
        {"alpha 1 zz 3C4D0000 8060\n", "alpha"},              // number that does not read
        {longName + " 1 0A0B0C0D 3C4D0000 8060\n", longName}, // name over 99 characters
    };
    for (const auto& [file, host] : misses) {
        const Result r = LookUp(file, host);
        EXPECT_EQ(r.status, 2) << file;
        EXPECT_EQ(r.err, kVarnel + ": couldn't find remote name " + host + "\n" + kVarnel +
                             ": get ipx address of " + host + " from ./yellowpages failed \n")
            << file;
        EXPECT_EQ(LineStarting(r.out, kVarnel + ": connecting"), "");
    }
}

// A host address file the user may not write is refused, as the file is opened for update.
TEST(ClientHostFile, UnwritableFileRefused) {
    TempDir dir;
    WriteFile(dir / "yellowpages", "alpha 1 0A0B0C0D 3C4D0000 8060\n");
    chmod((dir / "yellowpages").c_str(), 0444);
    std::vector<std::string> argv{kVarnel, "-r", "alpha"};
    if (geteuid() == 0) {
        // The superuser may write anything: run as another account.
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "setpriv is needed to drop the superuser's rights";
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }
    const Result r = harness::Run(argv, Options{dir.path(), std::nullopt});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err, "VARNEL: error opening yellowpages: Permission denied\n" + kVarnel +
                         ": get ipx address of alpha from ./yellowpages failed \n");
}
