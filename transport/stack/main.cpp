// nspxd: the IPX stack of a host. Reads the interface file, opens a packet
// socket per interface, and runs every IPX endpoint and SPX connection of
// the host for the programs that reach it through its Unix-domain socket.
//
//   nspxd [-v]     runs in the foreground, logging to standard error
//   nspxd -t       checks the interface file and prints what it would bring up
//   nspxd -s       prints the running stack's state
//   nspxd --version
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "stack.h"

namespace {

using namespace spx::stack;

constexpr const char* DEFAULT_CONF = "/etc/nspx.conf";
constexpr std::size_t MAX_CONF = 64 * 1024;

std::string EnvOr(const char* name, std::string_view fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : std::string(fallback);
}

// The interface file's text; a file that is not there is an empty one.
// False with the message printed.
bool ReadConf(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    std::array<char, 4096> buf;
    ssize_t n = 0;
    while (fd >= 0 && text.size() <= MAX_CONF && (n = read(fd, buf.data(), buf.size())) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buf.data(), static_cast<std::size_t>(n));
    }
    const int err = errno;
    if (fd >= 0)
        close(fd);
    if (fd < 0 || n < 0 || text.size() > MAX_CONF) {
        std::fprintf(stderr, "nspxd: %s: %s\n", path.c_str(),
                     text.size() > MAX_CONF ? "larger than 64 KiB" : std::strerror(err));
        return false;
    }
    return true;
}

// The interfaces of the file as this host has them; false with the message
// printed.
bool LoadIfaces(std::vector<Iface>& ifaces) {
    const std::string path = EnvOr("NSPX_CONF", DEFAULT_CONF);
    std::string text;
    if (!ReadConf(path, text))
        return false;
    auto parsed = spx::ipx::ParseConf(text, path);
    if (const auto* fault = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "nspxd: %s\n", fault->c_str());
        return false;
    }
    for (const auto& conf : std::get<std::vector<spx::ipx::IpxInterface>>(parsed)) {
        Iface i;
        std::string why;
        if (!FindIface(conf, i, why)) {
            std::fprintf(stderr, "nspxd: %s: %s\n", path.c_str(), why.c_str());
            return false;
        }
        ifaces.push_back(i);
    }
    return true;
}

// Sends all of bytes; false on failure.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// nspxd -s: asks the stack at path for its state and prints it.
int ShowStatus(const std::string& path) {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::memcpy(sun.sun_path, path.data(), std::min(path.size(), sizeof sun.sun_path - 1));
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
        std::fprintf(stderr, "nspxd: the IPX stack is not running (looked for at %s)\n",
                     path.c_str());
        return 1;
    }
    const timeval limit{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<std::uint8_t> out, in;
    AppendRecord(out, Prim::Hello, 0, HelloBody());
    AppendRecord(out, Prim::InfoReq, 0, {});
    std::array<std::uint8_t, 4096> buf;
    for (bool sent = WriteAll(s, out); sent;) {
        const Decoded d = DecodeRecord(in);
        if (d.used == SIZE_MAX)
            break;
        if (!d.record) {
            const ssize_t n = read(s, buf.data(), buf.size());
            if (n <= 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            in.insert(in.end(), buf.begin(), buf.begin() + n);
            continue;
        }
        if (d.record->prim == Prim::InfoAck && d.record->body.empty()) {
            close(s);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (d.record->prim == Prim::InfoAck)
            std::fwrite(d.record->body.data(), 1, d.record->body.size(), stdout);
        if (d.record->prim == Prim::ErrorAck) {
            const auto e = ReadError(d.record->body);
            std::fprintf(stderr, "nspxd: %.*s\n", static_cast<int>(e ? e->detail.size() : 0),
                         e ? e->detail.data() : "");
            break;
        }
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(d.used));
    }
    close(s);
    std::fprintf(stderr, "nspxd: the IPX stack at %s gave no answer\n", path.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const std::string arg = argc == 2 ? argv[1] : "";
    if (argc > 2 ||
        (argc == 2 && arg != "-v" && arg != "-t" && arg != "-s" && arg != "--version")) {
        std::fprintf(stderr, "usage: nspxd [-v] | -t | -s | --version\n");
        return 1;
    }
    if (arg == "--version") {
        std::printf("nspxd %s\n", NSPXD_VERSION);
        return 0;
    }
    const std::string path = EnvOr("NSPX_STACK", DEFAULT_PATH);
    if (arg == "-s")
        return ShowStatus(path);
    std::vector<Iface> ifaces;
    if (!LoadIfaces(ifaces))
        return 1;
    if (arg == "-t") {
        for (const auto& i : ifaces)
            std::printf("%s\n", IfaceLine(i).c_str());
        return 0;
    }
    for (auto& i : ifaces) {
        std::string why;
        if (!OpenIface(i, why)) {
            std::fprintf(stderr, "nspxd: %s\n", why.c_str());
            return 1;
        }
    }
    rlimit files{}; // a descriptor per endpoint: as many as the host allows
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    Options options;
    options.verbose = arg == "-v";
    Stack stack(std::move(ifaces), options);
    if (const int status = stack.Open(path))
        return status;
    return stack.Run();
}
