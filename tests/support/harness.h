// Helpers for end-to-end tests: temporary directories, free ports, child
// processes with captured output, and a varneld on loopback.
//
// Every process started here is stopped by process id (its own process
// group) when its handle goes out of scope, so no test leaves one behind.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Directory of the built programs (build/bin).
fs::path BinDir();
// Path of a built program.
fs::path Bin(std::string_view name);

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

// A TCP port on 127.0.0.1 that nobody listens on at the time of the call.
int FreePort();
// The port as varneld's and varnel's -s want it: 4 lower-case hex digits.
std::string HexPort(int port);

std::string ReadFile(const fs::path& p);
void WriteFile(const fs::path& p, std::string_view data);
// Lines of text without their line ends.
std::vector<std::string> Lines(std::string_view text);
// The lines of text that contain part.
std::vector<std::string> LinesWith(std::string_view text, std::string_view part);
// Bytes of a given size with a recognisable pattern.
std::string Pattern(std::size_t size, unsigned seed = 1);

struct Options {
    fs::path cwd;                      // working directory (empty: inherit)
    std::optional<std::string> input;  // standard input (default: /dev/null)
};

// A running child process whose standard output and error go to files.
class Process {
public:
    Process(std::vector<std::string> argv, Options opts = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return pid_; }
    // Waits for the exit; the exit status (0..255), 128+signal when killed,
    // or nullopt on time-out (the process keeps running).
    std::optional<int> Wait(std::chrono::milliseconds timeout = 30s);
    bool Running();
    // Sends sig to the process (its own process group when group is set).
    void Signal(int sig, bool group = false);
    // Kills the process and everything in its process group, and reaps it.
    void Kill();
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until text appears on standard output (err: standard error).
    bool WaitForOutput(std::string_view text, bool err = false,
                       std::chrono::milliseconds timeout = 10s) const;

private:
    int pid_ = -1;
    std::optional<int> status_;
    TempDir capture_;
};

struct Result {
    int status = -1; // exit status, 128+signal, or -1 on time-out
    std::string out;
    std::string err;
};

// Runs argv to its end (killed after timeout).
Result Run(std::vector<std::string> argv, Options opts = {},
           std::chrono::milliseconds timeout = 60s);

// varneld on a free loopback port in a temporary directory whose run-id
// file names the current user. Started with -s and the port, plus extra.
class Daemon {
public:
    explicit Daemon(std::vector<std::string> extra = {}, bool writeRunId = true);
    ~Daemon();
    const fs::path& dir() const { return dir_.path(); }
    int port() const { return port_; }
    Process& process() { return *proc_; }
    // Writes a host address file "yellowpages" in dir naming this daemon as
    // host and returns its path.
    fs::path WriteHostFile(std::string_view host = "server") const;
    // Stops the daemon and its children; its output stays readable.
    void Stop();
    std::string Stdout() const { return proc_->Stdout(); }
    std::string Stderr() const { return proc_->Stderr(); }

private:
    TempDir dir_;
    int port_ = 0;
    std::optional<Process> proc_;
};

// A host address file record naming 127.0.0.1 (node all zero) and port.
std::string HostRecord(std::string_view host, int port);
// Name of the user running the tests.
std::string CurrentUser();

} // namespace harness
