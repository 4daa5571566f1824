// The support of every test: temporary directories, files, child processes (each in a process
// group of its own, killed by that id), a varneld on loopback, one wait-until, the test account.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace harness {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// The path of a built program (VARNEL_BIN_DIR: their directory).
inline fs::path Bin(std::string_view name) {
    return fs::path(VARNEL_BIN_DIR) / name;
}

// What can be read of a file (of a /proc file whose process has gone, what came before).
inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteFile(const fs::path& p, std::string_view data) {
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<long>(data.size()));
}

// The lines of text, without their line ends, that contain part.
inline Strings LinesWith(std::string_view text, std::string_view part) {
    Strings lines;
    for (std::string_view l; !text.empty(); text.remove_prefix(std::min(l.size() + 1, text.size())))
        if ((l = text.substr(0, text.find('\n'))).find(part) != l.npos)
            lines.emplace_back(l);
    return lines;
}

// Bytes of a given size with a recognisable pattern.
inline std::string Pattern(std::size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (auto& c : s)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

// Polls done (every 1 ms, then 10 ms) until it holds or timeout has passed; its last answer.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto pause = 1ms; !done(); pause = std::min(2 * pause, std::chrono::milliseconds(10))) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(pause);
    }
    return true;
}

// A TCP port that nobody uses at the time of the call, below the ports the kernel hands out to
// connections (so that no connection of a test running beside this one takes it meanwhile).
inline int FreePort() {
    int low = 32768, high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    static unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        const int port = low > 11024 ? low - 1 - static_cast<int>(seed >> 8) % 10000 : 0;
        sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_ANY)}, {}};
        socklen_t len = sizeof a;
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
        close(s);
        if (ok)
            return ntohs(a.sin_port);
    }
    throw std::runtime_error("no free port");
}

// A port as -s wants it (4 hex digits); a host file record naming 127.0.0.1 (node all zero).
inline std::string HexPort(int port) {
    char buf[8];
    return std::string(buf, std::snprintf(buf, sizeof buf, "%04x", port & 0xFFFF));
}
inline std::string HostRecord(std::string_view host, int port) {
    return std::string(host) + " 00000000 00000000 00000000 " + HexPort(port) + "\n";
}

// The user running the tests, and the account the daemon's children run as in the tests: the
// tester's own, or, for the superuser, "varneltest" with a group of its own. CTest's fixture
// makes it before the tests and removes it after them; a test program run by hand makes it here.
inline std::string CurrentUser() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}
inline std::string RunAsAccount() {
    if (geteuid() != 0)
        return CurrentUser();
    if (getpwnam("varneltest") == nullptr) // two at once: one of them fails
        [[maybe_unused]]
        const int made =
            std::system("useradd -U -M -s /usr/sbin/nologin varneltest >/dev/null 2>&1");
    return "varneltest";
}

// What /proc tells of a process: its children (zombies too: a child is one until reaped), a
// signal set ("SigIgn", "SigBlk"; all bits when unreadable), how many descriptors it holds.
inline std::vector<int> Children(int pid) {
    const std::string self = std::to_string(pid);
    std::istringstream in(ReadFile("/proc/" + self + "/task/" + self + "/children"));
    return {std::istream_iterator<int>(in), {}};
}
inline unsigned long long Signals(int pid, const std::string& key) {
    const auto line = LinesWith(ReadFile("/proc/" + std::to_string(pid) + "/status"), key + ":");
    return line.empty() ? ~0ull : std::stoull(line[0].substr(key.size() + 1), nullptr, 16);
}
inline std::size_t Descriptors(int pid) {
    const fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(fds, fs::directory_iterator{}));
}
// The receive and send time-outs, in whole seconds, of the last socket a process holds (its
// endpoint when it holds one); {-1, -1} when it holds none.
inline std::pair<long, long> SocketTimeouts(int pid) {
    int theirs = -1, pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    std::error_code e;
    for (const auto& f : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", e))
        if (fs::read_symlink(f, e).string().starts_with("socket:"))
            theirs = std::max(theirs, std::stoi(f.path().filename().string()));
    const int fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, theirs, 0));
    timeval in{-1, 0}, out{-1, 0};
    socklen_t size = sizeof in;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &in, &size);
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &out, &size);
    return close(fd), close(pidfd), std::pair{in.tv_sec, out.tv_sec};
}

// Whether a process of group pgid is alive: running, or exiting and still holding what it had.
inline bool GroupAlive(int pgid) {
    std::error_code e;
    for (const auto& entry : fs::directory_iterator("/proc", e)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != name.npos)
            continue;
        // "pid (name) state ppid pgrp ...": the name may hold anything but the last ')'.
        std::string stat;
        try { // a process that ends while it is read fails the read (ESRCH)
            stat = ReadFile(entry.path() / "stat");
        } catch (const std::ios_base::failure&) {
            continue;
        }
        std::istringstream fields(stat.substr(std::min(stat.rfind(')') + 1, stat.size())));
        char state = 'X';
        int ppid = 0, group = 0;
        if (fields >> state >> ppid >> group && group == pgid && state != 'Z')
            return true;
    }
    return false;
}

// A fresh directory, open to all (services switch to the run-as account, which may not be the
// owner), removed with everything in it at scope end.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "varnel-test-XXXXXX").string();
        path_ = mkdtemp(tmpl.data()) ? tmpl : throw std::runtime_error("mkdtemp failed");
        fs::permissions(path_, fs::perms::all);
    }
    ~TempDir() { fs::remove_all(path_, ignored_); }
    TempDir(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(std::string_view name) const { return path_ / name; }

  private:
    fs::path path_;
    std::error_code ignored_;
};

// A running child process in cwd (empty: inherited), input /dev/null, output and error to files;
// a process group of its own, SIGPIPE at its default and no signal blocked.
class Process {
  public:
    explicit Process(Strings argv, const fs::path& cwd = {}) {
        const std::string out = capture_ / "stdout", err = capture_ / "stderr";
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        std::fflush(nullptr);
        if ((pid_ = fork()) < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            sigset_t none;
            sigemptyset(&none);
            setpgid(0, 0), signal(SIGPIPE, SIG_DFL), sigprocmask(SIG_SETMASK, &none, nullptr);
            const int fds[] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
                               open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
                               open(err.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)};
            for (int i = 0; i < 3; ++i)
                if (fds[i] < 0 || dup2(fds[i], i) < 0)
                    _exit(126);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            execv(args[0], args.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
    }
    ~Process() { Kill(); }
    int pid() const { return pid_; }
    // Waits for the exit: its status (0..255, 128+signal when killed), nullopt on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout = 30s) {
        int st = 0;
        pid_t r = 0; // the process once reaped, -1 when there is none to reap
        const auto reaped = [&] { return (r = waitpid(pid_, &st, WNOHANG)) != 0; };
        if (!status_ && WaitUntil(reaped, timeout) && r == pid_)
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }
    bool Running() { return !Wait(0ms); }
    // Kills the process and everything it forked (its process group), reaps it, and waits until
    // no member of the group is left holding anything (gone, or a zombie: a daemon below a
    // shell keeps its sockets until it is gone itself).
    void Kill() {
        kill(-pid_, SIGKILL), Wait(10s);
        WaitUntil([&] { return !GroupAlive(pid_); }, 10s);
    }
    std::string Stdout() const { return ReadFile(capture_ / "stdout"); }
    std::string Stderr() const { return ReadFile(capture_ / "stderr"); }
    // Waits until text appears on standard output (err: standard error).
    bool WaitForOutput(std::string_view text, bool err = false,
                       std::chrono::milliseconds t = 10s) const {
        return WaitUntil([&] { return (err ? Stderr() : Stdout()).find(text) != text.npos; }, t);
    }

  private:
    int pid_ = -1;
    std::optional<int> status_;
    TempDir capture_; // also makes a Process impossible to copy
};

struct Result {
    int status = -1; // exit status, 128+signal, or -1 on time-out
    std::string out, err;
};
// Runs argv to its end (killed after timeout).
inline Result Run(Strings argv, const fs::path& cwd = {}, std::chrono::milliseconds timeout = 60s) {
    Process p(std::move(argv), cwd);
    const auto status = p.Wait(timeout);
    p.Kill();
    return {status.value_or(-1), p.Stdout(), p.Stderr()};
}

// varneld in a temporary directory whose run-id file (mode 0666) names the daemon's account, on a
// free loopback port, run as wrapper (a command running the rest), varneld -s port, extra; with
// asAccount a superuser's runs as RunAsAccount(). Behind a wrapper, the test asks started().
class Daemon {
  public:
    explicit Daemon(Strings extra = {}, Strings wrapper = {}, bool asAccount = false) {
        const std::string account = asAccount ? RunAsAccount() : CurrentUser();
        WriteFile(dir_ / ".spxrunid", account + "\n");
        fs::permissions(dir_ / ".spxrunid", fs::perms(0666)); // opened for update
        if (const passwd* pw = getpwnam(account.c_str()); asAccount && geteuid() == 0)
            wrapper.insert(wrapper.begin(),
                           {"/usr/bin/setpriv", "--reuid=" + std::to_string(pw->pw_uid),
                            "--regid=" + std::to_string(pw->pw_gid), "--clear-groups"});
        // A port found free may be taken before the daemon binds it: try again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            Strings argv = wrapper;
            argv.insert(argv.end(), {Bin("varneld").string(), "-s", HexPort(port_ = FreePort())});
            argv.insert(argv.end(), extra.begin(), extra.end());
            proc_.emplace(argv, dir_.path());
            if (WaitUntil([&] { return started() || !proc_->Running(); }) && started())
                return;
        }
        EXPECT_FALSE(wrapper.empty()) << "varneld did not start: " << Stdout() << Stderr();
    }
    bool started() const { return Passes(1, 0ms); }
    const fs::path& dir() const { return dir_.path(); }
    int port() const { return port_; }
    Process& process() { return *proc_; }
    std::string Stdout() const { return proc_->Stdout(); }
    std::string Stderr() const { return proc_->Stderr(); }
    // Writes "yellowpages" in dir, naming this daemon as host "server".
    void WriteHostFile() const { WriteFile(dir_ / "yellowpages", HostRecord("server", port_)); }
    // Waits for the listener's nth state line (2 a connection, 1 more in t_listen).
    bool Passes(std::size_t n, std::chrono::milliseconds timeout = 10s) const {
        return WaitUntil([&] { return LinesWith(Stderr(), "spxfd = ").size() >= n; }, timeout);
    }

  private:
    TempDir dir_;
    int port_ = 0;
    std::optional<Process> proc_;
};

// An IPX stack, nspxd -v, with its socket ("stack") and interface file ("nspx.conf": interfaces)
// in a directory of its own, run behind prefix (a command that runs the rest, as nsenter into a
// network namespace; empty: this process's namespace) and killed when this process ends. The
// programs reach it with Env() in their environment. Stopped by its pid, waited for until gone.
class Stack {
  public:
    explicit Stack(std::string_view interfaces, Strings prefix = {}, Strings extra = {}) {
        WriteFile(dir_ / "nspx.conf", interfaces);
        prefix.insert(prefix.end(),
                      {"/usr/bin/setpriv", "--pdeathsig", "KILL", "/usr/bin/env", Env(),
                       "NSPX_CONF=" + (dir_ / "nspx.conf").string(), Bin("nspxd").string(), "-v"});
        argv_ = prefix;
        argv_.insert(argv_.end(), extra.begin(), extra.end());
        Start();
    }
    ~Stack() { Stop(SIGKILL); }
    Stack(const Stack&) = delete;
    fs::path socket() const { return dir_ / "stack"; }
    const fs::path& dir() const { return dir_.path(); }
    std::string Env() const { return "NSPX_STACK=" + socket().string(); }
    Process& process() { return *proc_; }
    std::string Stderr() const { return proc_->Stderr(); }
    // What nspxd -s tells of it.
    std::string State() const { return Run({"/usr/bin/env", Env(), Bin("nspxd"), "-s"}).out; }
    // Starts it (anew: on the same socket and file) and waits until its socket takes a caller.
    bool Start() {
        proc_.emplace(argv_, dir_.path());
        const bool up = WaitUntil([&] { return Answers() || !proc_->Running(); }) && Answers();
        EXPECT_TRUE(up) << "nspxd did not start: " << Stderr();
        return up;
    }
    // Whether a connection to its socket is taken.
    bool Answers() const {
        sockaddr_un a{AF_UNIX, {}};
        socket().string().copy(a.sun_path, sizeof a.sun_path - 1);
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool taken = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        return close(s), taken;
    }
    // Sends it sig (SIGTERM: as an operator stops it) and waits until it and all it started are
    // gone: its status (128+signal when killed), nullopt when it had to be killed after 10 s.
    std::optional<int> Stop(int sig = SIGTERM) {
        if (proc_->Running())
            kill(proc_->pid(), sig);
        const auto status = proc_->Wait(10s);
        proc_->Kill();
        return status;
    }

  private:
    TempDir dir_;
    Strings argv_;
    std::optional<Process> proc_;
};

// The messages of the lines of text containing part, after their head: argv[0], when stamped the
// accept time (": MM/DD/YY hh:mm:ss AM :"), in a child " <pid>", ": " (else "head? " + line).
inline Strings Said(std::string_view text, std::string_view part, bool stamped = true,
                    bool child = true) {
    const std::regex head(
        "^" + std::regex_replace(Bin("varneld").string(), std::regex(R"(\W)"), R"(\$&)") +
        (stamped ? R"(: \d\d/\d\d/\d\d \d\d:\d\d:\d\d [AP]M :)" : "") + (child ? R"( \d+)" : "") +
        ": ");
    Strings out = LinesWith(text, part);
    for (std::string& line : out) {
        std::smatch m;
        line = std::regex_search(line, m, head) ? m.suffix().str() : "head? " + line;
    }
    return out;
}

} // namespace harness
