// Test peers for the SPX programs: a TLI endpoint on the provider library
// that talks to varneld as any client would, a raw TCP caller that speaks
// the provider's wire frames directly (to make the far side do exactly what
// a test needs), and the request records.
//
// Header-only: the test programs that include it link the provider.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <spx/byteorder.h>
#include <spx/ipx.h>
#include <spx/tiuser.h>

#include "spxproto.h"

namespace peer {

using namespace std::chrono_literals;

// The address of a socket on this host: net and node all zero.
inline ipxAddr_t LocalAddress(int port) {
    ipxAddr_t a{};
    spx::PutBE16(a.sock, static_cast<std::uint16_t>(port));
    return a;
}

// A receiveFile_s record (96 bytes) as a client sends it. The name is copied
// as given, up to the field's 80 bytes (no terminator when it fills them).
inline std::string ReceiveRecord(std::string_view filename, std::uint32_t permissions = 0,
                                 std::uint32_t newUlimit = 0, std::uint16_t uid = 0,
                                 std::uint16_t gid = 0, std::uint32_t command = SERV_RECV_FILE) {
    receiveFile_t r{};
    spx::PutBE32(r.spxServPrimType, command);
    std::memcpy(r.filename, filename.data(), std::min(filename.size(), sizeof r.filename));
    spx::PutBE32(r.newUlimit, newUlimit);
    spx::PutBE16(r.uid, uid);
    spx::PutBE16(r.gid, gid);
    spx::PutBE32(r.permissions, permissions);
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

struct Unit {
    std::string data;
    int flags = 0;
};

// A TLI endpoint connected to the listener on 127.0.0.1:port; ok() tells
// whether the connect succeeded.
class Conn {
  public:
    explicit Conn(int port) {
        fd_ = t_open("/dev/nspx", O_RDWR, nullptr);
        ipxAddr_t local{};
        struct t_bind req {};
        req.addr = {sizeof local, sizeof local, reinterpret_cast<char*>(&local)};
        ipxAddr_t server = LocalAddress(port);
        struct t_call snd {};
        snd.addr = {sizeof server, sizeof server, reinterpret_cast<char*>(&server)};
        ok_ = fd_ >= 0 && t_bind(fd_, &req, &req) == 0 && t_connect(fd_, &snd, nullptr) == 0;
    }
    ~Conn() {
        if (fd_ >= 0)
            t_close(fd_);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool ok() const { return ok_; }

    bool Send(std::string_view data, int flags = 0) {
        return t_snd(fd_, data.data(), static_cast<unsigned>(data.size()), flags) >= 0;
    }
    // Receives up to max bytes of the next unit.
    std::optional<Unit> Recv(unsigned max = SPX_MAX_DATA) {
        std::string buf(max, '\0');
        int flags = 0;
        const int n = t_rcv(fd_, buf.data(), max, &flags);
        if (n < 0)
            return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return Unit{buf, flags};
    }
    // Waits until an event is pending; returns it, or 0 after timeout.
    int WaitEvent(std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const int ev = t_look(fd_);
            if (ev != 0 || std::chrono::steady_clock::now() >= deadline)
                return ev;
        }
    }
    // Waits for a disconnect and takes it: its reason, or -1 when another
    // event came first or none came.
    int ReceiveDisconnect(std::chrono::milliseconds timeout = 20s) {
        if (WaitEvent(timeout) != T_DISCONNECT)
            return -1;
        t_discon d{};
        return t_rcvdis(fd_, &d) == 0 ? d.reason : -1;
    }
    // Reads and drops units until the next event is not data, then returns
    // that event (T_ORDREL, T_DISCONNECT) or 0 after timeout.
    int SkipToEvent(std::chrono::milliseconds timeout = 20s) {
        for (;;) {
            const int ev = WaitEvent(timeout);
            if (ev != T_DATA)
                return ev;
            if (!Recv())
                return -1;
        }
    }
    bool ReceiveRelease() { return t_rcvrel(fd_) == 0; }

  private:
    int fd_ = -1;
    bool ok_ = false;
};

// Frame types of the provider's wire format.
enum FrameType : unsigned char { CONNECT = 1, ACCEPT = 2, DATA = 3, ORDREL = 4, DISCON = 5 };

// A caller that speaks the provider's frames over a plain TCP connection.
class RawCaller {
  public:
    explicit RawCaller(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            sockaddr_in self{};
            socklen_t len = sizeof self;
            getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len);
            localPort_ = ntohs(self.sin_port);
            ok_ = true;
        }
    }
    ~RawCaller() { Close(); }
    RawCaller(const RawCaller&) = delete;
    RawCaller& operator=(const RawCaller&) = delete;

    bool ok() const { return ok_; }
    int localPort() const { return localPort_; }

    bool SendFrame(unsigned char type, unsigned char flags, std::string_view payload) {
        std::string f(4, '\0');
        f[0] = static_cast<char>(type);
        f[1] = static_cast<char>(flags);
        f[2] = static_cast<char>(payload.size() >> 8);
        f[3] = static_cast<char>(payload.size());
        f += payload;
        return SendBytes(f);
    }
    bool SendBytes(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // The caller's first frame, carrying its connection id and allocation number.
    bool SendConnect(std::uint16_t connectionId = 0x1234, std::uint16_t allocation = 8) {
        std::string p(8, '\0');
        p[1] = 1; // version 1
        p[4] = static_cast<char>(connectionId >> 8);
        p[5] = static_cast<char>(connectionId);
        p[6] = static_cast<char>(allocation >> 8);
        p[7] = static_cast<char>(allocation);
        return SendFrame(CONNECT, 0, p);
    }
    bool SendData(std::string_view data, bool more) { return SendFrame(DATA, more ? 1 : 0, data); }
    bool SendOrdrel() { return SendFrame(ORDREL, 0, {}); }
    bool SendDiscon(std::uint32_t reason) {
        std::string p(4, '\0');
        p[0] = static_cast<char>(reason >> 24);
        p[1] = static_cast<char>(reason >> 16);
        p[2] = static_cast<char>(reason >> 8);
        p[3] = static_cast<char>(reason);
        return SendFrame(DISCON, 0, p);
    }
    // Ends the TCP connection with a reset (a failed connection to the far side).
    void Reset() {
        if (fd_ < 0)
            return;
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    int localPort_ = 0;
};

} // namespace peer
