// What the TLI layer asks of a carrier. A carrier moves one endpoint's SPX
// connection over something real (TCP, or IPX packets on an Ethernet); the
// TLI calls keep the states, the events and t_errno, and reach the carrier
// only through the two interfaces here: a Link (one endpoint's binding and
// connection) and a Listening (the callers of a listening endpoint).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include <sys/uio.h>

#include <spx/ipx.h>

namespace spx {

// How long a call of the provider may wait: so long (zero: not at all), or
// until something happens (UNTIL_SOMETHING).
using Wait = std::optional<std::chrono::milliseconds>;
inline constexpr Wait NO_WAIT = std::chrono::milliseconds(0);
inline constexpr Wait UNTIL_SOMETHING = std::nullopt;

// The time-out poll(2) takes for wait: -1 for none.
int PollTimeout(Wait wait);

using Clock = std::chrono::steady_clock;

// How long a sender has been kept waiting for room: from the first write
// that had to wait until SEND_BLOCK bytes have gone since, or a write found
// room at once. The limit (-t)
// bounds that whole wait, so that a peer that takes a packet now and then
// cannot hold a sender for longer, however many units it sends meanwhile.
struct SendClock {
    static constexpr std::size_t SEND_BLOCK = 64 * 1024;
    Wait limit = UNTIL_SOMETHING;
    std::optional<Clock::time_point> since;
    std::size_t sent = 0;
    std::optional<Clock::time_point> Until() const;
    void Waited();
    void Sent(std::size_t n);
};

// Writes all of iov to the socket fd without blocking it, waiting for room
// until deadline, or as clock allows when one is given. 0, or an errno
// (ETIMEDOUT when the time ran out with part of it unwritten, EPIPE when the
// peer has closed its end, which takes nothing more). The vectors are
// consumed.
int SendAll(int fd, std::span<iovec> iov, std::optional<Clock::time_point> deadline,
            SendClock* clock = nullptr);

// Adds fd to the epoll set, to wake it when fd is readable. False, with
// errno, when it cannot.
bool WatchReadable(int set, int fd);

struct Endpoint;

// A caller reported by t_listen.
struct Call {
    int sequence = 0;
    ipxAddr_t addr{};
    SPX_OPTS options{};
};

// The callers of a listening endpoint on one carrier (or on several).
class Listening {
  public:
    virtual ~Listening() = default;
    // Reads callers, waiting as long as wait allows for progress. False
    // when a caught signal cut the wait short.
    virtual bool Serve(Wait wait) = 0;
    // When the first caller ready for t_listen came; none when none is.
    virtual std::optional<std::chrono::steady_clock::time_point> FirstReady() const = 0;
    // Reports the first ready caller (FirstReady must have said one is).
    virtual Call Report() = 0;
    // Whether a reported caller with sequence is still to be settled.
    virtual bool Reported(int sequence) const = 0;
    // Whether any reported caller is still to be settled.
    virtual bool Outstanding() const = 0;
    // Moves the reported caller onto res (idle, bound or not) and answers
    // it. 0, or a t_errno value (errno set for TSYSERR).
    virtual int Accept(int sequence, Endpoint& res) = 0;
    // Refuses the reported caller (reason 236) and forgets it.
    virtual void Refuse(int sequence) = 0;
    // The descriptor that becomes readable when a caller may have come.
    virtual int PollFd() const = 0;
    // How soon this one wants Serve called even when its descriptor stays
    // quiet (a carrier it is still to reach); UNTIL_SOMETHING: not.
    virtual Wait Due() const { return UNTIL_SOMETHING; }
    // A listener on several carriers: from now on this one takes its callers
    // from acceptFd (which it then owns) and waits on watchFd, which is
    // readable when any carrier has something.
    virtual void Share(int acceptFd, int watchFd) = 0;
};

// One endpoint's binding and connection on a carrier. The endpoint's
// descriptor number is fixed; what stands behind it is the carrier's.
class Link {
  public:
    virtual ~Link() = default;

    // Binds socket (0: the carrier chooses); listening makes a listening
    // endpoint. Writes the endpoint's own address. 0 or a t_errno value.
    virtual int Bind(std::uint16_t socket, bool listening, ipxAddr_t& local) = 0;
    // The callers of a listening endpoint bound with Bind.
    virtual std::unique_ptr<Listening> Listen() = 0;
    // Undoes Bind. 0 or a t_errno value.
    virtual int Unbind() = 0;
    // Calls to and waits for the answer. 0 with theirs and peer filled; a
    // t_errno value: TLOOK leaves a disconnect pending.
    virtual int Connect(const ipxAddr_t& to, SPX_OPTS& theirs, ipxAddr_t& peer) = 0;
    // This endpoint's own address now.
    virtual ipxAddr_t Local() const = 0;
    // This endpoint's SPX options (connection id, allocation number).
    virtual SPX_OPTS Options() const = 0;

    // Receiving, in the order things arrived.
    // The next event: T_DATA, T_ORDREL, T_DISCONNECT or 0.
    virtual int Peek() = 0;
    // Bytes of the current unit's piece ready now, and not yet delivered.
    virtual std::size_t DataReady() const = 0;
    virtual std::size_t DataLeft() const = 0;
    // Copies up to out's size of the current piece; stores t_rcv's flags.
    virtual std::size_t TakeData(std::span<unsigned char> out, int& flags) = 0;
    virtual void TakeOrdRel() = 0;
    // Takes the disconnect, discarding what is unread before it; its reason.
    virtual int TakeDisconnect() = 0;
    // The connection has nothing more to give: a disconnect is pending.
    virtual bool Ended() const = 0;
    // Waits as long as wait allows for the peer. Whether anything came.
    virtual bool Fill(Wait wait) = 0;

    // Sending. Each returns 0 or an errno.
    // Queues one unit (pieces as the carrier needs).
    virtual int QueueUnit(std::span<const unsigned char> data, bool more) = 0;
    // Puts queued units on their way (0 also when not connected).
    virtual int Flush() = 0;
    virtual int SendOrdRel() = 0;
    // The abortive end (t_snddis): queued units, then the disconnect.
    virtual void Disconnect() = 0;
    // A send failed: the connection is gone (a disconnect the peer sent
    // before going is taken at its word, otherwise reason 237).
    virtual void Broke() = 0;

    // The limit of silence (t_rcv) and of a send's whole wait for room
    // (t_snd); none when UNTIL_SOMETHING.
    virtual void SetLimit(Wait limit) = 0;
    // This process lets the endpoint go (t_close, exit). The last holder of
    // a connection ends it (the peer sees 236).
    virtual void Release() = 0;
    // Which carrier: a new connection on another carrier needs a new link.
    virtual bool Ipx() const = 0;
    // What the carrier knows of the connection's end beyond its reason.
    virtual std::string_view Detail() const { return {}; }
};

// ---- the carriers' entry points ----------------------------------------------

// TCP (transport/tcp/): a link on fd, which is a TCP socket already, or
// which gets a fresh one in place of what it holds (fresh).
std::unique_ptr<Link> NewTcpLink(int fd, bool fresh);
// A new endpoint's descriptor, a TCP socket, and its link in link; -1 with
// errno when no socket can be had.
int NewTcpEndpoint(std::unique_ptr<Link>& link);

// IPX, through the host's stack (transport/stacklink/).
struct StackCall {
    // 0: connected; TLOOK: refused or unanswered, the disconnect pending;
    // another t_errno: failed (errno for TSYSERR), the detail set.
    int terr = 0;
    bool notIpx = false;        // no stack runs, or it has no interface on the network
    std::unique_ptr<Link> link; // on 0 and TLOOK: the link that now stands at fd
    SPX_OPTS theirs{};
    ipxAddr_t peer{};
};
// Calls to through the stack; the endpoint fd becomes the stack connection.
StackCall CallOverStack(int fd, const ipxAddr_t& to);
// The callers on IPX socket `socket` of the stack's interfaces. While no
// stack runs, or it has no interface, it asks again every few seconds, and
// a stack that ends is asked again the same way. Null with a t_errno value
// in terr when the stack refused the socket.
std::unique_ptr<Listening> ListenOverStack(std::uint16_t socket, unsigned qlen, int& terr);

// A listening endpoint on two carriers at once: fd (where first stands)
// becomes a descriptor that wakes for both as soon as second has a
// descriptor (at once, or when it reaches its carrier later); callers come
// in arrival order.
std::unique_ptr<Listening> ListenOnBoth(int fd, std::unique_ptr<Listening> first,
                                        std::unique_ptr<Listening> second, int& terr);

// The text t_error prints for the last failure when a carrier knows more
// than t_errno says (the interface file's line, a missing privilege).
// Cleared at the start of every call.
void SetErrorDetail(std::string_view text);
void ClearErrorDetail();

// Process-wide numbers the carriers share.
std::uint16_t NewConnectionId();
int NextSequence();

} // namespace spx
