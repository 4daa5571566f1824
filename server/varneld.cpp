// varneld: the SPX service daemon.
//
// The listener binds one SPX socket and takes connections strictly one after
// another: each is accepted onto a fresh service endpoint and served by a
// child of its own, which reads one request, dispatches on its command code
// and exits. The listener counts its children and reaps them: at the limit
// (-c) it takes no connection until one has ended, and callers wait in the
// queue. A connection that cannot be served (no endpoint, no process) is
// refused, and the listener pauses before it goes on; only a failure of the
// listening endpoint itself ends it.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>

#include <spx/byteorder.h>
#include <spx/ipx.h>
#include <spx/tiuser.h>

#include "child.h"
#include "io.h"
#include "numbers.h"
#include "spxsupport.h"

namespace {

// Socket of the listening endpoint, in network byte order (0x45, 0x00).
std::array<unsigned char, 2> socketToBind{0x45, 0x00};

// The invocation name, for resetting titleStr on every pass.
std::string_view programName = "varneld";

// Service children at once at most (-c), and how long a child waits for its
// caller (-t, seconds; 0: no limit).
unsigned maxChildren = 100;
unsigned idleSeconds = 120;

// Children forked and not yet reaped.
unsigned children = 0;

void Usage() {
    std::printf("%s usage: %s", titleStr, titleStr);
    std::printf(" [-s<socket>] [-v] [-c<children>] [-t<seconds>]\n");
    std::printf("       socket:    local socket number (0x4000 - 0x5000\n");
    std::printf("       -v : verbose \n");
    std::printf("       children:  service children at once at most (100)\n");
    std::printf("       seconds:   a caller may keep a child waiting (120, 0: no limit)\n");
}

// Reaps the children that have ended; with wait, first waits for one.
void ReapChildren(bool wait) {
    int options = wait ? 0 : WNOHANG;
    pid_t pid = 0;
    while (children > 0 &&
           ((pid = waitpid(-1, nullptr, options)) > 0 || (pid < 0 && errno == EINTR))) {
        if (pid > 0)
            --children;
        options = WNOHANG;
    }
    if (pid < 0 && errno == ECHILD)
        children = 0; // none left, whatever the count says
}

// After a connection that could not be served: a pause that grows while the
// failures go on (a quarter of a second, doubling up to eight seconds), so
// that a shortage of ports, descriptors or processes is not made worse.
void PauseAfterFailure(unsigned failures) {
    const unsigned shift = std::min(failures, 6U) - 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(250U << shift));
}

// Takes the next caller of the listening endpoint and refuses it with a
// disconnect: no endpoint could be made ready for it. False when the
// listening endpoint failed (reported).
bool RefuseNextCaller(int spxFd, t_call& call) {
    if (t_listen(spxFd, &call) < 0) {
        std::printf("%s: server t_listen failed \n\t", titleStr);
        SpxError(spxFd);
        return false;
    }
    t_snddis(spxFd, &call);
    return true;
}

// Appends the accept time to titleStr: argv[0], ": ", "%D %r :".
void StampTitle() {
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
    AppendTitle(": ");
    AppendTitle(timeStr.data());
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

} // namespace

bool ScanArgs(int argc, char* argv[], const char* optstr);
bool SpawnChildServiceRequest(int spxFd, int spxFd2);

// Parses -s <hex socket>, -v, -c <children> and -t <seconds> into
// socketToBind, verbose, maxChildren and idleSeconds. False on anything else
// (an unknown option, a value that is not a number, an operand), when the
// usage text is wanted.
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
        case 'c': {
            const auto value = ParseUnsigned(optarg, 10, 100000);
            if (!value || *value == 0)
                return false;
            maxChildren = static_cast<unsigned>(*value);
            break;
        }
        case 't': {
            const auto value = ParseUnsigned(optarg, 10, 7 * 86400);
            if (!value)
                return false;
            idleSeconds = static_cast<unsigned>(*value);
            break;
        }
        default:
            return false;
        }
    }
    return optind == argc; // no operands
}

// Forks the child that serves the connection on spxFd2. Returns in the
// listener only, which gives up its copy of the service endpoint: true when
// a child serves the connection, false when none could be made (the caller
// is then told with a disconnect).
bool SpawnChildServiceRequest(int spxFd, int spxFd2) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "%s: fork failed\n", titleStr);
        t_snddis(spxFd2, nullptr);
        t_close(spxFd2);
        return false;
    }
    if (pid == 0)
        ServeChild(spxFd, spxFd2, idleSeconds);
    ++children;
    if (t_close(spxFd2) < 0) {
        std::printf("%s: parents t_close of spxFd2 failed \n\t", titleStr);
        t_error("");
    }
    return true;
}

int main(int argc, char* argv[]) {
    OpenStandardDescriptors();
    // Whole lines: the listener and its children share both streams, and a
    // line written in pieces could be cut by another process's line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    SetReportStyle(ReportStyle::Server);
    t_errno = 0;
    errno = 0;
    std::signal(SIGCHLD, SIG_DFL); // children are counted and reaped
    std::signal(SIGPIPE, SIG_IGN);

    if (argc > 0 && argv[0] != nullptr)
        programName = argv[0];
    SetTitle(programName);
    if (!ScanArgs(argc, argv, "+vs:c:t:")) {
        Usage();
        return 1;
    }

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

    unsigned failures = 0; // passes in a row whose caller could not be served
    for (;;) {
        if (failures > 0)
            PauseAfterFailure(failures);
        while (children >= maxChildren) // an ended child is reaped at once
            ReapChildren(true);

        const int spxFd2 = t_open(spxDevice, O_RDWR, &spxInfo);
        if (spxFd2 < 0) {
            std::printf("%s: server open of service stream failed, errno = %d \n", titleStr, errno);
            SpxError(spxFd2);
            if (!RefuseNextCaller(spxFd, call))
                break;
            ++failures;
            continue;
        }
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
            if (!RefuseNextCaller(spxFd, call))
                break;
            ++failures;
            continue;
        }

        SetTitle(programName);
        if (verbose)
            std::printf("%s: server listening on socket %04Xh\n", titleStr,
                        static_cast<unsigned>(spx::GetBE16(socketToBind)));
        std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd, t_getstate(spxFd));
        if (t_listen(spxFd, &call) < 0) {
            std::printf("%s: server t_listen failed \n\t", titleStr);
            SpxError(spxFd);
            break;
        }
        std::fprintf(stderr, "spxfd = %d, state = %d\n", spxFd, t_getstate(spxFd));
        if (t_accept(spxFd, spxFd2, &call) < 0) {
            std::printf("%s: server t_accept failed \n", titleStr);
            SpxError(spxFd);
            break;
        }

        StampTitle();
        if (verbose) {
            std::printf("%s: clients IPX address: ", titleStr);
            ShowIpxAddress(clientsAddress, AddressForm::Standard);
            std::printf("%s: clients connection number:  %04Xh \n", titleStr,
                        static_cast<unsigned>(spx::GetBE16(spxClientsId.spx_connectionID)));
            std::printf("%s: clients allocation number:  %04Xh \n", titleStr,
                        static_cast<unsigned>(spx::GetBE16(spxClientsId.spx_allocationNumber)));
        }
        ReapChildren(false); // ended children hold no process slot the fork needs
        failures = SpawnChildServiceRequest(spxFd, spxFd2) ? 0 : failures + 1;
    }
    return Quit(spxFd);
}
