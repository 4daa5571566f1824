// Throughput of the SPX provider on loopback beside a plain TCP copy.
//
// A forked sender moves 256 MiB with t_snd of 1024-byte units; the receiver
// takes them with t_rcv of 534 bytes at a time. The same bytes also go over
// a plain TCP connection with 64 KiB writes and reads, with TCP_NODELAY as
// the provider sets it. One uncounted run of each, then five rounds taking
// turns (the provider first in odd rounds): a run lasts well under a second
// here, so a single one says little. With two processors or more, senders
// run on the first and receivers on the second: left to the scheduler, the
// pair shares a processor in some runs and not in others, and loopback
// throughput differs by up to three times between the two. Prints min,
// median and max of each and the ratio of the medians.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <array>
#include <vector>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

namespace {

constexpr std::size_t kTotal = 256u << 20;
constexpr unsigned kUnit = 1024;
constexpr unsigned kRead = 534;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Puts the calling process on processor cpu, when the machine has two or more.
void Pin(int cpu) {
    static const bool two = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    if (!two)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void NoDelay(int s) {
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

[[noreturn]] void Die(const char* what) {
    t_error(what);
    std::exit(1);
}

double ProviderRun(std::size_t& units) {
    int lfd = t_open("/dev/nspx", O_RDWR, nullptr);
    ipxAddr_t addr{};
    struct t_bind req {};
    req.addr = {sizeof addr, sizeof addr, reinterpret_cast<char*>(&addr)};
    req.qlen = 1;
    if (lfd < 0 || t_bind(lfd, &req, &req) != 0)
        Die("listener");
    const std::uint16_t port = spx::GetBE16(addr.sock);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        Pin(0);
        int fd = t_open("/dev/nspx", O_RDWR, nullptr);
        if (fd < 0 || t_bind(fd, nullptr, nullptr) != 0)
            Die("sender bind");
        ipxAddr_t to{};
        spx::PutBE16(to.sock, port);
        t_call call{};
        call.addr = {sizeof to, sizeof to, reinterpret_cast<char*>(&to)};
        if (t_connect(fd, &call, nullptr) != 0)
            Die("connect");
        std::vector<char> unit(kUnit, 'x');
        for (std::size_t sent = 0; sent < kTotal; sent += kUnit)
            if (t_snd(fd, unit.data(), kUnit, sent + kUnit < kTotal ? T_MORE : 0) < 0)
                Die("t_snd");
        t_look(fd);
        _exit(0);
    }
    int sfd = t_open("/dev/nspx", O_RDWR, nullptr);
    if (sfd < 0 || t_bind(sfd, nullptr, nullptr) != 0)
        Die("service bind");
    t_call call{};
    if (t_listen(lfd, &call) != 0 || t_accept(lfd, sfd, &call) != 0)
        Die("accept");
    std::vector<char> buf(kRead);
    std::size_t got = 0;
    units = 0;
    auto start = std::chrono::steady_clock::now();
    while (got < kTotal) {
        int flags = 0;
        int n = t_rcv(sfd, buf.data(), kRead, &flags);
        if (n < 0)
            Die("t_rcv");
        got += static_cast<std::size_t>(n);
        ++units;
    }
    double secs = Seconds(std::chrono::steady_clock::now() - start);
    waitpid(child, nullptr, 0);
    t_close(sfd);
    t_close(lfd);
    return secs;
}

double TcpRun() {
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 1) != 0 ||
        getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::exit(1);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        Pin(0);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        NoDelay(s);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            _exit(1);
        std::vector<char> buf(64 * 1024, 'x');
        for (std::size_t sent = 0; sent < kTotal;) {
            ssize_t n = write(s, buf.data(), buf.size());
            if (n <= 0)
                _exit(1);
            sent += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    int s = accept(ls, nullptr, nullptr);
    std::vector<char> buf(64 * 1024);
    std::size_t got = 0;
    auto start = std::chrono::steady_clock::now();
    while (got < kTotal) {
        ssize_t n = read(s, buf.data(), buf.size());
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    double secs = Seconds(std::chrono::steady_clock::now() - start);
    waitpid(child, nullptr, 0);
    close(s);
    close(ls);
    return secs;
}

constexpr int kRounds = 5;

// Prints min, median and max of the runs; the median.
double Report(const char* name, std::array<double, kRounds> secs) {
    std::sort(secs.begin(), secs.end());
    const double mb = static_cast<double>(kTotal) / 1e6;
    std::printf("%-20s %.3f %.3f %.3f s   %.0f MB/s (median)\n", name, secs.front(),
                secs[kRounds / 2], secs.back(), mb / secs[kRounds / 2]);
    return secs[kRounds / 2];
}

} // namespace

int main() {
    Pin(1);
    std::size_t receives = 0;
    ProviderRun(receives); // uncounted: the first touch of the buffers' memory
    TcpRun();
    std::array<double, kRounds> spx{}, tcp{};
    for (int r = 0; r < kRounds; ++r) {
        if (r % 2 == 0) {
            spx[r] = ProviderRun(receives);
            tcp[r] = TcpRun();
        } else {
            tcp[r] = TcpRun();
            spx[r] = ProviderRun(receives);
        }
    }
    std::printf("%zu MiB: provider %zu units of %u bytes sent, %zu receives of %u bytes\n",
                kTotal >> 20, kTotal / kUnit, kUnit, receives, kRead);
    std::printf("%-20s   min   med   max\n", "");
    const double spxMedian = Report("provider", spx);
    const double tcpMedian = Report("plain tcp (64 KiB)", tcp);
    std::printf("ratio provider/tcp (throughput, medians): %.2f\n", tcpMedian / spxMedian);
    return 0;
}
