// The support of every test: temporary directories, files, child processes (each in a process
// group of its own, killed by that id), a varneld on loopback, one wait-until, the test account.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Directory of the built programs, and the path of one of them.
inline fs::path BinDir() {
    return VARNEL_BIN_DIR;
}
inline fs::path Bin(std::string_view name) {
    return BinDir() / name;
}

// What can be read of a file (of a /proc file whose process has gone, what
// came before).
inline std::string ReadFile(const fs::path& p) {
    std::string text;
    const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    if (fd >= 0)
        close(fd);
    return text;
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

// A TCP port on 127.0.0.1 that nobody listens on at the time of the call; a port as -s wants
// it (4 hex digits); a host file record naming 127.0.0.1 (node all zero) and port.
int FreePort();
std::string HexPort(int port);
inline std::string HostRecord(std::string_view host, int port) {
    return std::string(host) + " 00000000 00000000 00000000 " + HexPort(port) + "\n";
}

// The user running the tests, and the account the daemon's children run as in the tests: the
// tester's own, or, for the superuser, "varneltest" with a group of its own (made on first use).
std::string CurrentUser();
std::string RunAsAccount();

// What /proc tells of a process: its children that have not ended, a signal set ("SigIgn",
// "SigBlk"; all bits when unreadable), how many descriptors it holds.
std::vector<int> Children(int pid);
unsigned long long Signals(int pid, const std::string& key);
std::size_t Descriptors(int pid);

// A fresh directory removed with everything in it at scope end.
class TempDir {
  public:
    TempDir();
    ~TempDir() { fs::remove_all(path_, ignored_); }
    TempDir(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(std::string_view name) const { return path_ / name; }

  private:
    fs::path path_;
    std::error_code ignored_;
};

// A running child process in cwd (empty: inherited), input /dev/null, output and error to files.
class Process {
  public:
    explicit Process(Strings argv, const fs::path& cwd = {});
    ~Process() { Kill(); }
    int pid() const { return pid_; }
    // Waits for the exit: its status (0..255, 128+signal when killed), nullopt on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout = 30s);
    bool Running() { return !Wait(0ms); }
    // Kills the process and everything in its process group, and reaps it.
    void Kill();
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
    explicit Daemon(Strings extra = {}, Strings wrapper = {}, bool asAccount = false);
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

// The messages of the lines of text containing part, after their head: argv[0], when stamped the
// accept time (": MM/DD/YY hh:mm:ss AM :"), in a child " <pid>", ": " (else "head? " + line).
Strings Said(std::string_view text, std::string_view part, bool stamped = true, bool child = true);

} // namespace harness
