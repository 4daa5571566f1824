// The provider's per-process state of an endpoint: its TLI state, the
// frames read ahead from the connection, the units gathered for sending,
// its module stack and, on a listening endpoint, the callers being read.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <spx/ipx.h>
#include <spx/stropts.h>

#include <spx/wire.h>

namespace spx {

// How long a call of the provider may wait: so long (zero: not at all), or
// until something happens (UNTIL_SOMETHING).
using Wait = std::optional<std::chrono::milliseconds>;
inline constexpr Wait NO_WAIT = std::chrono::milliseconds(0);
inline constexpr Wait UNTIL_SOMETHING = std::nullopt;

// The time-out poll(2) takes for wait: -1 for none.
int PollTimeout(Wait wait);

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
    std::size_t pos_ = 0;  // delivery cursor
    std::size_t end_ = 0;  // end of the bytes read
    std::size_t scan_ = 0; // next header to judge; past end_ inside a payload
    std::size_t frame_ = 0; // header of the last frame judged (pos_ once delivery is past it)
    bool scanSawOrdRel_ = false;
    bool inData_ = false;      // a DATA frame's payload is being delivered
    std::size_t dataLeft_ = 0; // its bytes not yet delivered
    std::uint8_t dataFlags_ = 0;
    bool ended_ = false;        // the connection has nothing more to give
    std::size_t endPos_ = 0;    // where the disconnect stands in the stream
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

    // Queues one frame; flushes first when it does not fit. 0, or an errno.
    int Queue(int fd, FrameType type, std::uint8_t flags, std::span<const unsigned char> payload);
    // Queues a DATA unit of any size: pieces of at most 65535 bytes, all but
    // the last with T_MORE. 0, or an errno.
    int QueueUnit(int fd, std::span<const unsigned char> data, bool more);
    // Sends everything queued. 0, or an errno (the queue is then dropped).
    int Flush(int fd);
    bool Empty() const { return len_ == 0; }
    void Drop() { len_ = 0; }

private:
    std::unique_ptr<unsigned char[]> buf_;
    std::size_t len_ = 0;
};

// The module stack above the driver: "timod" at open. Only "timod" and
// "tirdwr" can be pushed.
class ModuleStack {
public:
    ModuleStack();
    int Count() const { return count_ + 1; } // modules plus the driver
    std::string_view Top() const;
    bool Pop();
    bool Push(std::string_view name);
    bool TliUsable() const { return count_ > 0 && modules_[count_ - 1] == Module::Timod; }
    bool ReadWrite() const { return count_ > 0 && modules_[count_ - 1] == Module::Tirdwr; }

private:
    enum class Module : std::uint8_t { Timod, Tirdwr };
    static constexpr int DEPTH = 8;
    std::array<Module, DEPTH> modules_{};
    int count_ = 0;
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
    int sequence = 0;
    int fd = -1;
    std::uint32_t source = 0; // the caller's IPv4 address, network order
    ipxAddr_t addr{};
    SPX_OPTS options{};
};

// Callers of a listening endpoint, read side by side.
struct Listener {
    std::vector<PendingCaller> pending;
    std::deque<Indication> ready;     // complete, not yet reported by t_listen
    std::deque<Indication> held;      // complete, beyond their address's place in ready
    std::vector<Indication> reported; // reported, not yet accepted or refused
    int nextSequence = 1;
    std::chrono::steady_clock::time_point acceptPausedUntil{};

    ~Listener();
    void CloseAll();
    // The indication t_listen reported with sequence (never 0); nullptr when
    // none.
    Indication* Reported(int sequence);
    // Closes the reported indication's caller and forgets it.
    void Forget(Indication* indication);
    // Accepts and reads callers, waiting as long as wait allows for progress.
    // False when a caught signal cut the wait short.
    bool Serve(int listenFd, Wait wait);
    // Takes a caller whose CONNECT is whole: ready, or held while its
    // address has its place in ready filled.
    void Complete(const Indication& indication);
    // A caller of source has left ready: its oldest held caller takes the place.
    void TakenFrom(std::uint32_t source);
    // Closes the oldest handshake of the address with the most handshakes
    // and forgets it (pending must not be empty).
    void DropBusiest();
};

struct Endpoint {
    int fd = -1;
    int state = 0;
    bool connected = false; // the socket carries (or carried) a connection
    std::uint16_t connectionId = 0;
    ipxAddr_t local{};
    Inbound in;
    Outbound out;
    ModuleStack modules;
    std::unique_ptr<Listener> listener;

    SPX_OPTS Options() const;
    // A send failed: the connection is gone. A DISCON the peer sent before
    // going is taken at its word; otherwise the connection failed.
    void SendFailed();
    // Puts queued units on their way (before a wait for the peer, a module
    // change, a push); a failure is SendFailed, and false.
    bool FlushQueued();
};

// The endpoint of fd in this process, or null with t_errno = TBADF.
Endpoint* FindEndpoint(int fd);
// Registers a new endpoint for fd.
Endpoint& AddEndpoint(int fd);
// Forgets fd's endpoint.
void RemoveEndpoint(int fd);
// Sends every endpoint's queued units (before fork and at exit).
void FlushAll();

// Socket helpers.
int NewSocket();                 // TCP, close-on-exec; -1 with errno
void TuneConnection(int fd);     // keep-alive, no delay
bool WaitWritable(int fd, Wait wait);
std::uint16_t NewConnectionId();

// Address mapping.
ipxAddr_t HostAddress(std::uint16_t port);               // first interface, or loopback
ipxAddr_t SocketAddress(int fd, bool peer);              // from getsockname/getpeername
// IPv4 address and port of an IPX address; false when the node is not one.
bool ToInet(const ipxAddr_t& addr, std::uint32_t& ipv4, std::uint16_t& port);

} // namespace spx
