// varneld's services end to end: store (0xFF), send (0xFC), run (0xFD), copy to stdout (0xFE).
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "peer.h"

namespace {

using namespace harness;
using peer::ReceiveRecord, peer::Record, peer::Store;

// Receives units up to one without T_MORE into data: their sizes, "+": T_MORE ("534+ 66+ 1").
std::string Read(peer::Conn& c, std::string& data) {
    std::string shape;
    for (peer::Unit u{"", T_MORE};
         u.flags == T_MORE && c.WaitEvent() == T_DATA && (u = c.Recv(65536)).flags >= 0;)
        data += u.data, shape += (shape.empty() ? "" : " ") + std::to_string(u.data.size()) +
                                 (u.flags ? "+" : "");
    return shape;
}

// Bytes, mode, owner, size limit, status or account of a store other than asked for; a run-id
// file whose account is not the one taken, or whose failure is not said.
TEST(Store, WhatIsStoredAndTheStatus) {
    umask(022);
    // A limit no child may raise, not even a superuser's before it takes the account.
    Daemon d({"-v"}, {"/bin/sh", "-c", "ulimit -f 4096 && exec \"$@\"", "sh"});
    ASSERT_TRUE(d.started()) << d.Stderr();
    WriteFile(d.dir() / ".spxrunid", RunAsAccount() + "\n");
    mkfifo((d.dir() / "fifo").c_str(), 0666); // no reader
    fs::create_directory(d.dir() / "ro");
    fs::permissions(d.dir() / "fifo", fs::perms(0666));
    fs::permissions(d.dir() / "ro", fs::perms(0555));
    const passwd account = *getpwnam(RunAsAccount().c_str());
    const auto refused = [](int error) { return std::to_string(error) + " 236"; };
    const std::string a = Pattern(534, 1), b = Pattern(100, 2), c = Pattern(1500, 3),
                      big = Pattern(100'000, 4), o(4000, 'o'), m(79, 'm'), ok = "0 released 236";
    const struct {
        std::string request;
        Strings units;
        std::string outcome;
        std::string name = "", content = ""; // the file made
        mode_t mode = 0644;
        std::size_t split = 0; // the request's first piece, when it comes in two
    } rows[] = {
        {ReceiveRecord("old"), {o}, ok, "old", o},
        {ReceiveRecord("old"), {a, "", b, "", c}, ok, "old", a + b + c}, // truncated first
        {ReceiveRecord("empty"), {}, ok, "empty", ""},
        {ReceiveRecord("p600", 0600), {"x"}, ok, "p600", "x", 0600},
        {ReceiveRecord("p666", 0666), {"x"}, ok, "p666", "x"},           // under the umask
        {ReceiveRecord("p6755", 06755), {}, ok, "p6755", "", 0755},      // never set-id; unwritten
        {ReceiveRecord("ids", 0, 0, 1234, 5678), {"x"}, ok, "ids", "x"}, // not the owner
        {ReceiveRecord(m), {"x"}, ok, m, "x"},
        {ReceiveRecord("lim", 0, 130), {big}, "0 236", "lim", big.substr(0, 130 * 512)},
        {ReceiveRecord("after"), {big}, ok, "after", big}, // the limit went with its child
        {ReceiveRecord("nodir\n\\\x7F\xFF/x"), {"x"}, refused(ENOENT)}, // shown escaped in the log
        {ReceiveRecord("fifo"), {"x"}, refused(ENXIO)},
        {ReceiveRecord("ro/x"), {"x"}, refused(EACCES)},
        {ReceiveRecord(std::string(80, 'n')), {"x"}, refused(ENAMETOOLONG)}, // no terminator
        {peer::BE(SERV_RECV_FILE, 4) + "cut", {"x"}, "no status"}, // the name may go on
        {ReceiveRecord("old.new") + std::string(438, '\0'), {b}, ok, "old.new", b, 0644, 7},
        {ReceiveRecord("long") + Pattern(504, 6), {a}, ok, "long", a}, // the tail is no data
        {ReceiveRecord("big", 0, 8192), {"x"}, refused(EPERM)},
        {ReceiveRecord("lim1", 0, 1), {big}, "0 236", "lim1", big.substr(0, 512)}, // < the log
        {ReceiveRecord("none/x", 0, 1), {"x"}, refused(ENOENT)}, // its lines are not cut either
    };
    const auto entries = [&] { return std::distance(fs::directory_iterator(d.dir()), {}); };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request.substr(4, 12));
        const auto before = entries();
        EXPECT_EQ(Store(d.port(), row.request, row.units, Pattern(1000, 5), row.split),
                  row.outcome);
        struct stat st {};
        if (row.name.empty()) { // nothing made, not even under a name cut to fit
            EXPECT_EQ(entries(), before);
            continue;
        }
        ASSERT_EQ(stat((d.dir() / row.name).c_str(), &st), 0);
        EXPECT_TRUE(ReadFile(d.dir() / row.name) == row.content);
        EXPECT_EQ(st.st_mode & 07777, row.mode);
        EXPECT_TRUE(st.st_uid == account.pw_uid && st.st_gid == account.pw_gid);
    }
    EXPECT_TRUE(fs::is_empty(d.dir() / "ro"));
    const std::string err = d.Stderr(), nodir = "nodir\\012\\\\\\177\\377/x failed ";
    for (const std::string& line :
         Strings{"open of " + nodir, "set ulimit failed ", "open of none/x failed "})
        EXPECT_EQ(Said(err, line), Strings{line});
    EXPECT_EQ(Said(err, "write of file data failed "), Strings(2, "write of file data failed "));
    EXPECT_EQ(LinesWith(err, "cut short in its file name after 7 bytes ").size(), 1u);
    EXPECT_EQ(LinesWith(err, std::strerror(EFBIG)),
              Strings(2, "\t" + std::string(std::strerror(EFBIG))));
    EXPECT_EQ(Said(d.Stdout(), "recieve file nodir"), Strings{"recieve file " + nodir});

    // Run-id files: a store that asks for more than the limit is refused, unless the switch fails.
    const std::string u(79, 'u'), open = "open of ./.spxrunid failed ";
    const std::pair<std::string, std::string> runIds[] = {
        {"  " + RunAsAccount() + " other\n", ""},
        {"-> nowhere", open},
        {"dir", "error reading name  from ./.spxrunid file "},
        {"", "error reading name  from ./.spxrunid file "},
        {"  \n\t \n", "error reading name  from ./.spxrunid file "},
        {"nosuchaccount_vt\n", "error getting passwd entry for nosuchaccount_vt"}, // no fallback
        {u + "\n", "error getting passwd entry for " + u},
        {u + "v\n", "error reading name " + u + " from ./.spxrunid file "}, // never cut
        {RunAsAccount() + "\n ", ""}, // read, though it cannot be written (immutable, 0444)
    };
    for (const auto& [text, line] : runIds) {
        const fs::path f = d.dir() / ".spxrunid";
        fs::remove_all(f);
        if (text == "dir" || text == "-> nowhere")
            text == "dir" ? (void)fs::create_directory(f) : fs::create_symlink("nowhere", f);
        else if (WriteFile(f, text); text.ends_with(" ")) {
            fs::permissions(f, fs::perms(0444));
            harness::Run({"/usr/bin/chattr", "+i", f.string()});
            ASSERT_NE(access(f.c_str(), W_OK), 0) << "the run-id file can still be written";
        }
        const std::size_t seen = d.Stdout().size(), seenErr = d.Stderr().size();
        EXPECT_EQ(Store(d.port(), ReceiveRecord("w", 0, line.empty() ? 0 : 8192), {"w"}), // over
                  line.empty() ? "0 released 236" : "13 236"); // the switch fails first
        EXPECT_TRUE(line.empty() || Said(d.Stdout().substr(seen), line) == Strings{line}) // this
            << d.Stdout().substr(seen); // store's line, not an earlier one's
        EXPECT_EQ(Said(d.Stderr().substr(seenErr), "couldnt set"),
                  Strings(!line.empty(), "couldnt set effective userid"));
    }
    harness::Run({"/usr/bin/chattr", "-i", (d.dir() / ".spxrunid").string()});
}

// Without a run-id file, another account than "spxhost", else "guest", or none.
TEST(Store, FallbackAccounts) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs the superuser to give the daemon an account database of its own";
    // A daemon that could take its user back after any switch (ambient capabilities) serves
    // nobody: its child ends at once, without a word of its own, and the listener says why.
    const passwd* pw = getpwnam(RunAsAccount().c_str());
    Daemon capable({}, {"/usr/bin/setpriv", "--reuid=" + std::to_string(pw->pw_uid),
                        "--regid=" + std::to_string(pw->pw_gid), "--clear-groups",
                        "--inh-caps=+setuid,+setgid", "--ambient-caps=+setuid,+setgid"});
    WriteFile(capable.dir() / ".spxrunid", "nobody\n");
    EXPECT_EQ(Store(capable.port(), ReceiveRecord("never"), {"x"}), "no status");
    EXPECT_TRUE(capable.process().WaitForOutput("account could not be proven"));
    TempDir db;
    std::string passwd;
    for (const auto& l : LinesWith(ReadFile("/etc/passwd"), ""))
        passwd += l.starts_with("spxhost:") || l.starts_with("guest:") ? "" : l + "\n";
    WriteFile(db / "passwd", passwd);
    WriteFile(db / "nsswitch.conf", "passwd: files\ngroup: files\n"); // no other source
    Daemon d({}, {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                  "mount --bind \"$0\" /etc/passwd && "
                  "mount --bind \"${0%passwd}nsswitch.conf\" /etc/nsswitch.conf && exec \"$@\"",
                  (db / "passwd").string()});
    if (!d.started())
        GTEST_SKIP() << "no mount namespace of its own for the daemon here: " << d.Stderr();
    fs::remove(d.dir() / ".spxrunid");
    const std::string guest = "guest:x:54322:54322::/:/bin/false\n";
    const std::pair<std::string, uid_t> rows[] = {
        {"spxhost:x:54321:54321::/:/bin/false\n" + guest, 54321}, {guest, 54322}, {"", 0},
        {"socket", 0}}; // a database that cannot be read is no missing account: no fallback
    for (const auto& [accounts, owner] : rows) {
        if (sockaddr_un at{AF_UNIX, {}}; accounts == "socket") { // open() fails with ENXIO
            (db / "passwd.sock").string().copy(at.sun_path, sizeof at.sun_path - 1);
            const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            EXPECT_TRUE(bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && !close(s));
            harness::Run({"/usr/bin/nsenter", "-t", std::to_string(d.process().pid()), "-m",
                          "mount", "--bind", at.sun_path, "/etc/passwd"});
        }
        WriteFile(db / "passwd", passwd + accounts); // the same file, as mounted
        const std::string name = "by" + std::to_string(owner);
        EXPECT_EQ(Store(d.port(), ReceiveRecord(name), {"x"}), owner ? "0 released 236" : "13 236");
        struct stat st {};
        EXPECT_EQ(stat((d.dir() / name).c_str(), &st), owner ? 0 : -1);
        EXPECT_EQ(st.st_uid, owner);
    }
    EXPECT_EQ(Said(d.Stdout(), "idname"), Strings{"no valid idname found - exiting"});
    EXPECT_EQ(Said(d.Stdout(), "lookup of"), Strings{"lookup of spxhost failed "});
}

// The environment of a command of this account, as the daemon of the test below gives it, sorted,
// and the start of its standard error's name (no log descriptor).
std::string Login() {
    const passwd* pw = getpwnam(CurrentUser().c_str());
    return "HOME=" + std::string(pw->pw_dir) + "\nLANG=C.UTF-8\nLC_TIME=C\nLOGNAME=" + pw->pw_name +
           (pw->pw_uid == 0 ? "\nPATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                            : "\nPATH=/usr/local/bin:/usr/bin:/bin") +
           "\nSHELL=" + pw->pw_shell + "\nTZ=Etc/Test\nUSER=" + pw->pw_name + "\npipe:[\n";
}

// Units, refusals, command surroundings or endings of the outbound services other than expected.
TEST(Services, SendRunCopyAndEnd) {
    // A daemon that ignores signals, reads a file, has an environment of which only the language
    // and time zone may reach a command, and (for the superuser) groups no command may keep.
    Strings wrapper{"/usr/bin/env", "-i", "LANG=C.UTF-8", "LC_TIME=C", "TZ=Etc/Test", "KEPT=no",
                    "/bin/sh", "-c", "trap '' INT QUIT TERM HUP; exec \"$@\" <.spxrunid", "sh"};
    if (geteuid() == 0)
        wrapper.insert(wrapper.begin(), {"/usr/bin/setpriv", "--groups=4,24"});
    Daemon d({"-v"}, wrapper);
    ASSERT_TRUE(d.started()) << d.Stderr();
    // The daemon ignores SIGINT, SIGQUIT and SIGTERM (SIGHUP it catches); its commands must not.
    ASSERT_EQ(Signals(d.process().pid(), "SigIgn") & 0x4006, 0x4006u);
    for (const std::size_t size : {0, 534, 1068})
        WriteFile(d.dir() / ("f" + std::to_string(size)), Pattern(size, 1));
    WriteFile(d.dir() / std::string(79, 'a'), "a cut name must not open this");
    WriteFile(d.dir() / "readonly", "data");
    fs::permissions(d.dir() / "readonly", fs::perms(0444));
    const auto file = [](std::string_view name) { return Record(SERV_SEND_FILE, name, 80); };
    const auto command = [](std::string_view line) { return Record(SERV_RSH, line, 100); };
    const std::string copy = Record(SERV_RECV_STDOUT, "", 92);
    const struct {
        std::string request;
        int status;                          // of a file, -1 for the others
        std::optional<std::string> output;   // none: refused at once
        bool release = false;                // false: the client disconnects instead
        std::string account = CurrentUser(); // the superuser may read /proc/self/mem
        std::string shape = "";              // a command's units, when they are certain
        std::chrono::milliseconds late{};    // the client's release after the server's
    } rows[] = {
        {file("f0"), 0, ""}, // one empty unit
        {file("f534"), 0, Pattern(534, 1), true}, // a full unit, then an empty one
        {file("f1068"), 0, Pattern(1068, 1)},
        {file("missing"), ENOENT, "", true}, // only the end unit, and the closing steps
        {file("readonly"), EACCES, "", false, RunAsAccount()}, // opened for update
        {file(std::string(80, 'a')), ENAMETOOLONG, ""},
        {file("/proc/self/mem"), 0, std::nullopt}, // a failed read ends the connection
        {command("cat"), -1, "", true}, // its standard input is not the daemon's
        {command("sleep 30 >/dev/null & echo $! >bg; echo launched"), -1, "launched\n"},
        {command("printf 12; sleep 0.2; printf 345"), -1, "12345", true, CurrentUser(), "2+ 3+ 1"},
        {command("seq 1 3000"), -1, harness::Run({"/usr/bin/seq", "1", "3000"}).out},
        {command("echo out; echo err-text >&2"), -1, "out\n"}, // standard error stays here
        {command("ls /proc/$$/fd; true"), -1, "0\n1\n2\n"},
        {command("env -u PWD -u SHLVL -u _|sort;readlink /proc/self/fd/2|cut -c-6"), -1, Login()},
        {command("grep -E '^Sig(Blk|Ign):' /proc/self/status"), -1,
         "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"},
        {command("id"), -1, harness::Run({"/usr/bin/id", geteuid() ? "-a" : RunAsAccount()}).out,
         false, RunAsAccount()}, // the superuser's as the account, another's as it runs
        {command("touch ran" + std::string(91, ' ')), -1, std::nullopt}, // no terminator
        {copy, -1, "", true},                                            // the end unit is data too
        {copy, -1, "", true, CurrentUser(), "", 200ms}, // a late release still ends it cleanly
        {copy, -1, ""},
    };
    const std::string failed[] = {"send file t_rcvrel failed ", "remote shell t_rcvrel failed ",
                                  "stdout receive t_rcvdrel failed"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.request.substr(4, 40));
        const auto service = static_cast<unsigned char>(row.request[3]) - SERV_SEND_FILE;
        WriteFile(d.dir() / ".spxrunid", row.account + "\n");
        const std::size_t passes = LinesWith(d.Stderr(), "spxfd = ").size(),
                          seen = (service == 2 ? d.Stderr() : d.Stdout()).size(),
                          aborts = LinesWith(d.Stderr(), "in abort").size();
        peer::Conn c(d.port());
        ASSERT_TRUE(c.ok && d.Passes(passes + 2)); // the listener's lines first
        std::pair<long, long> limits;
        const auto waits = [&](long least) {
            const auto kids = Children(d.process().pid());
            return kids.size() == 1 && (limits = SocketTimeouts(kids[0])).first >= least;
        };
        // The request must come within 120 s, however it comes.
        EXPECT_TRUE(&row != rows || WaitUntil([&] { return waits(115); }, 2s)) << limits.first;
        ASSERT_TRUE(c.Send(row.request));
        std::string status, got;
        if (row.request == copy) {
            for (const std::string u : {"abc", "", "XYZ"})
                ASSERT_TRUE(c.Send(u, u == "XYZ" ? 0 : T_MORE));
            ASSERT_TRUE(c.WaitEvent() == T_ORDREL && t_rcvrel(c.fd) == 0);
        } else {
            EXPECT_TRUE(row.status < 0 ||
                        (Read(c, status) == "1" && status == std::string(1, char(row.status))));
            const std::string shape = Read(c, got); // the cutting is Pure.OutgoingCutsUnits's
            EXPECT_TRUE(row.shape.empty() || shape == row.shape) << shape;
            EXPECT_TRUE(got.substr(0, got.size() - !shape.empty()) == row.output.value_or(""));
        }
        if (row.output) {
            // One child waits for the client, with SIGCHLD at its default, SIGPIPE ignored (a
            // log whose reader has gone costs no transfer), and no signal blocked.
            const auto kids = Children(d.process().pid());
            ASSERT_EQ(kids.size(), 1u);
            EXPECT_EQ(Signals(kids[0], "SigIgn") & (1 << (SIGCHLD - 1) | 1 << (SIGPIPE - 1)),
                      1u << (SIGPIPE - 1));
            // Without -t, a caller whose end is alive may be quiet as long as it likes.
            EXPECT_TRUE(waits(0) && limits == std::make_pair(0L, 0L)) << limits.first;
            EXPECT_EQ(Signals(kids[0], "SigBlk"), 0u);
            std::this_thread::sleep_for(row.late);
            EXPECT_TRUE(!row.release || t_sndrel(c.fd) == 0);
            EXPECT_TRUE((row.release && service != 0) || t_snddis(c.fd, nullptr) == 0);
        }
        EXPECT_TRUE(WaitUntil([&] { return Children(d.process().pid()).empty(); }, 2s));
        EXPECT_EQ(Said((service == 2 ? d.Stderr() : d.Stdout()).substr(seen), failed[service]),
                  Strings(row.output && !row.release, failed[service])); // disconnected
        // Ended abortively: refused or failed, or a send whose caller disconnected.
        EXPECT_EQ(LinesWith(d.Stderr(), "in abort").size() - aborts,
                  !row.output || (service == 0 && !row.release) ? 1u : 0u);
    }
    EXPECT_EQ(Said(d.Stdout(), "open of missing"), Strings{"open of missing failed "});
    EXPECT_EQ(Said(d.Stderr(), "read of"), Strings{"read of /proc/self/mem failed "});
    const std::string out = d.Stdout(), copied = "abcXYZ" + Bin("varneld").string() + ": ";
    EXPECT_NE(out.find(copied, out.find(copied, out.find(copied) + 1) + 1), std::string::npos);
    EXPECT_TRUE(d.process().WaitForOutput("\nerr-text\n", true));
    EXPECT_FALSE(fs::exists(d.dir() / "ran"));
    kill(std::stoi(ReadFile(d.dir() / "bg")), SIGKILL); // the job left behind
}

} // namespace
