// varneld: the SPX service daemon.
//
// The listener binds one SPX socket and takes callers one after another:
// each is accepted onto a fresh service endpoint and served by a child of
// its own, which reads one request, dispatches on its command code and
// exits. Children are reaped the moment they end (SIGCHLD), and the listener
// knows the address each one serves. A caller that finds every child slot
// taken (-c), or its address at its share of them (-p), is accepted all the
// same and waits in the listener, in the order callers came, until a child
// can be forked for it; a signal (a child's end, a tick while callers wait)
// wakes the listener from t_listen for that. An allow file (-a, read again
// on SIGHUP) says who may call and for what. A caller that cannot be served
// (no endpoint, no process) is refused, and the listener pauses before it
// goes on; only a failure of the listening endpoint itself ends it.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <spx/byteorder.h>
#include <spx/ipx.h>
#include <spx/tiuser.h>

#include "allow.h"
#include "child.h"
#include "identity.h"
#include "io.h"
#include "numbers.h"
#include "spxsupport.h"

namespace {

// Socket of the listening endpoint, in network byte order (0x45, 0x00).
std::array<unsigned char, 2> socketToBind{0x45, 0x00};

// The invocation name, for resetting titleStr on every pass.
std::string_view programName = "varneld";

// Service children at once at most (-c), of them for callers of one address
// (-p; 0: half of -c, at least 1), and how long a child waits for its
// caller (-t, seconds; 0: no limit).
unsigned maxChildren = 100;
unsigned addressShare = 0;
unsigned idleSeconds = 120;

// The allow file (-a; null: everyone may use everything) and its entries.
const char* allowPath = nullptr;
std::vector<AllowEntry> allowList;

// Callers waiting for a child, in all and from one address. The bound in all
// is set at start from the descriptor limit (each holds a descriptor).
unsigned maxWaiting = 256;
constexpr unsigned MAX_WAITING_PER_ADDRESS = 16;

// Callers in a row that could not be served (no endpoint, no process).
unsigned failuresInRow = 0;

// The service endpoint made ready for the next caller, -1 when none is.
int spareFd = -1;

// Children the SIGCHLD handler has reaped: their pids in a ring that only
// the handler writes and the listener reads. Should the ring be full, the
// handler says so and the listener checks its table child by child.
constexpr unsigned ENDED_RING = 256;
std::array<std::atomic<pid_t>, ENDED_RING> endedPids{};
std::atomic<unsigned> endedWritten{0}; // by the handler
std::atomic<unsigned> endedRead{0};    // by the listener
std::atomic<bool> endedLost{false};
std::atomic<int> reapError{0}; // errno of a reap that failed
std::atomic<unsigned> unproven{0}; // children that ended with EXIT_UNPROVEN
static_assert(std::atomic<pid_t>::is_always_lock_free &&
              std::atomic<unsigned>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);
volatile std::sig_atomic_t reloadAsked = 0; // SIGHUP

// The children not yet reaped, by pid: the address of the caller each serves;
// and how many each address has.
std::unordered_map<pid_t, std::uint32_t> liveChildren;
std::unordered_map<std::uint32_t, unsigned> childrenOf;

// A caller accepted while no child could be forked for it.
struct WaitingCaller {
    int fd = -1;               // its service endpoint
    std::uint32_t address = 0; // IPv4, host order
    ipxAddr_t ipx{};           // its address as t_listen gave it, for its child's lines
    std::string stamp;         // its accept time, as the title shows it
};
std::deque<WaitingCaller> waiting;

// The usage text. Its first lines are fixed output (the odd unclosed
// parenthesis included): scripts and the manual page's check read them.
void Usage() {
    std::printf("%s usage: %s", titleStr, titleStr);
    std::printf(" [-s<socket>] [-v] [-c<children>] [-t<seconds>] [-p<share>] [-a<file>]\n");
    std::printf("       socket:    local socket number (0x4000 - 0x5000\n");
    std::printf("       -v : verbose \n");
    std::printf("       children:  service children at once at most (100)\n");
    std::printf("       seconds:   a caller may keep a child waiting (120, 0: no limit)\n");
    std::printf("       share:     children at once for callers of one address (children/2)\n");
    std::printf("       file:      allow file: who may call, and for which services\n");
}

// SIGCHLD: reaps every child that has ended and records its pid, and whether
// it ended because its switch to the run-as account could not be proven.
void ChildEnded(int) {
    const int savedErrno = errno;
    pid_t pid = 0;
    int status = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == EXIT_UNPROVEN)
            unproven.fetch_add(1);
        const unsigned at = endedWritten.load(std::memory_order_relaxed);
        if (at - endedRead.load(std::memory_order_acquire) >= ENDED_RING) {
            endedLost.store(true);
            continue;
        }
        endedPids[at % ENDED_RING].store(pid, std::memory_order_relaxed);
        endedWritten.store(at + 1, std::memory_order_release);
    }
    if (pid < 0 && errno != ECHILD)
        reapError.store(errno);
    errno = savedErrno;
}

void ReloadAsked(int) { reloadAsked = 1; }

void Tick(int) {} // only wakes the listener

// The listener's signals: children reaped as they end, SIGHUP reads the
// allow file again, SIGALRM ticks; each wakes t_listen. None is blocked.
void CatchSignals() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    action.sa_handler = ChildEnded;
    sigaction(SIGCHLD, &action, nullptr);
    action.sa_flags = SA_RESTART;
    action.sa_handler = ReloadAsked;
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = Tick;
    sigaction(SIGALRM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t caught;
    sigemptyset(&caught);
    for (const int signal : {SIGCHLD, SIGHUP, SIGALRM})
        sigaddset(&caught, signal);
    sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

// A tick every second while callers wait or refusals wait to be logged, so
// that a child that ended just before the listener went back to t_listen,
// or a caller that left, is seen within a second.
void KeepTicking(bool on) {
    static bool ticking = false;
    if (on == ticking)
        return;
    itimerval every{};
    if (on)
        every.it_interval = every.it_value = {1, 0};
    setitimer(ITIMER_REAL, &every, nullptr);
    ticking = on;
}

unsigned ChildrenOf(std::uint32_t address) {
    const auto it = childrenOf.find(address);
    return it == childrenOf.end() ? 0 : it->second;
}

void ForgetChild(pid_t pid) {
    const auto it = liveChildren.find(pid);
    if (it == liveChildren.end())
        return;
    if (--childrenOf[it->second] == 0)
        childrenOf.erase(it->second);
    liveChildren.erase(it);
}

// Takes what the handler has reaped off the table of children.
void ReconcileChildren() {
    unsigned at = endedRead.load(std::memory_order_relaxed);
    for (const unsigned end = endedWritten.load(std::memory_order_acquire); at != end; ++at)
        ForgetChild(endedPids[at % ENDED_RING].load(std::memory_order_relaxed));
    endedRead.store(at, std::memory_order_release);
    if (endedLost.exchange(false)) { // some went unrecorded: ask about each
        std::vector<pid_t> gone;
        for (const auto& [pid, address] : liveChildren) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 &&
                errno == ECHILD)
                gone.push_back(pid);
        }
        for (const pid_t pid : gone)
            ForgetChild(pid);
    }
    if (const int error = reapError.exchange(0); error != 0)
        std::printf("%s: reaping children failed: %s\n", titleStr, std::strerror(error));
    // Reported here, by the listener: the child itself ends without a word.
    if (const unsigned n = unproven.exchange(0); n != 0)
        std::printf("%s: %u children ended: their switch to the run-as account could not be "
                    "proven\n", titleStr, n);
}

// SIGCHLD held back while the table of children changes around a fork.
class ChildSignalHeld {
public:
    ChildSignalHeld() {
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        sigprocmask(SIG_BLOCK, &child, &old_);
    }
    ~ChildSignalHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    ChildSignalHeld(const ChildSignalHeld&) = delete;
    ChildSignalHeld& operator=(const ChildSignalHeld&) = delete;

private:
    sigset_t old_{};
};

// Refusals the listener makes of its own accord, logged so that a flood of
// them does not flood the log: the first at once, those of the ten seconds
// after it in one line with their count, and so on.
class RefusalLog {
public:
    explicit RefusalLog(const char* why) : why_(why) {}
    void Refused(std::uint32_t address) {
        const auto now = std::chrono::steady_clock::now();
        Flush();
        if (now < quietUntil_) {
            ++unlogged_;
            last_ = address;
            return;
        }
        std::printf("%s: caller %s refused: %s\n", titleStr, ShowIPv4(address).c_str(), why_);
        quietUntil_ = now + QUIET;
    }
    // Logs the refusals counted once their ten seconds have passed.
    void Flush() {
        const auto now = std::chrono::steady_clock::now();
        if (unlogged_ == 0 || now < quietUntil_)
            return;
        std::printf("%s: %u more callers refused: %s (the last %s)\n", titleStr, unlogged_, why_,
                    ShowIPv4(last_).c_str());
        unlogged_ = 0;
        quietUntil_ = now + QUIET;
    }
    bool Pending() const { return unlogged_ > 0; }

private:
    static constexpr auto QUIET = std::chrono::seconds(10);
    const char* why_;
    std::chrono::steady_clock::time_point quietUntil_{};
    unsigned unlogged_ = 0;
    std::uint32_t last_ = 0;
};
RefusalLog notAllowed("no entry in the allow file");
RefusalLog tooMany("too many callers waiting");

// Reads the allow file into allowList and logs how many entries it holds;
// on failure logs where and why (then onFailure) and keeps the list it had.
// False on failure.
bool LoadAllowFile(const char* onFailure) {
    const AllowFile file = ReadAllowFile(allowPath);
    if (!file.error.empty()) {
        const std::string line = file.errorLine == 0 ? "" : ":" + std::to_string(file.errorLine);
        std::printf("%s: %s%s: %s%s\n", titleStr, allowPath, line.c_str(), file.error.c_str(),
                    onFailure);
        return false;
    }
    constexpr std::size_t SHOWN = 10; // repeated entries named one by one
    const std::size_t shown = std::min(file.repeats.size(), SHOWN);
    for (const auto& [line, earlier] : std::span(file.repeats).first(shown))
        std::printf("%s: %s:%u: the same address and prefix as line %u, which decides\n", titleStr,
                    allowPath, line, earlier);
    if (file.repeats.size() > SHOWN)
        std::printf("%s: %s: %zu more entries repeat earlier ones\n", titleStr, allowPath,
                    file.repeats.size() - SHOWN);
    allowList = file.entries;
    std::printf("%s: %s: %zu %s\n", titleStr, allowPath, allowList.size(),
                allowList.size() == 1 ? "entry" : allowList.empty() ? "entries, nobody may call"
                                                                     : "entries");
    return true;
}

// The services the allow file grants a caller from address (all without one).
// A caller on an IPX network (a node that is no IPv4 address) is let in only
// by an entry for every address: its MAC address must not pass for a host's.
unsigned ServicesFor(std::uint32_t address, const ipxAddr_t& from) {
    if (allowPath == nullptr)
        return ALL_SERVICES;
    if (from.node[0] == 0 && from.node[1] == 0)
        return AllowedServices(allowList, address);
    const auto all = std::find_if(allowList.begin(), allowList.end(),
                                  [](const AllowEntry& e) { return e.mask == 0; });
    return all == allowList.end() ? 0 : all->services;
}

// The IPv4 address (host order) of a caller's IPX address.
std::uint32_t CallerAddress(const ipxAddr_t& caller) {
    return spx::GetBE32(std::span(caller.node).subspan<2, 4>());
}

// After a connection that could not be served: a pause that grows while the
// failures go on (a quarter of a second, doubling up to eight seconds), so
// that a shortage of ports, descriptors or processes is not made worse.
void PauseAfterFailure(unsigned failures) {
    const unsigned shift = std::min(failures, 6U) - 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(250U << shift));
}

// The accept time as the title shows it: ": " and "%D %r :".
std::string AcceptTime() {
    const std::time_t now = std::time(nullptr);
    std::array<char, 100> timeStr{};
    std::tm local{};
    // The accept time keeps its two-digit year (%D), as the title always had it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(timeStr.data(), timeStr.size(), "%D %r :", &local) == 0)
        timeStr[0] = '\0';
#pragma GCC diagnostic pop
    return std::string(": ") + timeStr.data();
}

// Callers that may wait for a child in all: a quarter of the descriptors
// the listener may hold (a waiting caller holds one), from 16 to 1024.
unsigned WaitingBound() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return 1024;
    return static_cast<unsigned>(std::clamp<rlim_t>(files.rlim_cur / 4, 16, 1024));
}

// Opens a service endpoint and binds it to a socket the provider chooses,
// printing the provider type: the endpoint, or -1 when a step failed
// (reported).
int OpenServiceEndpoint(t_info& spxInfo, struct t_bind& bind, ipxAddr_t& bindAddress) {
    const int spxFd2 = t_open(spxDevice, O_RDWR, &spxInfo);
    if (spxFd2 < 0) {
        std::printf("%s: server open of service stream failed, errno = %d \n", titleStr, errno);
        SpxError(spxFd2);
        return -1;
    }
    // Fixed output, on every pass and without -v: callers count the passes by it.
    std::printf("%s: provider type = %lx \n", titleStr,
                static_cast<unsigned long>(spxInfo.servtype));
    std::memset(bindAddress.sock, 0, sizeof bindAddress.sock);
    bind.addr.maxlen = sizeof bindAddress;
    bind.addr.len = sizeof bindAddress;
    bind.qlen = 0;
    if (t_bind(spxFd2, &bind, &bind) < 0) {
        std::printf("%s: service stream t_bind failed \n", titleStr);
        SpxError(spxFd2);
        t_close(spxFd2);
        return -1;
    }
    return spxFd2;
}

// Loads the account database's modules in the listener, once: each child
// then finds them loaded for its run-as switch instead of loading them anew
// (a noticeable part of a short connection's cost). Nothing is reported.
void LoadAccountModules() {
    const passwd* pw = getpwuid(getuid());
    if (pw == nullptr)
        return;
    const std::string name = pw->pw_name;
    const gid_t gid = pw->pw_gid;
    std::array<gid_t, 32> groups{};
    int count = static_cast<int>(groups.size());
    getgrouplist(name.c_str(), gid, groups.data(), &count);
}

// The listener's end: unbinds and closes the listening endpoint.
int Quit(int spxFd) {
    if (t_unbind(spxFd) < 0) {
        std::printf("%s: t_unbind failed \n", titleStr);
        SpxError(spxFd);
    }
    if (t_close(spxFd) < 0) {
        std::printf("%s: t_close failed \n", titleStr);
        SpxError(spxFd);
        return 1;
    }
    return 0;
}

// In a new child: gives up what is the listener's alone (the endpoints of
// the waiting callers and the spare one, its signal handlers).
void LeaveListener(int spxFd2) {
    for (const WaitingCaller& caller : waiting)
        t_close(caller.fd);
    if (spareFd >= 0 && spareFd != spxFd2)
        t_close(spareFd);
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGALRM, SIG_DFL);
}

} // namespace

bool ScanArgs(int argc, char* argv[], const char* optstr);
bool SpawnChildServiceRequest(int spxFd, int spxFd2);

// Parses -s <hex socket>, -v, -c <children>, -t <seconds>, -p <share> and
// -a <file> into socketToBind, verbose, maxChildren, idleSeconds,
// addressShare and allowPath. False on anything else (an unknown option, a
// value that is not a number, an operand), when the usage text is wanted.
bool ScanArgs(int argc, char* argv[], const char* optstr) {
    opterr = 0;
    int c = 0;
    while ((c = getopt(argc, argv, optstr)) != -1) {
        switch (c) {
        case 's': {
            const auto value = ParseSocket(optarg);
            if (!value)
                return false;
            spx::PutBE16(socketToBind, static_cast<std::uint16_t>(*value));
            break;
        }
        case 'v':
            verbose = 1;
            break;
        case 'c':
        case 'p': {
            const auto value = ParseUnsigned(optarg, 10, 100000);
            if (!value || *value == 0)
                return false;
            (c == 'c' ? maxChildren : addressShare) = static_cast<unsigned>(*value);
            break;
        }
        case 't': {
            const auto value = ParseUnsigned(optarg, 10, 7 * 86400);
            if (!value)
                return false;
            idleSeconds = static_cast<unsigned>(*value);
            break;
        }
        case 'a':
            allowPath = optarg;
            break;
        default:
            return false;
        }
    }
    return optind == argc; // no operands
}

// Forks the child that serves the connection on spxFd2, whose caller
// callerAddress and callerServices describe. Returns in the listener only,
// which gives up its copy of the service endpoint and counts the child
// against the caller's address: true when a child serves the connection,
// false when none could be made (the caller is then told with a disconnect).
bool SpawnChildServiceRequest(int spxFd, int spxFd2) {
    // A pid reaped and given out again meanwhile could not be told apart.
    const ChildSignalHeld held;
    ReconcileChildren();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "%s: fork failed\n", titleStr);
        t_snddis(spxFd2, nullptr);
        t_close(spxFd2);
        return false;
    }
    if (pid == 0) {
        LeaveListener(spxFd2);
        ServeChild(spxFd, spxFd2, idleSeconds);
    }
    liveChildren[pid] = callerAddress;
    ++childrenOf[callerAddress];
    if (t_close(spxFd2) < 0) {
        std::printf("%s: parents t_close of spxFd2 failed \n\t", titleStr);
        t_error("");
    }
    return true;
}

namespace {

unsigned WaitingFrom(std::uint32_t address) {
    return static_cast<unsigned>(std::ranges::count(waiting, address, &WaitingCaller::address));
}

// Closes the endpoints of waiting callers that have gone: their connection
// failed, or their end of it is closed. A caller that waits has sent its
// request and waits for the answer; one that closes has given up, and what
// it sent is never served (a store would empty the file it named). An
// endpoint with news is looked at: on a carrier with timers of its own (IPX)
// that also keeps the waiting connection answering its caller, and shows
// its disconnect.
void DropGoneCallers() {
    std::vector<pollfd> fds;
    for (const WaitingCaller& caller : waiting)
        fds.push_back({caller.fd, POLLIN | POLLRDHUP, 0});
    if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0)
        return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const short ended = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;
        if ((fds[i].revents & ended) != 0 ||
            ((fds[i].revents & POLLIN) != 0 && t_look(waiting[i].fd) == T_DISCONNECT)) {
            t_close(waiting[i].fd);
            waiting[i].fd = -1;
        }
    }
    std::erase_if(waiting, [](const WaitingCaller& caller) { return caller.fd < 0; });
}

// Forks a child for each waiting caller in the order they came, while a
// child slot is free; a caller whose address has its share of children
// keeps its place. Each child's title carries its own caller's accept time.
// Stops at a failed fork: the next try comes after the pause.
void ServeWaitingCallers(int spxFd) {
    DropGoneCallers();
    const std::string title = titleStr;
    const ipxAddr_t caught = clientsAddress; // the caller t_listen gave last, if any
    for (auto it = waiting.begin(); it != waiting.end() && liveChildren.size() < maxChildren;) {
        if (ChildrenOf(it->address) >= addressShare) {
            ++it;
            continue;
        }
        const WaitingCaller caller = *it;
        it = waiting.erase(it);
        callerAddress = caller.address;
        callerServices = ServicesFor(caller.address, caller.ipx);
        if (callerServices == 0) { // the allow file read since it came does not let it in
            t_snddis(caller.fd, nullptr);
            t_close(caller.fd);
            notAllowed.Refused(caller.address);
            continue;
        }
        SetTitle(programName);
        AppendTitle(caller.stamp);
        clientsAddress = caller.ipx;
        failuresInRow = SpawnChildServiceRequest(spxFd, caller.fd) ? 0 : failuresInRow + 1;
        SetTitle(title);
        clientsAddress = caught;
        if (failuresInRow > 0)
            break;
    }
}

// Reads the allow file again when SIGHUP has asked for it.
void ReloadIfAsked() {
    if (reloadAsked == 0)
        return;
    reloadAsked = 0;
    if (allowPath != nullptr)
        LoadAllowFile("; the list read before stays");
}

// Whenever the listener wakes: the allow file read again when asked, ended
// children taken off the table, waiting callers served that now may be,
// counted refusals logged, and a tick kept while anything is to be watched.
void Housekeeping(int spxFd) {
    ReloadIfAsked();
    ReconcileChildren();
    ServeWaitingCallers(spxFd);
    notAllowed.Flush();
    tooMany.Flush();
    KeepTicking(!waiting.empty() || notAllowed.Pending() || tooMany.Pending());
}

enum class Take { Serve, Wait, Fatal };

// Waits in t_listen for the next caller the listener takes: one to serve at
// once, or one to wait for a child (its address in address). Refuses on the
// way, before any accept, callers the allow file does not let in and callers
// that find no place to wait. Fatal when the listening endpoint failed
// (reported).
Take WaitForCaller(int spxFd, t_call& call, const ipxAddr_t& caller, std::uint32_t& address) {
    for (;;) {
        Housekeeping(spxFd);
        if (t_listen(spxFd, &call) < 0) {
            if (t_errno == TSYSERR && errno == EINTR)
                continue; // a signal: see to what it brought
            std::printf("%s: server t_listen failed \n\t", titleStr);
            SpxError(spxFd);
            return Take::Fatal;
        }
        address = CallerAddress(caller);
        ReloadIfAsked(); // a SIGHUP that came just before t_listen went to sleep
        if (ServicesFor(address, caller) == 0) {
            t_snddis(spxFd, &call);
            notAllowed.Refused(address);
            continue;
        }
        ReconcileChildren();
        ServeWaitingCallers(spxFd); // who came first goes first
        if (liveChildren.size() < maxChildren && ChildrenOf(address) < addressShare)
            return Take::Serve;
        DropGoneCallers();
        if (waiting.size() < maxWaiting && WaitingFrom(address) < MAX_WAITING_PER_ADDRESS)
            return Take::Wait;
        t_snddis(spxFd, &call);
        tooMany.Refused(address);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    OpenStandardDescriptors();
    // Whole lines: the listener and its children share both streams, and a
    // line written in pieces could be cut by another process's line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    SetReportStyle(ReportStyle::Server);
    t_errno = 0;
    errno = 0;
    CatchSignals();

    if (argc > 0 && argv[0] != nullptr)
        programName = argv[0];
    SetTitle(programName);
    if (!ScanArgs(argc, argv, "+vs:c:t:p:a:")) {
        Usage();
        return 1;
    }
    if (addressShare == 0)
        addressShare = std::max(1U, maxChildren / 2);
    maxWaiting = WaitingBound();
    if (allowPath != nullptr && !LoadAllowFile(""))
        return 1;

    t_info spxInfo{};
    const int spxFd = t_open(spxDevice, O_RDWR, &spxInfo);
    if (spxFd < 0) {
        std::printf("%s: open of spx %s failed \n", titleStr, spxDevice);
        SpxError(spxFd);
        return -1;
    }

    ipxAddr_t bindAddress{};
    std::memcpy(bindAddress.sock, socketToBind.data(), sizeof bindAddress.sock);
    struct t_bind bind {};
    bind.addr.maxlen = sizeof bindAddress;
    bind.addr.len = sizeof bindAddress;
    bind.addr.buf = reinterpret_cast<char*>(&bindAddress);
    bind.qlen = 1;
    if (t_bind(spxFd, &bind, &bind) < 0) {
        std::printf("%s: first t_bind failed \n", titleStr);
        SpxError(spxFd);
        return -1;
    }
    if (verbose) {
        std::printf("%s: servers local address: ", titleStr);
        ShowIpxAddress(bindAddress, AddressForm::Standard);
    }

    LoadAccountModules();

    SPX_OPTS spxClientsId{};
    struct t_call call {};
    call.addr.maxlen = sizeof clientsAddress;
    call.addr.len = sizeof clientsAddress;
    call.addr.buf = reinterpret_cast<char*>(&clientsAddress);
    call.opt.maxlen = sizeof spxClientsId;
    call.opt.len = sizeof spxClientsId;
    call.opt.buf = reinterpret_cast<char*>(&spxClientsId);

    for (;;) {
        if (failuresInRow > 0)
            PauseAfterFailure(failuresInRow);
        // Made before the caller comes; when that fails, tried again once it has come.
        if (spareFd < 0)
            spareFd = OpenServiceEndpoint(spxInfo, bind, bindAddress);

        SetTitle(programName);
        if (verbose)
            std::printf("%s: server listening on socket %04Xh\n", titleStr,
                        static_cast<unsigned>(spx::GetBE16(socketToBind)));
        // Fixed output, without prefix and without -v, before and after each
        // wait for a caller: the tests and the benchmarks count passes by it.
        std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd, t_getstate(spxFd));
        std::uint32_t address = 0;
        const Take take = WaitForCaller(spxFd, call, clientsAddress, address);
        if (take == Take::Fatal)
            break;
        std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd, t_getstate(spxFd)); // as above
        if (spareFd < 0 && (spareFd = OpenServiceEndpoint(spxInfo, bind, bindAddress)) < 0) {
            t_snddis(spxFd, &call); // no endpoint for this caller either
            ++failuresInRow;
            continue;
        }
        if (t_accept(spxFd, spareFd, &call) < 0) {
            std::printf("%s: server t_accept failed \n", titleStr);
            SpxError(spxFd);
            break;
        }
        const int spxFd2 = std::exchange(spareFd, -1);

        const std::string stamp = AcceptTime();
        AppendTitle(stamp);
        if (verbose) {
            std::printf("%s: clients IPX address: ", titleStr);
            ShowIpxAddress(clientsAddress, AddressForm::Standard);
            std::printf("%s: clients connection number:  %04Xh \n", titleStr,
                        static_cast<unsigned>(spx::GetBE16(spxClientsId.spx_connectionID)));
            std::printf("%s: clients allocation number:  %04Xh \n", titleStr,
                        static_cast<unsigned>(spx::GetBE16(spxClientsId.spx_allocationNumber)));
        }
        if (take == Take::Wait) {
            waiting.push_back({spxFd2, address, clientsAddress, stamp});
            continue;
        }
        callerAddress = address;
        callerServices = ServicesFor(address, clientsAddress);
        failuresInRow = SpawnChildServiceRequest(spxFd, spxFd2) ? 0 : failuresInRow + 1;
    }
    return Quit(spxFd);
}
