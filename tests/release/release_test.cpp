// What a release ships: manual pages, the Debian package, the programs on two hosts.
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

const fs::path kBuild = fs::path(VARNEL_BIN_DIR).parent_path();

// Runs a shell command line in cwd: its standard output, or why it failed.
static std::string Shell(const std::string& script, const fs::path& cwd = {}) {
    const Result r = harness::Run({"/bin/sh", "-c", script}, cwd, 300s);
    return r.status == 0 ? r.out : "failed: " + script + "\n" + r.out + r.err;
}

// A manual page that lags behind its options, is filed elsewhere, or renders with warnings.
TEST(Release, ManualPages) {
    if (!Shell("command -v groff >/dev/null").empty())
        GTEST_SKIP() << "groff is not installed";
    // The option letters of what comes before, one of each; "-x" after a blank or [ in a usage.
    const std::string letters = " | grep -oE '[A-Za-z]' | sort -u | tr -d '\\n'";
    using Row = std::tuple<const char*, const char*, std::string>; // page, header, usage run
    for (const auto& [page, header, usage] :
         std::vector<Row>{{"varnel.1", "VARNEL 1", Bin("varnel")},
                          {"varneld.8", "VARNELD 8", Bin("varneld").string() + " -Z"},
                          {"spxpeer.1", "SPXPEER 1", Bin("spxpeer").string() + " --help"},
                          {"yellowpages.5", "YELLOWPAGES 5", ""}}) {
        const std::string file = (kBuild / "man" / page).string();
        EXPECT_NE(ReadFile(file).find("\n.Dt " + std::string(header) + "\n"), std::string::npos);
        EXPECT_EQ(Shell("groff -ww -mandoc -z " + file + " 2>&1"), "");
        if (usage.empty())
            continue;
        const std::string described =
            Shell("grep -oE '^\\.It Fl [A-Za-z]\\b' " + file + " | cut -c8" + letters);
        EXPECT_EQ(Shell(usage + " 2>&1 | grep -oE '(^|[[ ])-[A-Za-z]\\b' | cut -d- -f2" + letters),
                  described)
            << page;
    }
    for (const std::string command : {"get", "rsh", "raw"})
        EXPECT_NE(ReadFile(kBuild / "man/spxpeer.1").find("\n.It Cm " + command),
                  std::string::npos);
}

// A package file missing or amiss, lintian findings, a confining unit, a client that fails.
TEST(Release, Package) {
    if (!Shell("command -v cpack dpkg-deb >/dev/null").empty())
        GTEST_SKIP() << "cpack and dpkg-deb are needed";
    TempDir dir;
    ASSERT_EQ(Shell("cpack -G DEB --config " + (kBuild / "CPackConfig.cmake").string() +
                        " >/dev/null && dpkg-deb -x *.deb root && dpkg-deb -e *.deb control",
                    dir.path()),
              "");
    const std::string files = "find . -type f -printf '%m %P\\n' | LC_ALL=C sort -k2";
    EXPECT_EQ(Shell(files, dir / "root"),
              "755 usr/bin/spxpeer\n755 usr/bin/varnel\n644 usr/lib/systemd/system/varneld.service"
              "\n755 usr/sbin/varneld\n644 usr/share/doc/varnel/changelog.gz\n"
              "644 usr/share/doc/varnel/copyright\n644 usr/share/doc/varnel/yellowpages.example\n"
              "644 usr/share/lintian/overrides/varnel\n644 usr/share/man/man1/spxpeer.1.gz\n"
              "644 usr/share/man/man1/varnel.1.gz\n644 usr/share/man/man5/yellowpages.5.gz\n"
              "644 usr/share/man/man8/varneld.8.gz\n");
    EXPECT_EQ(Shell(files, dir / "control"), "644 control\n644 md5sums\n");
    EXPECT_NE(ReadFile(dir / "control/control").find("Package: varnel\n"), std::string::npos);
    // Errors and warnings, and the hardening lintian reports only as information (if installed).
    EXPECT_EQ(Shell("! command -v lintian >/dev/null || { lintian --fail-on error,warning -I *.deb "
                    ">lint 2>&1; s=$?; grep -E '^[EW]: |hardening-' lint; exit $s; }",
                    dir.path()),
              "");
    const fs::path unit = dir / "root/usr/lib/systemd/system/varneld.service";
    for (const char* line : {"ExecStart=/usr/sbin/varneld", "Restart=on-failure",
                             "StateDirectory=varneld", "WorkingDirectory=/var/lib/varneld"})
        EXPECT_NE(ReadFile(unit).find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    // The packaged client and the example's localhost record at work; as root
    // with the unit's capabilities and no_new_privs, serving as nobody.
    const passwd* pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    const std::string nobody = pw != nullptr ? std::to_string(pw->pw_uid) + "\n" : "";
    Strings confined;
    if (!nobody.empty() && fs::exists("/usr/bin/setpriv"))
        confined = {"/usr/bin/setpriv", "--inh-caps=-all", "--no-new-privs",
                    Shell("sed -n 's/^CapabilityBoundingSet=/--bounding-set=-all /p' " +
                          unit.string() + " | sed 's/ CAP_/,+/g' | tr -d '\\n' | tr A-Z a-z")};
    Daemon d({}, confined);
    ASSERT_TRUE(d.started()) << d.Stderr();
    if (!confined.empty())
        WriteFile(d.dir() / ".spxrunid", "nobody\n");
    WriteFile(dir / "payload", Pattern(5000));
    EXPECT_EQ(Shell("cp root/usr/share/doc/varnel/yellowpages.example yellowpages && chmod u+w "
                    "yellowpages && root/usr/bin/varnel -r localhost -s " +
                        HexPort(d.port()) + " -j payload -f stored >/dev/null",
                    dir.path()),
              "");
    EXPECT_TRUE(ReadFile(d.dir() / "stored") == Pattern(5000));
    if (!confined.empty()) {
        EXPECT_EQ(Shell("stat -c %u stored", d.dir()), nobody);
    }
}

// Addresses mapped wrong between hosts (network namespaces of processes started here).
TEST(Release, TwoHosts) {
    if (geteuid() != 0 || !Shell("command -v ip unshare nsenter >/dev/null").empty())
        GTEST_SKIP() << "needs the superuser, iproute2 and util-linux";
    TempDir serverDir, clientDir;
    WriteFile(serverDir / ".spxrunid", CurrentUser() + "\n");
    // varneld on its default socket 4500, free in a namespace of its own.
    Process server({"/usr/bin/env", "unshare", "--net", "--", Bin("varneld"), "-v"},
                   serverDir.path());
    Process client({"/usr/bin/env", "unshare", "--net", "sh", "-c", "echo in; exec sleep 300"});
    if (!server.WaitForOutput("spxfd = ", true) || !client.WaitForOutput("in"))
        GTEST_SKIP() << "no network namespaces here: " << server.Stderr() << client.Stderr();
    // 10.199.7.1 is node 00 00 0A C7 07 01: the last two bytes from the upper
    // half of the fourth field.
    WriteFile(clientDir / "yellowpages", "server 00000000 00000AC7 07010000 4500\n");
    const std::string data = Pattern(3 << 20, 77);
    WriteFile(clientDir / "source", data);
    const std::string sp = std::to_string(server.pid()), cp = std::to_string(client.pid());
    ASSERT_EQ(Shell("ns() { n=$1; shift; nsenter --net=/proc/$n/ns/net \"$@\"; }; up() { ns $1 ip "
                    "addr add $3 dev $2 && ns $1 ip link set $2 up && ns $1 ip link set lo up; }; "
                    "ip link add vsrv netns " +
                        sp + " type veth peer vcli netns " + cp + " && up " + sp +
                        " vsrv 10.199.7.1/24 && up " + cp + " vcli 10.199.7.2/24 && ns " + cp +
                        " " + Bin("varnel").string() + " -r server -j source -f crossed >/dev/null",
                    clientDir.path()),
              "");
    EXPECT_TRUE(ReadFile(serverDir / "crossed") == data);
    EXPECT_NE(server.Stdout().find("clients IPX address: 00000000h 00000AC70702h "),
              std::string::npos);
}
