// Test peers: provider endpoints and connected pairs on loopback, a TLI
// client (Conn), a raw TCP caller that writes the provider's frames byte by
// byte, apart from the provider's own encoder (RawCaller), request records.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "harness.h"
#include "spxproto.h"

namespace peer {

using namespace std::chrono_literals;

inline constexpr const char* kDevice = "/dev/nspx";

// The address of a socket on this host: net and node all zero.
inline ipxAddr_t LocalAddress(int port) {
    ipxAddr_t a{};
    spx::PutBE16(a.sock, static_cast<std::uint16_t>(port));
    return a;
}

// n bytes of v, most significant first.
inline std::string BE(std::uint32_t v, int n) {
    std::string s;
    while (n-- > 0)
        s += static_cast<char>(v >> (8 * n));
    return s;
}

// A receiveFile_s record (96 bytes) as a client sends it. The name is copied
// as given, up to the field's 80 bytes (no terminator when it fills them).
inline std::string ReceiveRecord(std::string_view filename, std::uint32_t permissions = 0,
                                 std::uint32_t newUlimit = 0, std::uint16_t uid = 0,
                                 std::uint16_t gid = 0, std::uint32_t command = SERV_RECV_FILE) {
    std::string name(filename.substr(0, 80));
    name.resize(80, '\0');
    return BE(command, 4) + name + BE(newUlimit, 4) + BE(uid, 2) + BE(gid, 2) + BE(permissions, 4);
}

// An endpoint bound to a provider-chosen socket (listening when qlen > 0),
// its address written to *bound; -1 on failure.
inline int OpenBound(unsigned qlen = 0, ipxAddr_t* bound = nullptr) {
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

// Two endpoints of this process connected through a listener: the caller's
// and the service one. A test that closes one sets it to -1.
struct Pair {
    Listener listener;
    int client = OpenBound(), server = -1;

    Pair() {
        // The connect waits for the accept; both endpoints exist before the
        // thread starts, so the two sides touch only their own state.
        int result = -1;
        std::thread caller([&] { result = Connect(client, listener.port()); });
        server = listener.Accept();
        caller.join();
        EXPECT_TRUE(result == 0 && server >= 0) << "no connected pair, t_errno " << t_errno;
    }
    ~Pair() { t_close(client), t_close(server); }
};

// A TLI endpoint connected to the listener on 127.0.0.1:port; ok() tells
// whether the connect succeeded.
class Conn {
  public:
    explicit Conn(int port) : fd_(OpenBound()), ok_(fd_ >= 0 && Connect(fd_, port) == 0) {}
    ~Conn() { t_close(fd_); }
    Conn(const Conn&) = delete;
    bool ok() const { return ok_; }
    bool Send(std::string_view data, int flags = 0) { return peer::Send(fd_, data, flags); }
    // Receives up to max bytes of the next unit.
    std::optional<Unit> Recv(unsigned max = SPX_MAX_DATA) {
        const Unit u = Receive(fd_, max);
        return u.flags < 0 ? std::nullopt : std::optional(u);
    }
    // Waits until an event is pending; returns it, or 0 after timeout.
    int WaitEvent(std::chrono::milliseconds timeout = 20s) { return peer::WaitEvent(fd_, timeout); }
    // Waits for a disconnect and takes it: its reason, or -1 when another
    // event came first or none came.
    int ReceiveDisconnect(std::chrono::milliseconds timeout = 20s) {
        return WaitEvent(timeout) == T_DISCONNECT ? TakeDisconnect(fd_) : -1;
    }
    // Reads and drops units until the next event is not data, then returns
    // that event (T_ORDREL, T_DISCONNECT), 0 after timeout, -1 on failure.
    int SkipToEvent(std::chrono::milliseconds timeout = 20s) {
        int ev = 0;
        while ((ev = WaitEvent(timeout)) == T_DATA && Recv()) {
        }
        return ev == T_DATA ? -1 : ev;
    }
    bool ReceiveRelease() { return t_rcvrel(fd_) == 0; }

  private:
    int fd_;
    bool ok_;
};

// Frame types of the provider's wire format.
enum FrameType : unsigned char { CONNECT = 1, ACCEPT = 2, DATA = 3, ORDREL = 4, DISCON = 5 };

// A caller that speaks the provider's frames over a plain TCP connection.
class RawCaller {
  public:
    explicit RawCaller(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
              getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0;
        localPort_ = ok_ ? ntohs(a.sin_port) : 0;
    }
    ~RawCaller() { Close(); }
    RawCaller(const RawCaller&) = delete;
    bool ok() const { return ok_; }
    int localPort() const { return localPort_; }

    static std::string BE(std::uint32_t v, int n) { return peer::BE(v, n); }
    bool SendFrame(unsigned char type, unsigned char flags, std::string_view payload) {
        return SendBytes(BE(type, 1) + BE(flags, 1) + BE(payload.size(), 2) + std::string(payload));
    }
    bool SendBytes(std::string_view b) {
        ssize_t n = 0;
        while (!b.empty() && (n = send(fd_, b.data(), b.size(), MSG_NOSIGNAL)) > 0)
            b.remove_prefix(static_cast<std::size_t>(n));
        return b.empty();
    }
    // The caller's first frame: version 1, its connection id and allocation number.
    bool SendConnect(std::uint16_t connectionId = 0x1234, std::uint16_t allocation = 8) {
        return SendFrame(CONNECT, 0, BE(1, 2) + BE(0, 2) + BE(connectionId, 2) + BE(allocation, 2));
    }
    bool SendData(std::string_view data, bool more) { return SendFrame(DATA, more ? 1 : 0, data); }
    bool SendOrdrel() { return SendFrame(ORDREL, 0, {}); }
    bool SendDiscon(std::uint32_t reason) { return SendFrame(DISCON, 0, BE(reason, 4)); }
    // Ends the TCP connection with a reset (a failed connection to the far side).
    void Reset() {
        const linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() { close(std::exchange(fd_, -1)); } // a second close fails harmlessly

  private:
    int fd_;
    bool ok_ = false;
    int localPort_ = 0;
};

} // namespace peer
