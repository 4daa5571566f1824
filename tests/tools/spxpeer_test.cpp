// spxpeer run whole against varneld: get, rsh, raw and its command line.
#include <algorithm>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

// Data lost, a failure taken for success, or units and events not shown as they came.
TEST(Spxpeer, ServicesAgainstVarneld) {
    Daemon d({"-v"});
    d.WriteHostFile();
    const std::string f = std::string(534, 'A') + std::string(66, 'B'), big = Pattern(10 << 20);
    WriteFile(d.dir() / "f", f);
    WriteFile(d.dir() / "big", big);
    const int closed = FreePort();
    WriteFile(d.dir() / "nowhere", HostRecord("server", closed)); // unless -s corrects it
    std::string units = "unit length=534 flags=T_MORE data=",
                b = "...\nunit length=66 flags=T_MORE data=";
    for (int i = 0; i < 16; ++i) // a unit shows its first 16 bytes
        units += "41 ", b += "42 ";
    units += b + "...\nunit length=1 flags=0 data=??\n"; // the end unit's byte is no data
    const std::string status = "unit length=1 flags=0 data=00\n", rel = "sent release\n";
    const std::string gone = "disconnect reason=236 (connection terminated by remote endpoint)\n";
    const std::string r = "-r", s = "server", u = "usage: ";
    const std::string noFile = ": remote open of missing failed: No such file or directory\n";
    // clang-format off
    using Row = std::tuple<Strings, int, std::string, std::string>; // stdout ('?' any), stderr part
    for (const auto& [args, exit, out, err] : std::vector<Row>{
        {{"get", r, s, "f"}, 0, f, ""},
        {{"get", r, s, "big", "copy"}, 0, "", ""},
        {{"get", r, s, "missing", "none"}, 2, "", noFile},
        {{"get", r, "Server", "f"}, 2, "", ": couldn't find remote name Server in "},
        {{"get", r, s, "-h", "nowhere", "f"}, 2, "", ": t_connect failed \n \t : An event "
            "requires attention\n" + Bin("spxpeer").string() + ": 127.0.0.1 port " +
            std::to_string(closed) + " refused the connection: nothing listens there (reason 237)\n"},
        {{"get", "-v", r, s, "f"}, 0, f, ": connection over TCP: local 127.0.0.1 port "},
        {{"get", r, s, "-h", "nowhere", "-s", HexPort(d.port()) + "h", "f"}, 0, f, ""},
        {{"rsh", r, s, "printf 'a\\nb\\n'; echo oops >&2"}, 0, "a\nb\n", ""},
        {{"rsh", r, s, "echo", "one", "two"}, 0, "one two\n", ""},
        {{"raw", r, s, "000000fc", "6600"}, 0, status + units + rel + "sent disconnect\n", ""},
        {{"raw", r, s, "-c", "1", "-t", "1", "000000fc 6600"}, 2,
            status + rel + units + "timeout\n", ": the -t limit of 1 s ran out: nothing came from the"
            " server\n"},
        {{"raw", r, s, "00:00:00"}, 0, gone, ""},
        {{"raw", r, s, "-m", "41 42 43", "-e", "", "000000fe"}, 0, "release\n" + rel, ""},
        {{"raw", r, s, "000000fd", "74 72 75 65 00"}, 0,
            "unit length=0 flags=T_MORE\nunit length=1 flags=0 data=??\n" + rel + gone, ""},
        // A bad command line: the usage text, and no connection.
        {{}, 1, "", u}, {{"fetch", r, s, "f"}, 1, "", u}, {{"get", "f"}, 1, "", u},
        {{"get", r, s}, 1, "", u}, {{"get", r, s, std::string(80, 'n')}, 1, "", u},
        {{"rsh", r, s, std::string(100, 'c')}, 1, "", u}, {{"raw", r, s, "0g"}, 1, "", u},
        {{"raw", r, s, "000"}, 1, "", u}, {{"raw", r, s, "-d", "00"}, 1, "", u},
        {{"raw", r, s, "-m", "4", "00"}, 1, "", u}, {{"rsh", r, s, "-e", "00", "true"}, 1, "", u},
        {{"get", r, s, "-s", "10000", "f"}, 1, "", u}, {{"get", r, s, "-t"}, 1, "", u},
        {{"get", "-x", r, s, "f"}, 1, "", u}}) {
        // clang-format on
        Strings argv = args;
        argv.insert(argv.begin(), Bin("spxpeer"));
        const Result res = harness::Run(argv, d.dir());
        EXPECT_EQ(res.status, exit) << args.size() << " " << (args.empty() ? "" : args.back());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), res.out.begin(), res.out.end(),
                               [](char w, char g) { return w == '?' || w == g; }))
            << res.out;
        EXPECT_TRUE(err.empty() ? res.err.empty() : res.err.find(err) != std::string::npos)
            << res.err;
    }
    EXPECT_TRUE(ReadFile(d.dir() / "copy") == big);
    EXPECT_FALSE(fs::exists(d.dir() / "none"));
    for (const auto& [line, n] :
         {std::pair{": sent file to client ", 7u}, {": executed remote shell", 3u}})
        EXPECT_TRUE(WaitUntil([&] { return LinesWith(d.Stdout(), line).size() == n; })) << line;
    EXPECT_TRUE(d.process().WaitForOutput("ABC"));
    // What the daemon listens on and each caller's connection used, as they are.
    const std::string port = std::to_string(d.port());
    EXPECT_NE(d.Stdout().find(": listener over TCP: local 0.0.0.0 port " + port + "\n"),
              std::string::npos);
    EXPECT_NE(d.Stdout().find(": connection over TCP: local 127.0.0.1 port " + port + ", peer "),
              std::string::npos);
}
