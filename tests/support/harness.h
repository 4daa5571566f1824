// The support of every test: temporary directories, child processes, a
// varneld on loopback, one wait-until, the test account. A process started here
// runs in a process group of its own, killed by that id when its handle goes.
#pragma once

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Directory of the built programs, and the path of one of them.
inline fs::path BinDir() {
    return VARNEL_BIN_DIR;
}
inline fs::path Bin(std::string_view name) {
    return BinDir() / name;
}

// A fresh directory removed with everything in it at scope end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(std::string_view name) const { return path_ / name; }

  private:
    fs::path path_;
};

// A TCP port on 127.0.0.1 that nobody listens on at the time of the call,
// and the same as varneld's and varnel's -s want it: 4 lower-case hex digits.
int FreePort();
std::string HexPort(int port);
// A host address file record naming 127.0.0.1 (node all zero) and port.
std::string HostRecord(std::string_view host, int port);

std::string ReadFile(const fs::path& p);
void WriteFile(const fs::path& p, std::string_view data);
// The lines of text without their line ends: all, or those that contain part.
std::vector<std::string> Lines(std::string_view text);
std::vector<std::string> LinesWith(std::string_view text, std::string_view part);
// Bytes of a given size with a recognisable pattern.
std::string Pattern(std::size_t size, unsigned seed = 1);

struct Options {
    fs::path cwd;                     // working directory (empty: inherit)
    std::optional<std::string> input; // standard input (default: /dev/null)
};
// A running child process whose standard output and error go to files.
class Process {
  public:
    Process(std::vector<std::string> argv, Options opts = {});
    ~Process() { Kill(); }
    int pid() const { return pid_; }
    // Waits for the exit: its status (0..255, 128+signal when killed), or
    // nullopt on time-out (the process keeps running).
    std::optional<int> Wait(std::chrono::milliseconds timeout = 30s);
    bool Running() { return !Wait(0ms); }
    // Sends sig to the process (its own process group when group is set).
    void Signal(int sig, bool group = false) { kill(group ? -pid_ : pid_, sig); }
    // Kills the process and everything in its process group, and reaps it.
    void Kill();
    std::string Stdout() const { return ReadFile(capture_ / "stdout"); }
    std::string Stderr() const { return ReadFile(capture_ / "stderr"); }
    // Waits until text appears on standard output (err: standard error).
    bool WaitForOutput(std::string_view text, bool err = false,
                       std::chrono::milliseconds timeout = 10s) const;

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
Result Run(std::vector<std::string> argv, Options opts = {},
           std::chrono::milliseconds timeout = 60s);

// varneld on a free loopback port in a temporary directory whose run-id
// file names the current user. Started with -s and the port, plus extra.
class Daemon {
  public:
    explicit Daemon(std::vector<std::string> extra = {}, bool writeRunId = true);
    const fs::path& dir() const { return dir_.path(); }
    int port() const { return port_; }
    Process& process() { return *proc_; }
    // Writes "yellowpages" in dir, naming this daemon as host; its path.
    fs::path WriteHostFile(std::string_view host = "server") const;
    // Stops the daemon and its children; its output stays readable.
    void Stop() { proc_->Kill(); }
    std::string Stdout() const { return proc_->Stdout(); }
    std::string Stderr() const { return proc_->Stderr(); }

  private:
    TempDir dir_;
    int port_ = 0;
    std::optional<Process> proc_;
};

// Name of the user running the tests.
std::string CurrentUser();
// Polls done, at first every millisecond and then every 10 ms, until it
// holds or timeout has passed; its last answer.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
// The account the daemon's children run as in the tests: the tester's own,
// or, for the superuser, "varneltest" with a group of its own (made on first use).
std::string RunAsAccount();

} // namespace harness
