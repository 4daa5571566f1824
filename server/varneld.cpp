// varneld: the SPX service daemon.
//
// The listener binds one SPX socket and takes callers one after another:
// each is accepted onto a fresh service endpoint and served by a child of
// its own, which reads one request, dispatches on its command code and
// exits. A child's end (SIGCHLD) wakes the listener, which reaps it and
// knows the address each child serves. A caller that finds every child slot
// taken (-c), or its address at its share of them (-p), is accepted all the
// same and waits in the listener, in the order callers came, until a child
// can be forked for it; a signal (a child's end, a tick while callers wait
// or children live) wakes the listener from t_listen for that. While its
// room for waiting callers is full the listener does not listen: further
// callers wait, unanswered, in the provider's and the kernel's queues. An
// allow file (-a, read again on SIGHUP) says who may call and for what. A
// caller that cannot be served at once (no endpoint, no process) is
// refused, a waiting one for whom no child can be forked keeps its place,
// and the listener pauses before it goes on; only a failure of the
// listening endpoint itself ends it.
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
#include <cerrno>
#include <chrono>
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

// What the command line sets.
struct Options {
    // Socket of the listening endpoint, in network byte order (0x45, 0x00).
    std::array<unsigned char, 2> socketToBind{0x45, 0x00};
    // Service children at once at most (-c), of them for callers of one
    // address (-p; 0: half of -c, at least 1), and how long a child waits
    // for a quiet caller once the request is in (-t, seconds; 0: no limit).
    unsigned maxChildren = 100;
    unsigned addressShare = 0;
    unsigned idleSeconds = 0;
    // The allow file (-a; null: everyone may use everything).
    const char* allowPath = nullptr;
};

// What the signal handlers note for the listener's loop: a child has ended
// (SIGCHLD), the allow file is to be read again (SIGHUP).
volatile std::sig_atomic_t childEnded = 0;
volatile std::sig_atomic_t reloadAsked = 0;

// A caller accepted while no child could be forked for it.
struct WaitingCaller {
    int fd = -1;               // its service endpoint
    std::uint32_t address = 0; // IPv4, host order
    ipxAddr_t ipx{};           // its address as t_listen gave it, for its child's lines
    std::string stamp;         // its accept time, as the title shows it
};

// The usage text. Its first lines are fixed output (the odd unclosed
// parenthesis included): scripts and the manual page's check read them.
void Usage() {
    std::printf("%s usage: %s", titleStr, titleStr);
    std::printf(" [-s<socket>] [-v] [-c<children>] [-t<seconds>] [-p<share>] [-a<file>]\n");
    std::printf("       socket:    local socket number (0x4000 - 0x5000\n");
    std::printf("       -v : verbose \n");
    std::printf("       children:  service children at once at most (100)\n");
    std::printf("       seconds:   a quiet caller may keep a child waiting (0: no limit)\n");
    std::printf("       share:     children at once for callers of one address (children/2)\n");
    std::printf("       file:      allow file: who may call, and for which services\n");
}

void ChildEnded(int) {
    childEnded = 1;
}

void ReloadAsked(int) {
    reloadAsked = 1;
}

void Tick(int) {} // only wakes the listener

// The listener's signals: a child's end and SIGHUP noted, SIGALRM ticks;
// each wakes t_listen. None is blocked.
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
        Report(stdout, "caller %s refused: %s\n", ShowIPv4(address).c_str(), why_);
        quietUntil_ = now + QUIET;
    }
    // Logs the refusals counted once their ten seconds have passed.
    void Flush() {
        const auto now = std::chrono::steady_clock::now();
        if (unlogged_ == 0 || now < quietUntil_)
            return;
        Report(stdout, "%u more callers refused: %s (the last %s)\n", unlogged_, why_,
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
// The IPv4 address (host order) of a caller's IPX address.
std::uint32_t CallerAddress(const ipxAddr_t& caller) {
    return spx::GetBE32(std::span(caller.node).subspan<2, 4>());
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

// Opens a service endpoint and binds it to a socket the provider chooses,
// printing the provider type: the endpoint, or -1 when a step failed
// (reported).
int OpenServiceEndpoint(t_info& spxInfo, struct t_bind& bind, ipxAddr_t& bindAddress) {
    const int spxFd2 = t_open(spxDevice, O_RDWR, &spxInfo);
    if (spxFd2 < 0) {
        Report(stdout, "server open of service stream failed, errno = %d \n", errno);
        SpxError(spxFd2);
        return -1;
    }
    // Fixed output, on every pass and without -v: callers count the passes by it.
    Report(stdout, "provider type = %lx \n", static_cast<unsigned long>(spxInfo.servtype));
    std::memset(bindAddress.sock, 0, sizeof bindAddress.sock);
    bind.addr.maxlen = sizeof bindAddress;
    bind.addr.len = sizeof bindAddress;
    bind.qlen = 0;
    if (t_bind(spxFd2, &bind, &bind) < 0) {
        Report(stdout, "service stream t_bind failed \n");
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

// Parses -s <hex socket>, -v, -c <children>, -t <seconds>, -p <share> and
// -a <file> into options and verbose. False on anything else (an unknown
// option, a value that is not a number, an operand), when the usage text is
// wanted.
bool ScanArgs(int argc, char* argv[], Options& options) {
    opterr = 0;
    int c = 0;
    while ((c = getopt(argc, argv, "+vs:c:t:p:a:")) != -1) {
        switch (c) {
        case 's': {
            const auto value = ParseSocket(optarg);
            if (!value)
                return false;
            spx::PutBE16(options.socketToBind, static_cast<std::uint16_t>(*value));
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
            (c == 'c' ? options.maxChildren : options.addressShare) = static_cast<unsigned>(*value);
            break;
        }
        case 't': {
            const auto value = ParseUnsigned(optarg, 10, 7 * 86400);
            if (!value)
                return false;
            options.idleSeconds = static_cast<unsigned>(*value);
            break;
        }
        case 'a':
            options.allowPath = optarg;
            break;
        default:
            return false;
        }
    }
    return optind == argc; // no operands
}

enum class Take { Serve, Wait, Fatal };

// The listener: its options, its listening endpoint, the children it has
// and the callers that wait for one. Its steps return true when done and
// false once the failure is reported; the endpoints it opens are
// descriptors, -1 when none could be made (reported).
class Listener {
  public:
    Listener(const Options& options, std::string_view programName);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Reads the allow file into allowList_ and logs how many entries it
    // holds; on failure logs where and why (then onFailure) and keeps the
    // list it had.
    bool LoadAllowFile(const char* onFailure);
    // Opens and binds the listening endpoint. Its address with -v.
    bool Open();
    // One pass: a caller taken, then served, put to wait or refused. False
    // when the listening endpoint failed (reported).
    bool Pass();
    // The listener's end: unbinds and closes the listening endpoint. The
    // exit status.
    int Quit();

  private:
    unsigned WaitingBound();
    unsigned ServicesFor(std::uint32_t address, const ipxAddr_t& from) const;
    unsigned ChildrenOf(std::uint32_t address) const;
    void ForgetChild(pid_t pid);
    void ReapChildren();
    void CountFailure();
    bool SpawnChild(int spxFd2, const CallerRecord& who);
    void LeaveListener(int spxFd2);
    void DropGoneCallers();
    void ServeWaitingCallers();
    void KeepTicking(bool on);
    void ReloadIfAsked();
    void Housekeeping();
    Take WaitForCaller(std::uint32_t& address);
    void ShowCaller() const;

    const Options options_;
    const std::string_view programName_; // for resetting titleStr on every pass
    std::vector<AllowEntry> allowList_;  // the allow file's entries
    rlimit startFiles_{}; // the descriptor limit the daemon was started with, for children
    unsigned maxWaiting_; // callers waiting for a child at most (each holds a descriptor)

    // The listening endpoint, its address and the caller t_listen gives.
    int spxFd_ = -1;
    t_info spxInfo_{};
    ipxAddr_t bindAddress_{};
    struct t_bind bind_ {};
    ipxAddr_t clientsAddress_{};
    SPX_OPTS spxClientsId_{};
    struct t_call call_ {};

    // The service endpoint made ready for the next caller, -1 when none is.
    int spareFd_ = -1;
    // Callers in a row that could not be served (no endpoint, no process),
    // and when the next try may come.
    unsigned failuresInRow_ = 0;
    std::chrono::steady_clock::time_point retryAt_{};

    // The children not yet reaped, by pid: the address of the caller each
    // serves; and how many each address has.
    std::unordered_map<pid_t, std::uint32_t> liveChildren_;
    std::unordered_map<std::uint32_t, unsigned> childrenOf_;
    std::deque<WaitingCaller> waiting_;
    RefusalLog notAllowed_{"no entry in the allow file"};
    bool ticking_ = false; // SIGALRM every second
};

Listener::Listener(const Options& options, std::string_view programName)
    : options_(options), programName_(programName), maxWaiting_(WaitingBound()) {}

bool Listener::LoadAllowFile(const char* onFailure) {
    const AllowFile file = ReadAllowFile(options_.allowPath);
    if (!file.error.empty()) {
        const std::string line = file.errorLine == 0 ? "" : ":" + std::to_string(file.errorLine);
        Report(stdout, "%s%s: %s%s\n", options_.allowPath, line.c_str(), file.error.c_str(),
               onFailure);
        return false;
    }
    constexpr std::size_t SHOWN = 10; // repeated entries named one by one
    const std::size_t shown = std::min(file.repeats.size(), SHOWN);
    for (const auto& [line, earlier] : std::span(file.repeats).first(shown))
        Report(stdout, "%s:%u: the same address and prefix as line %u, which decides\n",
               options_.allowPath, line, earlier);
    if (file.repeats.size() > SHOWN)
        Report(stdout, "%s: %zu more entries repeat earlier ones\n", options_.allowPath,
               file.repeats.size() - SHOWN);
    allowList_ = file.entries;
    Report(stdout, "%s: %zu %s\n", options_.allowPath, allowList_.size(),
           allowList_.size() == 1 ? "entry"
           : allowList_.empty()   ? "entries, nobody may call"
                                  : "entries");
    return true;
}

// The services the allow file grants a caller from address (all without one).
// A caller on an IPX network (a node that is no IPv4 address) is let in only
// by an entry for every address: its MAC address must not pass for a host's.
unsigned Listener::ServicesFor(std::uint32_t address, const ipxAddr_t& from) const {
    if (options_.allowPath == nullptr)
        return ALL_SERVICES;
    if (from.node[0] == 0 && from.node[1] == 0)
        return AllowedServices(allowList_, address);
    const auto all = std::find_if(allowList_.begin(), allowList_.end(),
                                  [](const AllowEntry& e) { return e.mask == 0; });
    return all == allowList_.end() ? 0 : all->services;
}

unsigned Listener::ChildrenOf(std::uint32_t address) const {
    const auto it = childrenOf_.find(address);
    return it == childrenOf_.end() ? 0 : it->second;
}

void Listener::ForgetChild(pid_t pid) {
    const auto it = liveChildren_.find(pid);
    if (it == liveChildren_.end())
        return;
    if (--childrenOf_[it->second] == 0)
        childrenOf_.erase(it->second);
    liveChildren_.erase(it);
}

// Reaps the children that have ended, once SIGCHLD has said some did, and
// takes them off the table; counts those that ended because their switch to
// the run-as account could not be proven.
void Listener::ReapChildren() {
    if (childEnded == 0)
        return;
    childEnded = 0; // before the reaping: an end that comes meanwhile is seen next time
    unsigned unproven = 0;
    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == EXIT_UNPROVEN)
            ++unproven;
        ForgetChild(pid);
    }
    if (pid < 0 && errno != ECHILD)
        Report(stdout, "reaping children failed: %s\n", std::strerror(errno));
    // Reported here, by the listener: the child itself ends without a word.
    if (unproven != 0)
        Report(stdout,
               "%u children ended: their switch to the run-as account could not be "
               "proven\n",
               unproven);
}

// A connection could not be served: the next try comes after a pause that
// grows while the failures go on (a quarter of a second, doubling up to
// eight seconds), so that a shortage of ports, descriptors or processes is
// not made worse.
void Listener::CountFailure() {
    const unsigned shift = std::min(++failuresInRow_, 6U) - 1;
    retryAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(250U << shift);
}

// Raises the listener's descriptor limit to the hard limit (the provider
// holds one for each caller in its handshake and queue, the listener one
// for each waiting caller), keeping the one it started with for children.
// Then the callers that may wait for a child in all: a quarter of the
// descriptors, from 16 to 1024.
unsigned Listener::WaitingBound() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return 16;
    startFiles_ = files;
    files.rlim_cur = files.rlim_max;
    if (files.rlim_cur != startFiles_.rlim_cur && setrlimit(RLIMIT_NOFILE, &files) != 0)
        files = startFiles_;
    if (files.rlim_cur == RLIM_INFINITY)
        return 1024;
    return static_cast<unsigned>(std::clamp<rlim_t>(files.rlim_cur / 4, 16, 1024));
}

// In a new child: gives up what is the listener's alone (the endpoints of
// the waiting callers but its own and the spare one, its signal handlers,
// its descriptor limit).
void Listener::LeaveListener(int spxFd2) {
    for (const WaitingCaller& caller : waiting_)
        if (caller.fd != spxFd2)
            t_close(caller.fd);
    if (spareFd_ >= 0 && spareFd_ != spxFd2)
        t_close(spareFd_);
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGALRM, SIG_DFL);
    setrlimit(RLIMIT_NOFILE, &startFiles_);
}

// Forks the child that serves the connection on spxFd2 of the caller who.
// Returns in the listener only, which gives up its copy of the service
// endpoint and counts the child against the caller's address: true when a
// child serves the connection, false when none could be forked (reported;
// the endpoint stays the listener's, for a refusal or another try).
bool Listener::SpawnChild(int spxFd2, const CallerRecord& who) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        Report(stderr, "fork failed\n");
        return false;
    }
    if (pid == 0) {
        LeaveListener(spxFd2);
        ServeChild(spxFd_, spxFd2, who, options_.idleSeconds);
    }
    liveChildren_[pid] = who.address;
    ++childrenOf_[who.address];
    if (t_close(spxFd2) < 0) {
        Report(stdout, "parents t_close of spxFd2 failed \n\t");
        t_error("");
    }
    return true;
}

// Closes the endpoints of waiting callers that have gone: their connection
// failed, or their end of it is closed. A caller that waits has sent its
// request and waits for the answer; one that closes has given up, and what
// it sent is never served (a store would empty the file it named). On every
// carrier an ended connection hangs the descriptor up.
void Listener::DropGoneCallers() {
    std::vector<pollfd> fds;
    for (const WaitingCaller& caller : waiting_)
        fds.push_back({caller.fd, POLLRDHUP, 0});
    if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0)
        return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const short ended = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;
        if ((fds[i].revents & ended) != 0) {
            t_close(waiting_[i].fd);
            waiting_[i].fd = -1;
        }
    }
    std::erase_if(waiting_, [](const WaitingCaller& caller) { return caller.fd < 0; });
}

// Forks a child for each waiting caller in the order they came, while a
// child slot is free; a caller whose address has its share of children
// keeps its place. Each child's title carries its own caller's accept time.
// A caller for whom no child can be forked keeps its place too, and the
// next try comes after the pause.
void Listener::ServeWaitingCallers() {
    DropGoneCallers();
    if (failuresInRow_ > 0 && std::chrono::steady_clock::now() < retryAt_)
        return;
    for (auto it = waiting_.begin();
         it != waiting_.end() && liveChildren_.size() < options_.maxChildren;) {
        if (ChildrenOf(it->address) >= options_.addressShare) {
            ++it;
            continue;
        }
        const CallerRecord who{it->ipx, it->address, ServicesFor(it->address, it->ipx)};
        if (who.services == 0) { // the allow file read since it came does not let it in
            t_snddis(it->fd, nullptr);
            t_close(it->fd);
            notAllowed_.Refused(it->address);
            it = waiting_.erase(it);
            continue;
        }
        SetTitle(programName_); // the listener speaks for this caller until the fork
        AppendTitle(it->stamp);
        const bool forked = SpawnChild(it->fd, who);
        SetTitle(programName_);
        if (!forked) {
            CountFailure();
            break;
        }
        failuresInRow_ = 0;
        it = waiting_.erase(it);
    }
}

// A tick every second while on: a child that ended, or a caller that left,
// just before the listener went back to t_listen is seen within a second.
void Listener::KeepTicking(bool on) {
    if (on == ticking_)
        return;
    itimerval every{};
    if (on)
        every.it_interval = every.it_value = {1, 0};
    setitimer(ITIMER_REAL, &every, nullptr);
    ticking_ = on;
}

// Reads the allow file again when SIGHUP has asked for it.
void Listener::ReloadIfAsked() {
    if (reloadAsked == 0)
        return;
    reloadAsked = 0;
    if (options_.allowPath != nullptr)
        LoadAllowFile("; the list read before stays");
}

// Whenever the listener wakes: the allow file read again when asked, ended
// children reaped, waiting callers served that now may be, counted
// refusals logged, and a tick kept while anything is to be watched.
void Listener::Housekeeping() {
    ReloadIfAsked();
    ReapChildren();
    ServeWaitingCallers();
    notAllowed_.Flush();
    KeepTicking(!waiting_.empty() || notAllowed_.Pending() || !liveChildren_.empty());
}

// Waits in t_listen for the next caller the listener takes: one to serve at
// once, or one to wait for a child (its address in address). Refuses on the
// way, before any accept, callers the allow file does not let in. While
// every place to wait is taken it does not listen: callers wait in the
// provider's and the kernel's queues until a place is free. Fatal when the
// listening endpoint failed (reported).
Take Listener::WaitForCaller(std::uint32_t& address) {
    for (;;) {
        Housekeeping();
        if (waiting_.size() >= maxWaiting_) {
            poll(nullptr, 0, 1000); // until a signal (a child's end, the tick)
            continue;
        }
        if (t_listen(spxFd_, &call_) < 0) {
            if (t_errno == TSYSERR && errno == EINTR)
                continue; // a signal: see to what it brought
            Report(stdout, "server t_listen failed \n\t");
            SpxError(spxFd_);
            return Take::Fatal;
        }
        address = CallerAddress(clientsAddress_);
        ReloadIfAsked(); // a SIGHUP that came just before t_listen went to sleep
        if (ServicesFor(address, clientsAddress_) == 0) {
            t_snddis(spxFd_, &call_);
            notAllowed_.Refused(address);
            continue;
        }
        ReapChildren();
        ServeWaitingCallers(); // who came first goes first
        const bool now = liveChildren_.size() < options_.maxChildren &&
                         ChildrenOf(address) < options_.addressShare;
        return now ? Take::Serve : Take::Wait;
    }
}

// The verbose block of an accepted caller: its address and its ids.
void Listener::ShowCaller() const {
    Report(stdout, "clients IPX address: ");
    ShowIpxAddress(clientsAddress_, AddressForm::Standard);
    Report(stdout, "clients connection number:  %04Xh \n",
           static_cast<unsigned>(spx::GetBE16(spxClientsId_.spx_connectionID)));
    Report(stdout, "clients allocation number:  %04Xh \n",
           static_cast<unsigned>(spx::GetBE16(spxClientsId_.spx_allocationNumber)));
}

bool Listener::Open() {
    spxFd_ = t_open(spxDevice, O_RDWR, &spxInfo_);
    if (spxFd_ < 0) {
        Report(stdout, "open of spx %s failed \n", spxDevice);
        SpxError(spxFd_);
        return false;
    }
    std::memcpy(bindAddress_.sock, options_.socketToBind.data(), sizeof bindAddress_.sock);
    bind_.addr.maxlen = sizeof bindAddress_;
    bind_.addr.len = sizeof bindAddress_;
    bind_.addr.buf = reinterpret_cast<char*>(&bindAddress_);
    bind_.qlen = 1;
    if (t_bind(spxFd_, &bind_, &bind_) < 0) {
        Report(stdout, "first t_bind failed \n");
        SpxError(spxFd_);
        return false;
    }
    if (verbose) {
        Report(stdout, "servers local address: ");
        ShowIpxAddress(bindAddress_, AddressForm::Standard);
    }
    call_.addr.maxlen = sizeof clientsAddress_;
    call_.addr.len = sizeof clientsAddress_;
    call_.addr.buf = reinterpret_cast<char*>(&clientsAddress_);
    call_.opt.maxlen = sizeof spxClientsId_;
    call_.opt.len = sizeof spxClientsId_;
    call_.opt.buf = reinterpret_cast<char*>(&spxClientsId_);
    return true;
}

bool Listener::Pass() {
    if (failuresInRow_ > 0)
        std::this_thread::sleep_until(retryAt_);
    // Made before the caller comes; when that fails, tried again once it has come.
    if (spareFd_ < 0)
        spareFd_ = OpenServiceEndpoint(spxInfo_, bind_, bindAddress_);

    SetTitle(programName_);
    if (verbose)
        Report(stdout, "server listening on socket %04Xh\n",
               static_cast<unsigned>(spx::GetBE16(options_.socketToBind)));
    // Fixed output, without prefix and without -v, before and after each
    // wait for a caller: the tests and the benchmarks count passes by it.
    std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd_, t_getstate(spxFd_));
    std::uint32_t address = 0;
    const Take take = WaitForCaller(address);
    if (take == Take::Fatal)
        return false;
    std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd_, t_getstate(spxFd_)); // as above
    if (spareFd_ < 0 && (spareFd_ = OpenServiceEndpoint(spxInfo_, bind_, bindAddress_)) < 0) {
        t_snddis(spxFd_, &call_); // no endpoint for this caller either
        CountFailure();
        return true;
    }
    if (t_accept(spxFd_, spareFd_, &call_) < 0) {
        Report(stdout, "server t_accept failed \n");
        SpxError(spxFd_);
        return false;
    }
    const int spxFd2 = std::exchange(spareFd_, -1);

    const std::string stamp = AcceptTime();
    AppendTitle(stamp);
    if (verbose)
        ShowCaller();
    if (take == Take::Wait) {
        waiting_.push_back({spxFd2, address, clientsAddress_, stamp});
        return true;
    }
    if (SpawnChild(spxFd2, {clientsAddress_, address, ServicesFor(address, clientsAddress_)})) {
        failuresInRow_ = 0;
        return true;
    }
    t_snddis(spxFd2, nullptr); // no process for this caller
    t_close(spxFd2);
    CountFailure();
    return true;
}

int Listener::Quit() {
    if (t_unbind(spxFd_) < 0) {
        Report(stdout, "t_unbind failed \n");
        SpxError(spxFd_);
    }
    if (t_close(spxFd_) < 0) {
        Report(stdout, "t_close failed \n");
        SpxError(spxFd_);
        return 1;
    }
    return 0;
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

    const std::string_view programName = argc > 0 && argv[0] != nullptr ? argv[0] : "varneld";
    SetTitle(programName);
    Options options;
    if (!ScanArgs(argc, argv, options)) {
        Usage();
        return 1;
    }
    if (options.addressShare == 0)
        options.addressShare = std::max(1U, options.maxChildren / 2);
    Listener listener(options, programName);
    if (options.allowPath != nullptr && !listener.LoadAllowFile(""))
        return 1;
    if (!listener.Open())
        return -1;
    LoadAccountModules();
    while (listener.Pass()) {
    }
    return listener.Quit();
}
