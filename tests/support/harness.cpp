#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "varnel-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data()) ? tmpl : throw std::runtime_error("mkdtemp failed");
    // Services switch to the run-as account, which may not be the owner.
    fs::permissions(path_, fs::perms::all);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

int FreePort() {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : throw std::runtime_error("no free port");
}

std::string HexPort(int port) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", port & 0xFFFF);
    return buf;
}

std::string HostRecord(std::string_view host, int port) {
    return std::string(host) + " 00000000 00000000 00000000 " + HexPort(port) + "\n";
}

std::string ReadFile(const fs::path& p) {
    std::ostringstream ss;
    ss << std::ifstream(p, std::ios::binary).rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, std::string_view data) {
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<long>(data.size()));
}

std::vector<std::string> Lines(std::string_view text) {
    return LinesWith(text, "");
}

std::vector<std::string> LinesWith(std::string_view text, std::string_view part) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto line = text.substr(0, text.find('\n'));
        if (line.find(part) != std::string_view::npos)
            lines.emplace_back(line);
        text.remove_prefix(std::min(line.size() + 1, text.size()));
    }
    return lines;
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (auto& c : s)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

Process::Process(std::vector<std::string> argv, Options opts) {
    const std::string in = opts.input ? (capture_ / "stdin").string() : "/dev/null";
    const std::string out = (capture_ / "stdout").string(), err = (capture_ / "stderr").string();
    if (opts.input)
        WriteFile(in, *opts.input);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::fflush(nullptr);
    if ((pid_ = fork()) < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The child: a process group of its own, SIGPIPE at its default, no
        // signal blocked, the standard descriptors on the capture files.
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int fds[] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT, 0600),
                           open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
        for (int i = 0; i < 3; ++i)
            if (fds[i] < 0 || dup2(fds[i], i) < 0)
                _exit(126);
        for (int fd : fds)
            if (fd > 2)
                close(fd);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
    int st = 0;
    pid_t r = 0; // the process once reaped, -1 when there is none to reap
    const auto reaped = [&] { return (r = waitpid(pid_, &st, WNOHANG)) != 0; };
    if (!status_ && WaitUntil(reaped, timeout) && r == pid_)
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
}

void Process::Kill() {
    kill(-pid_, SIGKILL); // the process and whatever it forked
    Wait(10s);
}

bool Process::WaitForOutput(std::string_view text, bool err,
                            std::chrono::milliseconds timeout) const {
    const auto shown = [&] { return (err ? Stderr() : Stdout()).find(text) != std::string::npos; };
    return WaitUntil(shown, timeout);
}

Result Run(std::vector<std::string> argv, Options opts, std::chrono::milliseconds timeout) {
    Process p(std::move(argv), std::move(opts));
    const auto status = p.Wait(timeout);
    p.Kill();
    return {status.value_or(-1), p.Stdout(), p.Stderr()};
}

Daemon::Daemon(std::vector<std::string> extra, bool writeRunId) {
    if (writeRunId)
        WriteFile(dir_ / ".spxrunid", CurrentUser() + "\n");
    // A port found free may be taken before the daemon binds it: try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<std::string> argv{Bin("varneld").string(), "-s", HexPort(port_ = FreePort())};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc_.emplace(argv, Options{dir_.path(), std::nullopt});
        const auto started = [&] { return Stderr().find("spxfd = ") != std::string::npos; };
        if (WaitUntil([&] { return started() || !proc_->Running(); }) && started())
            return;
        proc_.reset();
    }
    throw std::runtime_error("varneld did not start");
}

fs::path Daemon::WriteHostFile(std::string_view host) const {
    WriteFile(dir_ / "yellowpages", HostRecord(host, port_));
    return dir_ / "yellowpages";
}

std::string CurrentUser() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto pause = 1ms; !done(); pause = std::min(2 * pause, std::chrono::milliseconds(10))) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(pause);
    }
    return true;
}

std::string RunAsAccount() {
    if (geteuid() != 0)
        return CurrentUser();
    // Test programs run side by side: the first creates the account, under a lock.
    const int lock = open("/tmp/varneltest-account.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    flock(lock, LOCK_EX);
    if (getpwnam("varneltest") == nullptr)
        std::system("useradd -U -M -s /usr/sbin/nologin varneltest >/dev/null 2>&1");
    close(lock);
    return "varneltest";
}

} // namespace harness
