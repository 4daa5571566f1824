// What the TLI layer asks of a carrier. A carrier moves one endpoint's SPX
// connection over something real (TCP, or IPX packets on an Ethernet); the
// TLI calls keep the states, the events and t_errno, and reach the carrier
// only through the interfaces here, one for each phase of an endpoint: a
// Binding (what binds, listens and calls), a Listening (the callers of a
// listening endpoint) and a Connection (what an established one does).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include <sys/uio.h>

#include <spx/ipx.h>

struct spx_path;

namespace spx {

// How long a call of the provider may wait: so long (zero: not at all), or
// until something happens (UNTIL_SOMETHING).
using Wait = std::optional<std::chrono::milliseconds>;
inline constexpr Wait NO_WAIT = std::chrono::milliseconds(0);
inline constexpr Wait UNTIL_SOMETHING = std::nullopt;

// The time-out poll(2) takes for wait: -1 for none.
int PollTimeout(Wait wait);

using Clock = std::chrono::steady_clock;

// What a step comes to that the TLI calls report as t_errno: done, or the
// t_errno value (errno set besides for TSYSERR). True when it failed.
struct [[nodiscard]] TliResult {
    int terr = 0;
    constexpr TliResult() = default;
    constexpr explicit TliResult(int t) : terr(t) {}
    constexpr explicit operator bool() const { return terr != 0; }
};

// What a step on the system comes to: done, or its errno. True when it
// failed.
struct [[nodiscard]] SysResult {
    int err = 0;
    constexpr SysResult() = default;
    constexpr explicit SysResult(int e) : err(e) {}
    constexpr explicit operator bool() const { return err != 0; }
};
// Neither passes for the other, nor for a plain number.
static_assert(!std::is_convertible_v<int, TliResult> && !std::is_convertible_v<TliResult, int> &&
              !std::is_constructible_v<TliResult, SysResult> &&
              !std::is_constructible_v<SysResult, TliResult>);

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
// until deadline, or as clock allows when one is given. Done, or an errno
// (ETIMEDOUT when the time ran out with part of it unwritten, EPIPE when the
// peer has closed its end, which takes nothing more). The vectors are
// consumed.
SysResult SendAll(int fd, std::span<iovec> iov, std::optional<Clock::time_point> deadline,
                  SendClock* clock = nullptr);

// Adds fd to the epoll set, to wake it when fd is readable. False, with
// errno, when it cannot.
bool WatchReadable(int set, int fd);

// A caller reported by t_listen.
struct Call {
    int sequence = 0;
    ipxAddr_t addr{};
    SPX_OPTS options{};
};

// An established connection on a carrier (or a call that ended before it
// was one: its disconnect pending). It stands at the endpoint's descriptor.
class Connection {
  public:
    virtual ~Connection() = default;

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

    // Sending.
    // Queues one unit (pieces as the carrier needs).
    virtual SysResult QueueUnit(std::span<const unsigned char> data, bool more) = 0;
    // Puts queued units on their way.
    virtual SysResult Flush() = 0;
    virtual SysResult SendOrdRel() = 0;
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
    // This endpoint's own address on the connection.
    virtual ipxAddr_t Local() const = 0;
    // What the endpoint travels on (spx_getpath's path 0).
    virtual void Path(spx_path& path) const = 0;
    // What the carrier knows of the connection's end beyond its reason.
    virtual std::string_view Detail() const { return {}; }
};

// What a call or an accept comes to: a connection at the endpoint's
// descriptor, or the t_errno of why there is none. A refused or unanswered
// call (TLOOK) brings a connection all the same: it holds the disconnect.
struct [[nodiscard]] Joined {
    TliResult result{};
    std::unique_ptr<Connection> connection{};
    SPX_OPTS theirs{}; // a call's: the peer's options and address
    ipxAddr_t peer{};
    bool notIpx = false; // a call through the stack: no stack, or no interface on the network
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
    // Moves the reported caller onto the descriptor fd (an idle endpoint's,
    // bound or not) and answers it: the connection that stands there now.
    virtual Joined Accept(int sequence, int fd) = 0;
    // Refuses the reported caller (reason 236) and forgets it.
    virtual void Refuse(int sequence) = 0;
    // The descriptor that becomes readable when a caller may have come.
    virtual int PollFd() const = 0;
    // How soon this one wants Serve called even when its descriptor stays
    // quiet (a carrier it is still to reach); UNTIL_SOMETHING: not.
    virtual Wait Due() const { return UNTIL_SOMETHING; }
    // Whether callers also come over IPX (a stack takes them for it).
    virtual bool OnIpx() const { return false; }
    // A listener on several carriers: from now on this one takes its callers
    // from acceptFd (which it then owns) and waits on watchFd, which is
    // readable when any carrier has something.
    virtual void Share(int acceptFd, int watchFd) = 0;
};

// An endpoint before a connection has it: its own socket on TCP, which
// binds, listens and calls. Every endpoint binds on TCP; an IPX connection
// comes from a call through the stack or from a caller on IPX.
class Binding {
  public:
    virtual ~Binding() = default;
    // Binds socket (0: the carrier chooses); listening makes a listening
    // endpoint. Writes the endpoint's own address.
    virtual TliResult Bind(std::uint16_t socket, bool listening, ipxAddr_t& local) = 0;
    // The callers of a listening endpoint bound with Bind.
    virtual std::unique_ptr<Listening> Listen() = 0;
    // Undoes Bind: a fresh socket at the descriptor, whatever stood there.
    virtual TliResult Unbind() = 0;
    // Calls to and waits for the answer.
    virtual Joined Connect(const ipxAddr_t& to) = 0;
    // A connection has taken the descriptor: the next bind or call needs a
    // fresh socket.
    virtual void Yield() = 0;
    // What the endpoint stands on while no connection has it (spx_getpath).
    virtual void Path(spx_path& path) const = 0;
};

// ---- the carriers' entry points ----------------------------------------------

// TCP (transport/tcp/): a new endpoint's descriptor, a TCP socket, and its
// binding in binding; -1 with errno when no socket can be had.
int NewTcpEndpoint(std::unique_ptr<Binding>& binding);

// IPX, through the host's stack (transport/stacklink/).
// Calls to through the stack; the endpoint fd becomes the stack connection.
// Done: connected; TLOOK: refused or unanswered, the disconnect pending;
// another t_errno: failed (errno for TSYSERR), the detail set.
Joined CallOverStack(int fd, const ipxAddr_t& to);
// The callers on IPX socket `socket` of the stack's interfaces. While no
// stack runs, or it has no interface, it asks again every few seconds, and
// a stack that ends is asked again the same way. Null with the t_errno in
// result when the stack refused the socket.
std::unique_ptr<Listening> ListenOverStack(std::uint16_t socket, unsigned qlen, TliResult& result);

// A listening endpoint on two carriers at once: fd (where first stands)
// becomes a descriptor that wakes for both as soon as second has a
// descriptor (at once, or when it reaches its carrier later); callers come
// in arrival order.
std::unique_ptr<Listening> ListenOnBoth(int fd, std::unique_ptr<Listening> first,
                                        std::unique_ptr<Listening> second, TliResult& result);

// The text t_error prints for the last failure when a carrier knows more
// than t_errno says (the interface file's line, a missing privilege).
// Cleared at the start of every call.
void SetErrorDetail(std::string_view text);
void ClearErrorDetail();

// Process-wide numbers the carriers share.
std::uint16_t NewConnectionId();
int NextSequence();

} // namespace spx
