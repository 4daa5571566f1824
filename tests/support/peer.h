// Test peers on loopback: provider endpoints and connected pairs, a TLI client (Conn) and one store
// through it, request records, and a raw TCP caller writing frames apart from the provider's.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

#include <gtest/gtest.h>
#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "harness.h"
#include "spxproto.h"

namespace peer {

using namespace std::chrono_literals;

inline constexpr const char* kDevice = "/dev/nspx";

// The carrier the provider's tests run on: TCP, or with VARNEL_TEST_CARRIER=ipx the IPX carrier:
// two IPX stacks on the ends of a veth pair, both on network 0000ABCD, the listeners' on "va"
// (MAC 02:..:0a) in a network namespace of this process's own, the callers' on "vb" in a namespace
// held by a process of its own.
inline bool OverIpx() {
    static const bool ipx = std::string_view(getenv("VARNEL_TEST_CARRIER") ?: "") == "ipx";
    return ipx;
}
struct IpxStacks {
    std::optional<harness::Process> holder; // of the callers' namespace
    std::optional<harness::Stack> listeners, callers;
};
// The stacks; null when the namespaces cannot be made.
inline IpxStacks* Stacks() {
    static IpxStacks stacks;
    static const bool made = [] {
        if (unshare(CLONE_NEWNET) != 0 ||
            system("ip link set lo up && ip link add va type veth peer vb && "
                   "ip link set va address 02:00:00:00:00:0a up") != 0)
            return false;
        auto& holder = stacks.holder.emplace(harness::Strings{"/usr/bin/setpriv", "--pdeathsig",
                                                              "KILL", "/usr/bin/unshare", "--net",
                                                              "/bin/sleep", "100000"});
        const std::string pid = std::to_string(holder.pid());
        const auto ns = [](const std::string& p) {
            std::error_code e;
            return harness::fs::read_symlink("/proc/" + p + "/ns/net", e);
        };
        if (!harness::WaitUntil([&] { return ns(pid) != ns("self") && !ns(pid).empty(); }) ||
            system(("ip link set vb netns " + pid + " && /usr/bin/nsenter -t " + pid +
                    " -n ip link set vb address 02:00:00:00:00:0b up")
                       .c_str()) != 0)
            return false;
        stacks.listeners.emplace("va 0000ABCD ethernet_ii\n");
        stacks.callers.emplace("vb 0000ABCD ethernet_ii\n",
                               harness::Strings{"/usr/bin/nsenter", "-t", pid, "-n"});
        return true;
    }();
    return made ? &stacks : nullptr;
}
// Points the provider at the listeners' stack, or the callers'.
inline void UseStack(bool listeners) {
    if (OverIpx() && Stacks() != nullptr)
        setenv("NSPX_STACK",
               (listeners ? Stacks()->listeners : Stacks()->callers)->socket().c_str(), 1);
}
// Skips a test the carrier cannot run.
#define SKIP_UNLESS_CARRIER()                                                                      \
    if (peer::OverIpx() && peer::Stacks() == nullptr)                                              \
    GTEST_SKIP() << "IPX runs need the superuser, network namespaces and iproute2"

// The address of a socket on this host: net and node all zero (over IPX the listeners' end).
inline ipxAddr_t LocalAddress(int port) {
    ipxAddr_t a{};
    spx::PutBE16(a.sock, static_cast<std::uint16_t>(port));
    if (OverIpx()) {
        spx::PutBE32(a.net, 0x0000ABCD);
        a.node[0] = 2, a.node[5] = 0x0a;
    }
    return a;
}

// n bytes of v, most significant first.
inline std::string BE(std::uint32_t v, int n) {
    std::string s;
    while (n-- > 0)
        s += static_cast<char>(v >> (8 * n));
    return s;
}

// A request: the code, then text in a field of size bytes (unterminated when full), then tail.
inline std::string Record(std::uint32_t code, std::string_view text, std::size_t size,
                          std::string_view tail = "") {
    return BE(code, 4) + std::string(text) + std::string(size - text.size(), '\0') +
           std::string(tail);
}

// A receiveFile_s record (96 bytes) as a client sends it: the name cut to its 80 bytes.
inline std::string ReceiveRecord(std::string_view name, std::uint32_t permissions = 0,
                                 std::uint32_t ulimit = 0, std::uint16_t uid = 0,
                                 std::uint16_t gid = 0) {
    return Record(SERV_RECV_FILE, name.substr(0, 80), 80,
                  BE(ulimit, 4) + BE(uid, 2) + BE(gid, 2) + BE(permissions, 4));
}

// An endpoint on a provider-chosen socket (listening when qlen > 0; address in *bound), or -1.
inline int OpenBound(unsigned qlen = 0, ipxAddr_t* bound = nullptr) {
    UseStack(qlen > 0);
    const int fd = t_open(kDevice, O_RDWR, nullptr);
    ipxAddr_t any{};
    struct t_bind req = {{sizeof any, sizeof any, reinterpret_cast<char*>(&any)}, qlen};
    struct t_bind ret = {{sizeof any, 0, reinterpret_cast<char*>(bound ? bound : &any)}, 0};
    return fd >= 0 && t_bind(fd, &req, &ret) == 0 ? fd : (t_close(fd), -1);
}

// Connects fd to the socket port of this host: t_connect's result.
inline int Connect(int fd, int port) {
    ipxAddr_t to = LocalAddress(port);
    struct t_call call = {{sizeof to, sizeof to, reinterpret_cast<char*>(&to)}, {}, {}, 0};
    UseStack(false);
    return t_connect(fd, &call, nullptr);
}

// Waits for an event on fd: the event, or 0 after timeout.
inline int WaitEvent(int fd, std::chrono::milliseconds timeout = 20s) {
    int ev = 0;
    harness::WaitUntil([&] { return (ev = t_look(fd)) != 0; }, timeout);
    return ev;
}

// Takes the disconnect pending on fd: its reason, or -1.
inline int TakeDisconnect(int fd) {
    t_discon d{};
    return t_rcvdis(fd, &d) == 0 ? d.reason : -1;
}

struct Unit {
    std::string data;
    int flags = 0;
    bool operator==(const Unit&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Unit& u) {
        return os << '"' << u.data << "\" flags " << u.flags;
    }
};

// Sends data as one unit on fd: whether t_snd took it.
inline bool Send(int fd, std::string_view data, int flags = 0) {
    return t_snd(fd, data.data(), static_cast<unsigned>(data.size()), flags) >= 0;
}

// Receives up to max bytes of the next unit on fd; flags -1 when t_rcv fails.
inline Unit Receive(int fd, unsigned max = SPX_MAX_DATA) {
    Unit u{std::string(max, '\0')};
    const int n = t_rcv(fd, u.data.data(), max, &u.flags);
    u.data.resize(static_cast<std::size_t>(std::max(n, 0)));
    return n < 0 ? Unit{"", -1} : u;
}

// A listening endpoint on a provider-chosen socket, closed at scope end.
struct Listener {
    ipxAddr_t addr{}, caller{}; // its own address; the last accepted caller's,
    SPX_OPTS opts{};            // with its options and call record
    struct t_call call {};
    int fd = OpenBound(1, &addr);

    Listener() = default;
    Listener(const Listener&) = delete;
    ~Listener() { t_close(fd); }
    int port() const { return spx::GetBE16(addr.sock); }
    // Takes the next caller onto a fresh endpoint: that endpoint, or -1.
    int Accept() {
        call = {};
        call.addr = {sizeof caller, 0, reinterpret_cast<char*>(&caller)};
        call.opt = {sizeof opts, 0, reinterpret_cast<char*>(&opts)};
        const int res = OpenBound();
        return t_listen(fd, &call) == 0 && t_accept(fd, res, &call) == 0 ? res : (t_close(res), -1);
    }
};

// Two endpoints connected through a listener: caller's, service's (-1 when a test closes it).
struct Pair {
    Listener listener;
    int client = OpenBound(), server = -1;

    Pair() {
        // The connect waits for the accept; each side touches only its own, existing, endpoint.
        int result = -1;
        std::thread caller([&] { result = Connect(client, listener.port()); });
        server = listener.Accept();
        caller.join();
        EXPECT_TRUE(result == 0 && server >= 0) << "no connected pair, t_errno " << t_errno;
    }
    ~Pair() { t_close(client), t_close(server); }
};

// A TLI endpoint connected to 127.0.0.1:port (ok: the connect succeeded), closed at scope end.
struct Conn {
    int fd = OpenBound();
    bool ok;

    explicit Conn(int port) : ok(fd >= 0 && Connect(fd, port) == 0) {}
    ~Conn() { t_close(fd); }
    Conn(const Conn&) = delete;
    bool Send(std::string_view data, int flags = 0) { return peer::Send(fd, data, flags); }
    Unit Recv(unsigned max = SPX_MAX_DATA) { return Receive(fd, max); }
    int WaitEvent(std::chrono::milliseconds timeout = 20s) { return peer::WaitEvent(fd, timeout); }
    // Waits for a disconnect and takes it: its reason, or -1 when another event came first.
    int ReceiveDisconnect() { return WaitEvent() == T_DISCONNECT ? TakeDisconnect(fd) : -1; }
};

// One store: the request (its first split bytes in a piece of their own), on status 0 the units
// with T_MORE and the end unit. What the client saw: the status byte, the server's release, the
// disconnect ("0 released 236").
inline std::string Store(int port, const std::string& request, const harness::Strings& units = {},
                         const std::string& endUnit = "", std::size_t split = 0) {
    Conn c(port);
    const bool sent = c.ok && (!split || c.Send(request.substr(0, split), T_MORE)) &&
                      c.Send(request.substr(split)) && c.WaitEvent() == T_DATA;
    const Unit st = sent ? c.Recv(1) : Unit{};
    if (st.data.size() != 1)
        return "no status";
    const int status = static_cast<unsigned char>(st.data[0]);
    for (std::size_t i = 0; status == 0 && i <= units.size(); ++i)
        if (!c.Send(i < units.size() ? units[i] : endUnit, i < units.size() ? T_MORE : 0))
            break;
    int ev = 0;
    while ((ev = c.WaitEvent()) == T_DATA && c.Recv().flags >= 0) {
    }
    const bool released = ev == T_ORDREL && t_rcvrel(c.fd) == 0;
    return std::to_string(status) + (released ? " released " : " ") +
           std::to_string(ev == T_DISCONNECT || released ? c.ReceiveDisconnect() : -1);
}

// A caller that speaks the provider's frames over a plain TCP connection.
struct RawCaller {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), localPort = 0; // 0: not connected

    explicit RawCaller(int port, std::uint32_t from = INADDR_LOOPBACK, int fromPort = 0) {
        sockaddr_in a{AF_INET, htons(std::uint16_t(fromPort)), {htonl(from)}, {}};
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0)
            a = {AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            localPort = ntohs(a.sin_port);
    }
    ~RawCaller() { close(fd); }
    RawCaller(const RawCaller&) = delete;
    bool SendBytes(std::string_view b) {
        for (ssize_t n = 0; !b.empty() && (n = send(fd, b.data(), b.size(), MSG_NOSIGNAL)) > 0;)
            b.remove_prefix(static_cast<std::size_t>(n));
        return b.empty();
    }
    // A frame: its type (1 CONNECT, 3 DATA, 4 ORDREL, 5 DISCON), flags, length, payload.
    bool SendFrame(int type, int flags, std::string_view payload) {
        return SendBytes(BE(type, 1) + BE(flags, 1) + BE(payload.size(), 2) + std::string(payload));
    }
    // The caller's first frame: version 1, its connection id and allocation number.
    bool SendConnect(std::uint16_t connectionId = 0x1234, std::uint16_t allocation = 8) {
        return SendFrame(1, 0, BE(1, 2) + BE(0, 2) + BE(connectionId, 2) + BE(allocation, 2));
    }
    bool SendData(std::string_view data, bool more) { return SendFrame(3, more, data); }
    // Its CONNECT, then a request in one unit.
    bool Ask(std::string_view request) { return SendConnect() && SendData(request, false); }
    // Ends the TCP connection with a reset (a failed connection to the far side).
    void Reset() {
        const linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(std::exchange(fd, -1)); // the second close, at scope end, fails harmlessly
    }
};

} // namespace peer
