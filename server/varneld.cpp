// varneld: the SPX service daemon.
//
// The listener binds one SPX socket and takes connections strictly one after
// another: each is accepted onto a fresh service endpoint and served by a
// child of its own, which reads one request, dispatches on its command code
// and exits. The listener never waits for its children (SIGCHLD ignored).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include <spx/byteorder.h>
#include <spx/ipx.h>
#include <spx/tiuser.h>

#include "child.h"
#include "numbers.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// Socket of the listening endpoint, in network byte order (0x45, 0x00).
std::array<unsigned char, 2> socketToBind{0x45, 0x00};

// The invocation name, for resetting titleStr on every pass.
std::string_view programName = "varneld";

void Usage() {
    std::printf("%s usage: %s", titleStr, titleStr);
    std::printf(" [-s<socket>] [-v]\n");
    std::printf("       socket:    local socket number (0x4000 - 0x5000\n");
    std::printf("       -v : verbose \n");
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
void SpawnChildServiceRequest(int spxFd, int spxFd2);

// Parses -s <hex socket> and -v into socketToBind and verbose. False on
// anything else, when the usage text is wanted.
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
        default:
            return false;
        }
    }
    return optind == argc; // no operands
}

// Forks the child that serves the connection on spxFd2. Returns in the
// listener only, which gives up its copy of the service endpoint.
void SpawnChildServiceRequest(int spxFd, int spxFd2) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "%s: fork failed\n", titleStr);
        // Nobody will serve this caller: tell it, and free the endpoint.
        t_snddis(spxFd2, nullptr);
        t_close(spxFd2);
        return;
    }
    if (pid == 0)
        ServeChild(spxFd, spxFd2);
    if (t_close(spxFd2) < 0) {
        std::printf("%s: parents t_close of spxFd2 failed \n\t", titleStr);
        t_error("");
    }
}

int main(int argc, char* argv[]) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SetReportStyle(ReportStyle::Server);
    t_errno = 0;
    errno = 0;
    std::signal(SIGCHLD, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    if (argc > 0 && argv[0] != nullptr)
        programName = argv[0];
    SetTitle(programName);
    if (!ScanArgs(argc, argv, "+vs:")) {
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

    ipxAddr_t clientsAddress{};
    SPX_OPTS spxClientsId{};
    struct t_call call {};
    call.addr.maxlen = sizeof clientsAddress;
    call.addr.len = sizeof clientsAddress;
    call.addr.buf = reinterpret_cast<char*>(&clientsAddress);
    call.opt.maxlen = sizeof spxClientsId;
    call.opt.len = sizeof spxClientsId;
    call.opt.buf = reinterpret_cast<char*>(&spxClientsId);

    for (;;) {
        const int spxFd2 = t_open(spxDevice, O_RDWR, &spxInfo);
        if (spxFd2 < 0) {
            std::printf("%s: server open of service stream failed, errno = %d \n", titleStr, errno);
            SpxError(spxFd2);
            break;
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
            break;
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
        SpawnChildServiceRequest(spxFd, spxFd2);
    }
    return Quit(spxFd);
}
