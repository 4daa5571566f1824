#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace harness {

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
    return std::string(buf, std::snprintf(buf, sizeof buf, "%04x", port & 0xFFFF));
}

std::string CurrentUser() {
    const passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}

std::string RunAsAccount() {
    if (geteuid() != 0)
        return CurrentUser();
    // CTest's fixture makes it before the tests and removes it after them; a
    // test program run by hand makes it here (two at once: one of them fails).
    if (getpwnam("varneltest") == nullptr) {
        [[maybe_unused]] const int made =
            std::system("useradd -U -M -s /usr/sbin/nologin varneltest >/dev/null 2>&1");
    }
    return "varneltest";
}

std::vector<int> Children(int pid) {
    const std::string self = std::to_string(pid);
    std::istringstream in(ReadFile("/proc/" + self + "/task/" + self + "/children"));
    std::vector<int> out;
    for (int c = 0; in >> c;)
        if (ReadFile("/proc/" + std::to_string(c) + "/stat").find(") Z ") == std::string::npos)
            out.push_back(c);
    return out;
}

unsigned long long Signals(int pid, const std::string& key) {
    const auto line = LinesWith(ReadFile("/proc/" + std::to_string(pid) + "/status"), key + ":");
    return line.empty() ? ~0ull : std::stoull(line[0].substr(key.size() + 1), nullptr, 16);
}

std::size_t Descriptors(int pid) {
    const fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(fds, fs::directory_iterator{}));
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "varnel-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data()) ? tmpl : throw std::runtime_error("mkdtemp failed");
    // Services switch to the run-as account, which may not be the owner.
    fs::permissions(path_, fs::perms::all);
}

Process::Process(Strings argv, const fs::path& cwd) {
    const std::string out = capture_ / "stdout", err = capture_ / "stderr";
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    std::fflush(nullptr);
    if ((pid_ = fork()) < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The child: a process group of its own, SIGPIPE at its default, no signal
        // blocked, standard input /dev/null and the other two on the capture files.
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

Daemon::Daemon(Strings extra, Strings wrapper, bool asAccount) {
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

Strings Said(std::string_view text, std::string_view part, bool stamped, bool child) {
    const std::string title = Bin("varneld").string(),
                      shape = std::string(stamped ? ": ##/##/## ##:##:## @M :" : "") +
                              (child ? " ~" : "") + ": "; // #: a digit, ~: digits, @: A or P
    Strings out = LinesWith(text, part);
    for (std::string& line : out) {
        const auto fits = [&](std::size_t i, char s) {
            const char c = i < line.size() ? line[i] : '\0';
            return s == '@'               ? c == 'A' || c == 'P'
                   : s == '#' || s == '~' ? isdigit(c & 0xFF)
                                          : c == s;
        };
        bool ok = line.starts_with(title);
        std::size_t at = title.size();
        for (const char s : shape)
            for (ok = ok && fits(at++, s); ok && s == '~' && fits(at, s);)
                ++at;
        line = ok ? line.substr(at) : "head? " + line;
    }
    return out;
}

} // namespace harness
