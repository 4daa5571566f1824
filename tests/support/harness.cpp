#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

fs::path BinDir() { return VARNEL_BIN_DIR; }
fs::path Bin(std::string_view name) { return BinDir() / name; }

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "varnel-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    // Services switch to the run-as account, which may not be the owner.
    fs::permissions(path_, fs::perms::all);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("no free port");
    close(s);
    return ntohs(a.sin_port);
}

std::string HexPort(int port) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", port & 0xFFFF);
    return buf;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, std::string_view data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        auto nl = text.find('\n');
        lines.emplace_back(text.substr(0, nl));
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

std::vector<std::string> LinesWith(std::string_view text, std::string_view part) {
    std::vector<std::string> out;
    for (auto& l : Lines(text))
        if (l.find(part) != std::string::npos)
            out.push_back(l);
    return out;
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

Process::Process(std::vector<std::string> argv, Options opts) {
    fs::path inPath;
    if (opts.input) {
        inPath = capture_ / "stdin";
        WriteFile(inPath, *opts.input);
    }
    const std::string outPath = (capture_ / "stdout").string();
    const std::string errPath = (capture_ / "stderr").string();
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = open(opts.input ? inPath.c_str() : "/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd : {in, out, err})
            if (fd > 2)
                close(fd);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
}

Process::~Process() { Kill(); }

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
    if (status_)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

bool Process::Running() { return !Wait(0ms).has_value(); }

void Process::Signal(int sig, bool group) {
    if (pid_ > 0)
        kill(group ? -pid_ : pid_, sig);
}

void Process::Kill() {
    if (pid_ <= 0)
        return;
    // The group holds the process and whatever it forked (service children,
    // shell commands); they all go.
    kill(-pid_, SIGKILL);
    if (!status_)
        Wait(10s);
}

std::string Process::Stdout() const { return ReadFile(capture_ / "stdout"); }
std::string Process::Stderr() const { return ReadFile(capture_ / "stderr"); }

bool Process::WaitForOutput(std::string_view text, bool err,
                            std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if ((err ? Stderr() : Stdout()).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

Result Run(std::vector<std::string> argv, Options opts, std::chrono::milliseconds timeout) {
    Process p(std::move(argv), std::move(opts));
    Result r;
    auto st = p.Wait(timeout);
    if (!st)
        p.Kill();
    r.status = st.value_or(-1);
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
}

std::string HostRecord(std::string_view host, int port) {
    return std::string(host) + " 00000000 00000000 00000000 " + HexPort(port) + "\n";
}

std::string CurrentUser() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}

Daemon::Daemon(std::vector<std::string> extra, bool writeRunId) {
    if (writeRunId)
        WriteFile(dir_ / ".spxrunid", CurrentUser() + "\n");
    // A port found free may be taken before the daemon binds it: try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        std::vector<std::string> argv{Bin("varneld").string(), "-s", HexPort(port_)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc_.emplace(argv, Options{dir_.path(), std::nullopt});
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (proc_->Stderr().find("spxfd = ") != std::string::npos)
                return;
            if (!proc_->Running())
                break;
            std::this_thread::sleep_for(2ms);
        }
        proc_.reset();
    }
    throw std::runtime_error("varneld did not start");
}

Daemon::~Daemon() = default;

fs::path Daemon::WriteHostFile(std::string_view host) const {
    fs::path p = dir_ / "yellowpages";
    WriteFile(p, HostRecord(host, port_));
    return p;
}

void Daemon::Stop() {
    if (proc_)
        proc_->Kill();
}

} // namespace harness
