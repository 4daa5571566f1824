// varneld: the SPX service daemon.
//
// The listener binds one SPX socket and takes callers one after another:
// each is accepted onto a fresh service endpoint and served by a child of
// its own, which reads one request, dispatches on its command code and
// exits. A child's end (SIGCHLD) wakes the listener, which reaps it and
// knows the address each child serves: an IPv4 address, or an IPX network
// and node. A caller that finds every child slot taken (-c), or its address
// at its share of them (-p), is accepted all the same and waits in the
// listener, in the order callers came, until a child can be forked for it;
// a signal (a child's end, a tick while callers wait or children live)
// wakes the listener from t_listen for that. The waiting room is bounded by
// the descriptors the waiting callers really hold; while it is full, the
// address that holds most gives way to a caller of one that holds less, and
// its own further callers are refused. An allow file (-a, read again on
// SIGHUP) says who may call and for what. A caller that cannot be served
// (its connection not accepted, no endpoint, no process) is refused with
// one line, a waiting one for whom no child can be forked keeps its place,
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
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <spx/byteorder.h>
#include <spx/ipx.h>
#include <spx/tiuser.h>

#include "address.h"
#include "allow.h"
#include "cause.h"
#include "child.h"
#include "identity.h"
#include "io.h"
#include "numbers.h"
#include "path.h"
#include "policy.h"
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

// The cause of the transport call that just failed, as one line's end:
// the transport's text, and the system's for a system error.
std::string TransportCause() {
    const int err = errno;
    std::string cause = t_strerror(t_errno);
    if (t_errno == TSYSERR)
        cause += std::string(": ") + std::strerror(err);
    return cause;
}

// Opens a service endpoint and binds it to a socket the provider chooses,
// printing the provider type: the endpoint, or -1 when a step failed, with
// the failure reported when report is set, and its cause in cause.
int OpenServiceEndpoint(t_info& spxInfo, struct t_bind& bind, ipxAddr_t& bindAddress, bool report,
                        std::string& cause) {
    const int spxFd2 = t_open(spxDevice, O_RDWR, &spxInfo);
    if (spxFd2 < 0) {
        cause = TransportCause();
        if (report) {
            Report(stdout, "server open of service stream failed, errno = %d \n", errno);
            SpxError(spxFd2);
        }
        return -1;
    }
    // Fixed output, on every pass and without -v: callers count the passes by it.
    Report(stdout, "provider type = %lx \n", static_cast<unsigned long>(spxInfo.servtype));
    std::memset(bindAddress.sock, 0, sizeof bindAddress.sock);
    bind.addr.maxlen = sizeof bindAddress;
    bind.addr.len = sizeof bindAddress;
    bind.qlen = 0;
    if (t_bind(spxFd2, &bind, &bind) < 0) {
        cause = TransportCause();
        if (report) {
            Report(stdout, "service stream t_bind failed \n");
            SpxError(spxFd2);
        }
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

// Descriptors kept free beyond those of the waiting callers: for the
// next caller's endpoint (an IPX endpoint held in this process takes
// several), the allow file, the provider's callers in their handshake.
constexpr std::size_t DESCRIPTOR_RESERVE = 32;
// Callers that may wait for a child at most.
constexpr std::size_t MAX_WAITING = 1024;

// The descriptors this process holds now, when /proc says.
std::optional<std::size_t> OpenDescriptors() {
    std::error_code e;
    std::filesystem::directory_iterator fds("/proc/self/fd", e);
    if (e)
        return std::nullopt;
    const auto n = static_cast<std::size_t>(std::distance(fds, {}));
    return n > 0 ? n - 1 : 0; // less the one the listing itself holds
}

enum class Take { Serve, Wait, Refused, Fatal };

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
    std::size_t RaiseDescriptorLimit();
    bool RoomFull() const;
    unsigned ServicesFor(const ipxAddr_t& from) const;
    void Logged(const std::optional<std::string>& line);
    void ReapChildren();
    bool SpawnChild(int spxFd2, const CallerRecord& who);
    void LeaveListener(int spxFd2);
    void DropGoneCallers();
    void DropWaiting(std::size_t place, RefusalLog& log);
    void ServeWaitingCallers();
    void KeepTicking(bool on);
    void ReloadIfAsked();
    void Housekeeping();
    Take WaitForCaller();
    Take Admit();
    Take RefuseAtDoor(RefusalLog& log, const std::string& detail);
    bool NotServed(RefusalLog& log, const std::string& detail);
    bool AcceptFailed();
    void ShowCaller(int spxFd2) const;

    const Options options_;
    const std::string_view programName_; // for resetting titleStr on every pass
    std::vector<AllowEntry> allowList_;  // the allow file's entries
    rlimit startFiles_{}; // the descriptor limit the daemon was started with, for children
    rlimit files_{};      // the listener's own, raised

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
    Backoff backoff_;
    ChildTable children_;
    WaitingRoom room_;
    RefusalLog notAllowed_{"no entry in the allow file"};
    RefusalLog roomFull_{"the waiting room is full"};
    RefusalLog notAccepted_{"not accepted"};
    bool ticking_ = false; // SIGALRM every second
};

Listener::Listener(const Options& options, std::string_view programName)
    : options_(options), programName_(programName), room_(RaiseDescriptorLimit()) {}

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
    if (const unsigned line = EveryIPv4Only(file.entries))
        Report(stdout,
               "%s:%u: 0.0.0.0/0 lets in every IPv4 host and no IPX caller; an IPX network "
               "is written 0000ABCD, one of its nodes 0000ABCD:020000000002\n",
               options_.allowPath, line);
    allowList_ = file.entries;
    Report(stdout, "%s: %zu %s\n", options_.allowPath, allowList_.size(),
           allowList_.size() == 1 ? "entry"
           : allowList_.empty()   ? "entries, nobody may call"
                                  : "entries");
    return true;
}

// The services the allow file grants a caller from address (all without one).
unsigned Listener::ServicesFor(const ipxAddr_t& from) const {
    return options_.allowPath == nullptr ? ALL_SERVICES
                                         : AllowedServices(allowList_, CallerKey(from));
}

void Listener::Logged(const std::optional<std::string>& line) {
    if (line)
        Report(stdout, "%s", line->c_str());
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
        children_.Remove(pid);
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

// Raises the listener's descriptor limit to the hard limit (the provider
// holds descriptors for the callers in its handshake and queue, the
// listener those of each waiting caller), keeping the one it started with
// for children. Then the places of the waiting room: as many callers as
// the descriptors could hold at one each, at most MAX_WAITING; what the
// waiting callers really hold is counted while they come (RoomFull).
std::size_t Listener::RaiseDescriptorLimit() {
    if (getrlimit(RLIMIT_NOFILE, &files_) != 0)
        return 16;
    startFiles_ = files_;
    files_.rlim_cur = files_.rlim_max;
    if (files_.rlim_cur != startFiles_.rlim_cur && setrlimit(RLIMIT_NOFILE, &files_) != 0)
        files_ = startFiles_;
    if (files_.rlim_cur <= DESCRIPTOR_RESERVE + 16)
        return 16;
    return std::min<rlim_t>(files_.rlim_cur - DESCRIPTOR_RESERVE, MAX_WAITING);
}

// Whether the waiting room takes no caller more: its places are taken, or
// fewer than DESCRIPTOR_RESERVE descriptors are free.
bool Listener::RoomFull() const {
    if (room_.Full())
        return true;
    const auto open = OpenDescriptors();
    return open && files_.rlim_cur != RLIM_INFINITY && *open + DESCRIPTOR_RESERVE > files_.rlim_cur;
}

// In a new child: gives up what is the listener's alone (the endpoints of
// the waiting callers but its own and the spare one, its signal handlers,
// its descriptor limit).
void Listener::LeaveListener(int spxFd2) {
    for (const WaitingCaller& caller : room_.Callers())
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
    children_.Add(pid, CallerKey(who.ipx));
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
    auto& waiting = room_.Callers();
    std::vector<pollfd> fds;
    for (const WaitingCaller& caller : waiting)
        fds.push_back({caller.fd, POLLRDHUP, 0});
    if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0)
        return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const short ended = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;
        if ((fds[i].revents & ended) != 0) {
            t_close(waiting[i].fd);
            waiting[i].fd = -1;
        }
    }
    std::erase_if(waiting, [](const WaitingCaller& caller) { return caller.fd < 0; });
}

// Refuses the waiting caller at place with the abortive disconnect, logs it
// in log and gives up its place.
void Listener::DropWaiting(std::size_t place, RefusalLog& log) {
    auto& waiting = room_.Callers();
    t_snddis(waiting[place].fd, nullptr);
    t_close(waiting[place].fd);
    Logged(log.Refused(ShowAddress(waiting[place].ipx), "", PolicyClock::now()));
    waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(place));
}

// Forks a child for each waiting caller in the order they came, while a
// child slot is free; a caller whose address has its share of children
// keeps its place. Each child's title carries its own caller's accept time.
// A caller for whom no child can be forked keeps its place too, and the
// next try comes after the pause.
void Listener::ServeWaitingCallers() {
    DropGoneCallers();
    auto& waiting = room_.Callers();
    for (;;) {
        const auto now = PolicyClock::now();
        const auto next = room_.Next(children_, options_.maxChildren, options_.addressShare);
        if (!next || backoff_.Paused(now))
            return;
        const WaitingCaller& caller = waiting[*next];
        const CallerRecord who{caller.ipx, ServicesFor(caller.ipx)};
        if (who.services == 0) { // the allow file read since it came does not let it in
            DropWaiting(*next, notAllowed_);
            continue;
        }
        SetTitle(programName_); // the listener speaks for this caller until the fork
        AppendTitle(caller.stamp);
        const bool forked = SpawnChild(caller.fd, who);
        SetTitle(programName_);
        if (!forked) {
            backoff_.Failed(now);
            return;
        }
        backoff_.Succeeded();
        waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(*next));
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
    bool pending = false;
    for (RefusalLog* log : {&notAllowed_, &roomFull_, &notAccepted_}) {
        Logged(log->Flush(PolicyClock::now()));
        pending = pending || log->Pending();
    }
    KeepTicking(room_.Size() > 0 || pending || children_.Size() > 0);
}

// Waits in t_listen for the next caller the listener takes: one to serve at
// once, or one to wait for a child. Refuses on the way, before any accept,
// the callers Admit turns away. Fatal when the listening endpoint failed
// (reported).
Take Listener::WaitForCaller() {
    for (;;) {
        Housekeeping();
        if (t_listen(spxFd_, &call_) < 0) {
            if (t_errno == TSYSERR && errno == EINTR)
                continue; // a signal: see to what it brought
            Report(stdout, "server t_listen failed \n\t");
            SpxError(spxFd_);
            return Take::Fatal;
        }
        ReloadIfAsked(); // a SIGHUP that came just before t_listen went to sleep
        if (const Take take = Admit(); take != Take::Refused)
            return take;
    }
}

// What becomes of the caller t_listen has just given: refused when the
// allow file does not let it in; served at once when a child slot is free
// and its address is below its share; else it waits. With the waiting room
// full, the address that holds most gives way to one that holds less (its
// newest waiting caller is refused), and a caller of that address itself
// is refused.
Take Listener::Admit() {
    if (ServicesFor(clientsAddress_) == 0)
        return RefuseAtDoor(notAllowed_, "");
    ReapChildren();
    ServeWaitingCallers(); // who came first goes first
    const CallerKey key(clientsAddress_);
    if (children_.Size() < options_.maxChildren && children_.Of(key) < options_.addressShare)
        return Take::Serve;
    if (!RoomFull())
        return Take::Wait;
    const auto givesWay = room_.GivesWay(key, children_);
    if (!givesWay)
        return RefuseAtDoor(roomFull_, "");
    DropWaiting(*givesWay, roomFull_);
    return Take::Wait;
}

// Refuses the caller t_listen gave, before any accept, and logs it in log.
Take Listener::RefuseAtDoor(RefusalLog& log, const std::string& detail) {
    t_snddis(spxFd_, &call_);
    Logged(log.Refused(ShowAddress(clientsAddress_), detail, PolicyClock::now()));
    return Take::Refused;
}

// A caller that could not be served for want of something (an endpoint, a
// process): refused, logged in log, and the next try after the pause.
bool Listener::NotServed(RefusalLog& log, const std::string& detail) {
    RefuseAtDoor(log, detail);
    backoff_.Failed(PolicyClock::now());
    return true;
}

// A failed t_accept: the caller's (a request the provider cannot take, a
// shortage) unless the listening endpoint itself has failed, which ends
// the listener (reported). The caller is refused, and the service endpoint
// made anew for the next.
bool Listener::AcceptFailed() {
    const int acceptErrno = errno, acceptTerrno = t_errno;
    const std::string cause = TransportCause();
    t_snddis(spxFd_, &call_);
    if (t_getstate(spxFd_) < 0) {
        Report(stdout, "server t_accept failed \n");
        errno = acceptErrno;
        t_errno = acceptTerrno;
        SpxError(spxFd_);
        return false;
    }
    t_close(std::exchange(spareFd_, -1)); // whatever the failure left of it: a fresh one next
    Logged(notAccepted_.Refused(ShowAddress(clientsAddress_), ": t_accept failed: " + cause,
                                PolicyClock::now()));
    backoff_.Failed(PolicyClock::now());
    return true;
}

// The verbose block of an accepted caller: its address, its ids, and what
// its connection (on spxFd2) travels on.
void Listener::ShowCaller(int spxFd2) const {
    Report(stdout, "clients IPX address: ");
    ShowIpxAddress(clientsAddress_, AddressForm::Standard);
    Report(stdout, "clients connection number:  %04Xh \n",
           static_cast<unsigned>(spx::GetBE16(spxClientsId_.spx_connectionID)));
    Report(stdout, "clients allocation number:  %04Xh \n",
           static_cast<unsigned>(spx::GetBE16(spxClientsId_.spx_allocationNumber)));
    ShowPaths(stdout, spxFd2, "connection");
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
        ShowPaths(stdout, spxFd_, "listener");
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
    std::this_thread::sleep_until(backoff_.RetryAt()); // a time past when no pause holds
    // Made before the caller comes; when that fails, tried again once it has
    // come. A failure is reported in full once in a row of failures; each
    // caller it costs is logged on a line of its own.
    std::string cause;
    if (spareFd_ < 0)
        spareFd_ = OpenServiceEndpoint(spxInfo_, bind_, bindAddress_, backoff_.InRow() == 0, cause);

    SetTitle(programName_);
    if (verbose)
        Report(stdout, "server listening on socket %04Xh\n",
               static_cast<unsigned>(spx::GetBE16(options_.socketToBind)));
    // Fixed output, without prefix and without -v, before and after each
    // wait for a caller: the tests and the benchmarks count passes by it.
    std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd_, t_getstate(spxFd_));
    const Take take = WaitForCaller();
    if (take == Take::Fatal)
        return false;
    std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd_, t_getstate(spxFd_)); // as above
    if (spareFd_ < 0 &&
        (spareFd_ = OpenServiceEndpoint(spxInfo_, bind_, bindAddress_, false, cause)) < 0)
        return NotServed(notAccepted_, ": no service endpoint: " + cause);
    if (t_accept(spxFd_, spareFd_, &call_) < 0)
        return AcceptFailed();
    const int spxFd2 = std::exchange(spareFd_, -1);

    const std::string stamp = AcceptTime();
    AppendTitle(stamp);
    if (verbose)
        ShowCaller(spxFd2);
    if (take == Take::Wait) {
        room_.Push({spxFd2, clientsAddress_, stamp});
        return true;
    }
    if (SpawnChild(spxFd2, {clientsAddress_, ServicesFor(clientsAddress_)})) {
        backoff_.Succeeded();
        return true;
    }
    t_snddis(spxFd2, nullptr); // no process for this caller
    t_close(spxFd2);
    backoff_.Failed(PolicyClock::now());
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
    silenceLimitName = "-t limit";
    peerName = "caller";
    t_errno = 0;
    errno = 0;
    CatchSignals();

    const std::string_view programName = argc > 0 && argv[0] != nullptr ? argv[0] : "varneld";
    SetTitle(programName);
    if (ShowVersion(argc, argv, "varneld"))
        return 0;
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
