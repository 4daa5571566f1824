// Installation and the Debian package: what cmake --install and cpack put
// where, the systemd unit, and the packaged programs at work.
//
// The package is built from this build tree with cpack into a temporary
// directory and taken apart with dpkg-deb; nothing is installed on the
// machine.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace harness;

// The build tree: the programs land in its bin directory.
fs::path BuildDir() { return BinDir().parent_path(); }

// A program found on PATH, or an empty path.
fs::path FindProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const fs::path candidate = fs::path(dirs.substr(0, colon)) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
    }
    return {};
}

// Installing from the build tree, by cmake --install or by cpack, rewrites
// the tree's install_manifest.txt: one installer at a time.
class BuildTreeLock {
public:
    BuildTreeLock() : fd_(open((BuildDir() / "packaging-test.lock").c_str(),
                               O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0)
            flock(fd_, LOCK_EX);
    }
    ~BuildTreeLock() {
        if (fd_ >= 0)
            close(fd_);
    }
    BuildTreeLock(const BuildTreeLock&) = delete;
    BuildTreeLock& operator=(const BuildTreeLock&) = delete;

private:
    int fd_;
};

// The key=value lines of a systemd unit (the last value of a key wins).
std::map<std::string, std::string> UnitSettings(const std::string& text) {
    std::map<std::string, std::string> settings;
    for (const auto& line : Lines(text)) {
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos)
            continue;
        settings[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return settings;
}

// The program a unit's ExecStart runs.
std::string ExecStartProgram(const std::map<std::string, std::string>& unit) {
    const auto it = unit.find("ExecStart");
    if (it == unit.end())
        return {};
    return it->second.substr(0, it->second.find(' '));
}

// A Debian package built from this tree, in a temporary directory.
class Package : public ::testing::Test {
protected:
    void SetUp() override {
        cpack_ = FindProgram("cpack");
        dpkgDeb_ = FindProgram("dpkg-deb");
        if (cpack_.empty() || dpkgDeb_.empty())
            GTEST_SKIP() << "cpack or dpkg-deb is not installed: no Debian package can be built";
        ASSERT_TRUE(fs::exists(BuildDir() / "CPackConfig.cmake"))
            << "no CPack configuration in " << BuildDir();
        Result r;
        {
            BuildTreeLock lock;
            r = harness::Run({cpack_.string(), "-G", "DEB", "--config",
                     (BuildDir() / "CPackConfig.cmake").string(), "-B", dir_.path().string()},
                    Options{BuildDir(), std::nullopt}, 300s);
        }
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        for (const auto& entry : fs::directory_iterator(dir_.path()))
            if (entry.path().extension() == ".deb")
                deb_ = entry.path();
        ASSERT_FALSE(deb_.empty()) << "cpack made no .deb: " << r.out;
    }

    Result DpkgDeb(std::vector<std::string> args) {
        args.insert(args.begin(), dpkgDeb_.string());
        args.push_back(deb_.string());
        return harness::Run(std::move(args));
    }

    // Unpacks the package's files into root and returns it.
    fs::path Extract() {
        const fs::path root = dir_ / "root";
        auto r = harness::Run({dpkgDeb_.string(), "-x", deb_.string(), root.string()});
        EXPECT_EQ(r.status, 0) << r.err;
        return root;
    }

    TempDir dir_;
    fs::path cpack_, dpkgDeb_, deb_;
};

// A package without its programs, manual pages, unit or example is no
// installation; one that ships test programs or enables the unit on its own
// does more than it should.
TEST_F(Package, HoldsProgramsManPagesUnitAndExample) {
    auto r = DpkgDeb({"-c"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> files; // path -> mode string
    for (const auto& line : Lines(r.out)) {
        std::istringstream in(line);
        std::string mode, owner, size, date, time, path;
        in >> mode >> owner >> size >> date >> time >> path;
        if (!mode.empty() && mode[0] == '-')
            files[path] = mode;
    }
    for (const char* program : {"./usr/bin/varnel", "./usr/bin/spxpeer", "./usr/sbin/varneld"}) {
        ASSERT_TRUE(files.count(program)) << program << " missing:\n" << r.out;
        EXPECT_EQ(files[program], "-rwxr-xr-x") << program;
    }
    for (const char* file : {"./usr/share/man/man1/varnel.1", "./usr/share/man/man1/spxpeer.1",
                             "./usr/share/man/man5/yellowpages.5", "./usr/share/man/man8/varneld.8",
                             "./usr/lib/systemd/system/varneld.service",
                             "./usr/share/doc/varnel/yellowpages.example"}) {
        ASSERT_TRUE(files.count(file)) << file << " missing:\n" << r.out;
        EXPECT_EQ(files[file], "-rw-r--r--") << file;
    }
    for (const auto& [path, mode] : files) {
        const bool program = path.starts_with("./usr/bin/") || path.starts_with("./usr/sbin/");
        EXPECT_TRUE(!program || path == "./usr/bin/varnel" || path == "./usr/bin/spxpeer" ||
                    path == "./usr/sbin/varneld")
            << "unexpected program in the package: " << path;
        EXPECT_FALSE(path.starts_with("./etc/")) << "the package must not enable anything: " << path;
    }

    // No maintainer script: nothing is started or enabled on installation.
    auto info = DpkgDeb({"-I"});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
        EXPECT_EQ(info.out.find(script), std::string::npos) << info.out;
    auto name = DpkgDeb({"-f"});
    EXPECT_NE(name.out.find("Package: varnel\n"), std::string::npos) << name.out;
    EXPECT_NE(name.out.find("Maintainer: "), std::string::npos) << name.out;
}

// The unit must run the daemon the package installs, in the foreground, in
// a working directory that exists, and bring it back after a failure.
TEST_F(Package, UnitRunsThePackagedDaemonInItsStateDirectory) {
    const fs::path root = Extract();
    const auto unit = UnitSettings(ReadFile(root / "usr/lib/systemd/system/varneld.service"));
    const std::string program = ExecStartProgram(unit);
    ASSERT_EQ(program, "/usr/sbin/varneld");
    EXPECT_TRUE(fs::is_regular_file(root / program.substr(1)));
    EXPECT_TRUE(!unit.count("Type") || unit.at("Type") == "simple" || unit.at("Type") == "exec")
        << "varneld does not fork into the background";
    // systemd creates the state directory; the run-id file lives there.
    ASSERT_TRUE(unit.count("StateDirectory"));
    EXPECT_EQ(unit.count("WorkingDirectory") ? unit.at("WorkingDirectory") : "",
              "/var/lib/" + unit.at("StateDirectory"));
    EXPECT_EQ(unit.count("Restart") ? unit.at("Restart") : "", "on-failure");
    EXPECT_EQ(unit.count("WantedBy") ? unit.at("WantedBy") : "", "multi-user.target");
}

// The programs as packaged, and the example host address file's localhost
// record, must work together: store a file, fetch it back, run a command.
TEST_F(Package, PackagedProgramsTransferAFileWithTheExampleHostFile) {
    const fs::path root = Extract();
    const fs::path varneld = root / "usr/sbin/varneld";
    const fs::path varnel = root / "usr/bin/varnel";
    const fs::path spxpeer = root / "usr/bin/spxpeer";

    TempDir server, client;
    WriteFile(server / ".spxrunid", CurrentUser() + "\n");
    int port = 0;
    std::optional<Process> daemon;
    for (int attempt = 0; attempt < 5 && !daemon; ++attempt) {
        port = FreePort();
        daemon.emplace(std::vector<std::string>{varneld.string(), "-s", HexPort(port)},
                       Options{server.path(), std::nullopt});
        if (!daemon->WaitForOutput("spxfd = ", true))
            daemon.reset();
    }
    ASSERT_TRUE(daemon) << "the packaged varneld did not start";

    // localhost names this host; -s points it at the test's port.
    fs::copy_file(root / "usr/share/doc/varnel/yellowpages.example", client / "yellowpages");
    fs::permissions(client / "yellowpages", fs::perms::owner_write, fs::perm_options::add);
    const std::string payload = Pattern(5000, 8);
    WriteFile(client / "payload", payload);
    const Options here{client.path(), std::nullopt};

    auto sent = harness::Run({varnel.string(), "-r", "localhost", "-s", HexPort(port), "-j", "payload", "-f",
                     "stored"},
                    here);
    ASSERT_EQ(sent.status, 0) << sent.out << sent.err;
    EXPECT_TRUE(ReadFile(server / "stored") == payload);

    auto got = harness::Run({spxpeer.string(), "get", "-r", "localhost", "-s", HexPort(port), "stored",
                    "back"},
                   here);
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_TRUE(ReadFile(client / "back") == payload);

    auto rsh = harness::Run({spxpeer.string(), "rsh", "-r", "localhost", "-s", HexPort(port),
                    "echo packaged"},
                   here);
    EXPECT_EQ(rsh.status, 0) << rsh.err;
    EXPECT_EQ(rsh.out, "packaged\n");
}

// cmake --install under any prefix: everything in its GNU place, and a unit
// that names the daemon where this installation put it.
TEST(Install, PutsEverythingUnderThePrefixAndTheUnitFollows) {
    const fs::path cmake = FindProgram("cmake");
    if (cmake.empty())
        GTEST_SKIP() << "cmake is not on PATH";
    TempDir prefix;
    Result r;
    {
        BuildTreeLock lock;
        r = harness::Run({cmake.string(), "--install", BuildDir().string(), "--prefix",
                 prefix.path().string()},
                {}, 120s);
    }
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    for (const char* file : {"bin/varnel", "bin/spxpeer", "sbin/varneld", "share/man/man1/varnel.1",
                             "share/man/man1/spxpeer.1", "share/man/man5/yellowpages.5",
                             "share/man/man8/varneld.8", "share/doc/varnel/yellowpages.example",
                             "lib/systemd/system/varneld.service"})
        EXPECT_TRUE(fs::is_regular_file(prefix / file)) << file << " not installed:\n" << r.out;

    const auto unit = UnitSettings(ReadFile(prefix / "lib/systemd/system/varneld.service"));
    EXPECT_EQ(ExecStartProgram(unit), (prefix / "sbin/varneld").string());
    // A usage error proves the installed program runs.
    auto usage = harness::Run({(prefix / "sbin/varneld").string(), "-Z"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.out.find("usage:"), std::string::npos) << usage.out;
}

} // namespace
