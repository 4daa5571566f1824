// The TCP carrier: each SPX connection travels as frames (spx/wire.h) over
// one TCP connection; node 00 00 + IPv4 address, socket = TCP port.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include <spx/ipx.h>
#include <spx/wire.h>

#include "carrier.h"

namespace spx {

// Frames read from the connection and not yet taken by the program.
//
// One buffer holds one frame's worth (header + 65535 bytes). Two cursors
// walk it: the scan cursor judges each frame header as soon as it arrives
// (so a disconnect or a protocol error is known even behind unread data),
// the delivery cursor hands units, releases and the disconnect to the
// program in the order they arrived.
class Inbound {
  public:
    static constexpr std::size_t CAPACITY = FRAME_HEADER + FRAME_MAX_PAYLOAD + 1;

    // Forgets everything: a new connection starts.
    void Reset();
    // Takes bytes already read from the connection (the handshake's excess).
    void Preload(std::span<const unsigned char> bytes);
    // Reads what the connection has, waiting as long as wait allows for
    // something to come. Whether any bytes came.
    bool Fill(int fd, Wait wait);
    // The connection is over without a DISCON frame: reason 236 for the end
    // of the stream, 237 for a failure. A frame the end cut short is no
    // unit: its bytes not yet delivered are dropped, and the connection
    // failed (237).
    void EndStream(int reason);
    // The connection broke (a send was reset): unless the peer's DISCON has
    // arrived, the disconnect is a failure (237), also after an end of stream.
    void Broke();

    // The next event for the program: T_DATA, T_ORDREL, T_DISCONNECT or 0.
    int Peek();
    // Payload bytes of the current unit ready to be copied now.
    std::size_t DataReady() const;
    // Bytes of the current frame not yet delivered.
    std::size_t DataLeft() const { return dataLeft_; }
    // Copies up to n bytes of the current unit; returns the count and
    // stores the flags t_rcv reports.
    std::size_t TakeData(std::span<unsigned char> out, int& flags);
    // Takes the orderly release at the front.
    void TakeOrdRel();
    // Takes the disconnect, discarding whatever is unread before it.
    int TakeDisconnect();

    bool Ended() const { return ended_; }

  private:
    void Scan();
    void Compact();

    std::unique_ptr<unsigned char[]> buf_;
    std::size_t pos_ = 0;   // delivery cursor
    std::size_t end_ = 0;   // end of the bytes read
    std::size_t scan_ = 0;  // next header to judge; past end_ inside a payload
    std::size_t frame_ = 0; // header of the last frame judged (pos_ once delivery is past it)
    bool scanSawOrdRel_ = false;
    bool inData_ = false;      // a DATA frame's payload is being delivered
    std::size_t dataLeft_ = 0; // its bytes not yet delivered
    std::uint8_t dataFlags_ = 0;
    bool ended_ = false;     // the connection has nothing more to give
    std::size_t endPos_ = 0; // where the disconnect stands in the stream
    int reason_ = 0;
    bool byFrame_ = false; // the peer's DISCON frame ended it
};

// Units gathered for one write to the connection: they go out together when
// no more fit, and whenever the endpoint flushes them (before a wait for the
// peer, with a unit without T_MORE, a release or a disconnect, at a push, a
// module change, a fork, t_close and exit).
class Outbound {
  public:
    static constexpr std::size_t CAPACITY = 64 * 1024;

    // Queues one frame; flushes first when it does not fit.
    SysResult Queue(int fd, FrameType type, std::uint8_t flags,
                    std::span<const unsigned char> payload);
    // Queues a DATA unit of any size: pieces of at most 65535 bytes, all but
    // the last with T_MORE.
    SysResult QueueUnit(int fd, std::span<const unsigned char> data, bool more);
    // Sends everything queued (a failure drops the queue).
    SysResult Flush(int fd);
    bool Empty() const { return len_ == 0; }
    void Drop() { len_ = 0; }
    // How long sends have waited for room, within the endpoint's limit.
    SendClock clock;

  private:
    std::unique_ptr<unsigned char[]> buf_;
    std::size_t len_ = 0;
};

// A caller whose CONNECT is still being read.
struct PendingCaller {
    int fd = -1;
    std::uint32_t source = 0; // the caller's IPv4 address, network order
    std::chrono::steady_clock::time_point deadline;
    std::array<unsigned char, sizeof(HandshakeFrame)> buf{};
    std::size_t have = 0;
};

// A caller that sent a valid CONNECT.
struct Indication {
    int fd = -1;
    std::uint32_t source = 0; // the caller's IPv4 address, network order
    std::chrono::steady_clock::time_point arrived;
    Call call;
};

// Callers of a listening TCP endpoint, read side by side.
class TcpListening final : public Listening {
  public:
    explicit TcpListening(int listenFd);
    ~TcpListening() override;
    bool Serve(Wait wait) override;
    std::optional<std::chrono::steady_clock::time_point> FirstReady() const override;
    Call Report() override;
    bool Reported(int sequence) const override;
    bool Outstanding() const override { return !reported_.empty(); }
    Joined Accept(int sequence, int fd) override;
    void Refuse(int sequence) override;
    int PollFd() const override { return listenFd_; }
    void Share(int acceptFd, int watchFd) override;

  private:
    // Reads what the caller has sent. True while it may still become a
    // valid caller; on completion moves it to ready.
    bool ReadCaller(PendingCaller& c);
    // Takes the callers the kernel has for the listening socket.
    void AcceptCallers(std::chrono::steady_clock::time_point now);
    void CloseAll();
    // The indication t_listen reported with sequence (never 0); nullptr when
    // none.
    Indication* Find(int sequence);
    // Closes the reported indication's caller and forgets it.
    void Forget(Indication* indication);
    // Takes a caller whose CONNECT is whole: ready, or held while its
    // address has its place in ready filled.
    void Complete(const Indication& indication);
    // A caller of source has left ready: its oldest held caller takes the place.
    void TakenFrom(std::uint32_t source);
    // Closes the oldest handshake of the address with the most handshakes
    // and forgets it (pending must not be empty).
    void DropBusiest();
    // Closes the oldest handshake of source and forgets it (there must be one).
    void DropOldest(std::uint32_t source);
    // Whether a new caller can be taken from the kernel: not while every
    // slot holds a valid caller (those in the kernel's queue wait there).
    bool Room() const;

    int listenFd_;
    int watchFd_;             // what Serve waits on: listenFd_, or a set holding it
    bool ownsListen_ = false; // listenFd_ is a copy of the endpoint's socket
    std::vector<PendingCaller> pending_;
    std::deque<Indication> ready_;     // complete, not yet reported by t_listen
    std::deque<Indication> held_;      // complete, beyond their address's place in ready
    std::vector<Indication> reported_; // reported, not yet accepted or refused
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
    std::size_t slots_;       // handshakes and held callers at most
    std::size_t sourceShare_; // handshakes of one address at most
};

// An endpoint's own TCP socket (the endpoint's descriptor itself) while no
// connection has it.
class TcpBinding final : public Binding {
  public:
    explicit TcpBinding(int fd) : fd_(fd) {}

    TliResult Bind(std::uint16_t socket, bool listening, ipxAddr_t& local) override;
    std::unique_ptr<Listening> Listen() override;
    TliResult Unbind() override;
    Joined Connect(const ipxAddr_t& to) override;
    void Yield() override { taken_ = true; }
    void Path(spx_path& path) const override;

  private:
    // Gives the descriptor a fresh, unconnected socket in place of the old one.
    bool ReplaceSocket();

    int fd_;
    bool taken_ = false; // a connection has had the socket: a fresh one comes first
};

// One connection on TCP: its socket (the endpoint's descriptor), the frames
// read ahead and the units gathered.
class TcpConnection final : public Connection {
  public:
    explicit TcpConnection(int fd);

    // Calls ipv4 at port over the socket, not connected yet, and waits for
    // the answer: done with theirs and peer filled, or TLOOK with the
    // disconnect pending.
    TliResult Call(std::uint32_t ipv4, std::uint16_t port, SPX_OPTS& theirs, ipxAddr_t& peer);
    // This end's SPX options (connection id, allocation number).
    SPX_OPTS Options() const;

    int Peek() override { return in_.Peek(); }
    std::size_t DataReady() const override { return in_.DataReady(); }
    std::size_t DataLeft() const override { return in_.DataLeft(); }
    std::size_t TakeData(std::span<unsigned char> out, int& flags) override {
        return in_.TakeData(out, flags);
    }
    void TakeOrdRel() override { in_.TakeOrdRel(); }
    int TakeDisconnect() override { return in_.TakeDisconnect(); }
    bool Ended() const override { return in_.Ended(); }
    bool Fill(Wait wait) override { return in_.Fill(fd_, wait); }

    SysResult QueueUnit(std::span<const unsigned char> data, bool more) override {
        return out_.QueueUnit(fd_, data, more);
    }
    SysResult Flush() override { return out_.Flush(fd_); }
    SysResult SendOrdRel() override;
    void Disconnect() override;
    void Broke() override;
    void SetLimit(Wait limit) override;
    void Release() override { static_cast<void>(Flush()); }
    ipxAddr_t Local() const override;
    void Path(spx_path& path) const override;

  private:
    // Leaves the disconnect of a failed call pending, and why it failed
    // (what the peer at ipv4 and port did) as the error detail. TLOOK.
    TliResult CallFailed(int reason, std::uint32_t ipv4, std::uint16_t port, const char* why);
    // Waits for the listener's ACCEPT or DISCON: 0, or the disconnect reason.
    int AwaitAccept(SPX_OPTS& options, const char*& why);

    int fd_;
    std::uint16_t connectionId_;
    Inbound in_;
    Outbound out_;
};

// Socket helpers.
int NewSocket();             // TCP, close-on-exec; -1 with errno
void TuneConnection(int fd); // keep-alive, no delay
bool WaitWritable(int fd, Wait wait);
bool SetBlocking(int fd, bool blocking);

// Address mapping.
ipxAddr_t HostAddress(std::uint16_t port);  // first interface, or loopback
ipxAddr_t SocketAddress(int fd, bool peer); // from getsockname/getpeername
// IPv4 address and port of an IPX address; false when the node is not one.
bool ToInet(const ipxAddr_t& addr, std::uint32_t& ipv4, std::uint16_t& port);

} // namespace spx
