// End-to-end tests of spxpeer against the real varneld: get, rsh, raw, the
// host address file and the command line.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace harness;

std::vector<std::string> Peer(std::vector<std::string> args) {
    std::vector<std::string> argv{Bin("spxpeer").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A daemon with a host address file naming it "server".
struct Server {
    Daemon d{{"-v"}};
    fs::path hosts = d.WriteHostFile();
    Options opts{d.dir(), std::nullopt};
    Result Run(std::vector<std::string> args) { return harness::Run(Peer(std::move(args)), opts); }
};

// --- get: the file must arrive intact, and a refusal must never look like success ---

TEST(SpxpeerGet, LargeFileArrivesIntact) {
    Server s;
    const std::string content = Pattern(10 * 1024 * 1024 + 123, 3);
    WriteFile(s.d.dir() / "big", content);
    auto r = s.Run({"get", "-r", "server", "big", "copy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(ReadFile(s.d.dir() / "copy") == content);
    EXPECT_TRUE(s.d.process().WaitForOutput(": sent file to client \n"));
}

TEST(SpxpeerGet, WritesToStandardOutputWithoutLocalFile) {
    Server s;
    const std::string content = Pattern(1068, 4); // ends on a unit boundary
    WriteFile(s.d.dir() / "f", content);
    auto r = s.Run({"get", "-r", "server", "f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == content);
}

TEST(SpxpeerGet, RefusedFileExitsWith2AndCreatesNothing) {
    Server s;
    auto r = s.Run({"get", "-r", "server", "missing", "copy"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(": remote open of missing failed: No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(s.d.dir() / "copy"));
    // The peer still closed the way the service expects.
    EXPECT_TRUE(s.d.process().WaitForOutput(": sent file to client \n"));
}

TEST(SpxpeerGet, ServerThatIsNotThereExitsWith2) {
    TempDir dir;
    WriteFile(dir / "yellowpages", HostRecord("server", FreePort()));
    auto r = harness::Run({Bin("spxpeer").string(), "get", "-r", "server", "f"},
                          {dir.path(), std::nullopt});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("t_connect failed"), std::string::npos) << r.err;
}

// --- rsh: the output must be complete and in order, and only standard output travels ---

TEST(SpxpeerRsh, CopiesStandardOutputOnly) {
    Server s;
    auto r = s.Run({"rsh", "-r", "server", "printf 'a\\nb\\n'; echo oops >&2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a\nb\n");
    EXPECT_TRUE(s.d.process().WaitForOutput(": executed remote shell\n"));
}

TEST(SpxpeerRsh, JoinsCommandWords) {
    Server s;
    auto r = s.Run({"rsh", "-r", "server", "echo", "one", "two"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "one two\n");
}

// --- raw: every unit and the end of the connection must be shown as they came ---

TEST(SpxpeerRaw, ShowsSendFileUnitsAndClosesAsTheServiceExpects) {
    Server s;
    WriteFile(s.d.dir() / "f", std::string(534, 'A') + std::string(66, 'B'));
    // "f" is 66; the name field is zero-filled by the server's buffer.
    auto r = s.Run({"raw", "-r", "server", "000000fc", "6600"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0], "unit length=1 flags=0 data=00");
    EXPECT_EQ(lines[1], "unit length=534 flags=T_MORE data=41 41 41 41 41 41 41 41 41 41 41 41 "
                        "41 41 41 41 ...");
    EXPECT_EQ(lines[2], "unit length=66 flags=T_MORE data=42 42 42 42 42 42 42 42 42 42 42 42 "
                        "42 42 42 42 ...");
    EXPECT_EQ(lines[3].rfind("unit length=1 flags=0 data=", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], "sent release");
    EXPECT_EQ(lines[5], "sent disconnect");
    EXPECT_TRUE(s.d.process().WaitForOutput(": sent file to client \n"));
}

TEST(SpxpeerRaw, CountOverridesTheClosingAndSilenceEndsWith2) {
    Server s;
    WriteFile(s.d.dir() / "f", "x");
    // A release after the status only: the service then waits for a
    // disconnect that only the time-out brings.
    auto r = s.Run({"raw", "-r", "server", "-c", "1", "-t", "1", "000000fc 6600"});
    EXPECT_EQ(r.status, 2);
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "unit length=1 flags=0 data=00");
    EXPECT_EQ(lines[1], "sent release");
    EXPECT_EQ(lines[2], "unit length=1 flags=T_MORE data=78");
    EXPECT_EQ(lines[3].rfind("unit length=1 flags=0 data=", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], "timeout");
    EXPECT_TRUE(s.d.process().WaitForOutput(": sent file to client \n"));
}

TEST(SpxpeerRaw, ShowsTheDisconnectOfARefusedRequest) {
    Server s;
    auto r = s.Run({"raw", "-r", "server", "00:00:00"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "disconnect reason=236 (connection terminated by remote endpoint)\n");
}

TEST(SpxpeerRaw, SendsUnitsAfterTheRequestAndAnswersTheRelease) {
    Server s;
    auto r = s.Run({"raw", "-r", "server", "-m", "41 42 43", "-e", "", "000000fe"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "release\nsent release\n");
    EXPECT_TRUE(s.d.process().WaitForOutput("ABC"));
    EXPECT_EQ(s.d.Stderr().find("t_rcvdrel failed"), std::string::npos);
}

TEST(SpxpeerRaw, ReleasesAfterTheRemoteCommandsEndUnit) {
    Server s;
    // "true"; the request buffer's zero fill terminates it.
    auto r = s.Run({"raw", "-r", "server", "000000fd", "74 72 75 65"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "unit length=0 flags=T_MORE");
    EXPECT_EQ(lines[1].rfind("unit length=1 flags=0 data=", 0), 0u);
    EXPECT_EQ(lines[2], "sent release");
    EXPECT_EQ(lines[3], "disconnect reason=236 (connection terminated by remote endpoint)");
}

// --- host address file: records must be found however they are laid out, and the right host called
// ---

TEST(SpxpeerHostFile, RecordsAcrossLinesNodeAndSocketOverride) {
    Server s;
    WriteFile(s.d.dir() / "f", "payload");
    // Node 00 00 7F 00 00 01 is 127.0.0.1; only the upper half of node-low
    // counts. The record's socket is wrong and -s puts the right one in.
    WriteFile(s.d.dir() / "hosts", "other 0 0 0 1 alpha\n00000000 00007F00\n00010000 0001");
    auto r = s.Run({"get", "-r", "alpha", "-h", "hosts", "-s", HexPort(s.d.port()), "f"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "payload");
}

TEST(SpxpeerHostFile, UnknownHostExitsWith2) {
    Server s;
    auto r = s.Run({"get", "-r", "Server", "f"}); // names are case-sensitive
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(": couldn't find remote name Server in ./yellowpages\n"),
              std::string::npos)
        << r.err;
}

// --- command line: bad input is a usage error before any connection ---

TEST(SpxpeerUsage, BadCommandLinesExitWith1) {
    const std::string longName(80, 'n');
    const std::string longCommand(100, 'c');
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"fetch", "-r", "server", "f"},
        {"get", "f"},
        {"get", "-r", "server"},
        {"get", "-r", "server", longName},
        {"rsh", "-r", "server", longCommand},
        {"raw", "-r", "server", "0g"},
        {"raw", "-r", "server", "000"},
        {"raw", "-r", "server", "00", "0"},
        {"raw", "-r", "server", "-m", "4"},
        {"rsh", "-r", "server", "-e", "00", "true"},
        {"get", "-r", "server", "-c", "1", "f"},
        {"get", "-r", "server", "-s", "10000", "f"},
        {"get", "-x", "-r", "server", "f"},
    };
    TempDir dir; // no host file: nothing may get as far as a lookup
    for (const auto& args : bad) {
        std::vector<std::string> argv{Bin("spxpeer").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = harness::Run(argv, {dir.path(), std::nullopt});
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST(SpxpeerUsage, HelpDescribesEveryOption) {
    auto r = harness::Run({Bin("spxpeer").string(), "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                             "    -r host", "    -h hostfile", "    -s socket", "    -t seconds",
                             "    -c count", "    -d ", "    -m unit", "    -e unit"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
}

} // namespace
