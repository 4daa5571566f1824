// One SPX connection as a pure state machine: packets in, the program's calls
// in, time in; packets out, TLI events out, the next deadline out. It never
// touches a socket or reads a clock: every call that depends on time takes
// `now`. The shell around it (packet socket, epoll, timerfd) does this:
//
//   - every SPX packet its socket filter lets through: Decode, then Input;
//   - after every call on the connection: PopOutput until it is empty and
//     send what it returns (header, packet and padding as iovecs);
//   - wake at NextDeadline and call Tick.
//
// SPX as it is defined:
//   - Set-up. The caller sends a connection request (system, ack requested,
//     dest id FFFF) to the listener's socket. The answering endpoint has a
//     socket of its own: its reply (system, both ids) comes from that socket,
//     and the caller takes the reply's source address (network, node,
//     socket) as the peer's address from then on. The reply asks for an
//     acknowledgement and is repeated until the caller answers, so a lost
//     reply is mended by the answering endpoint itself; the listener only has
//     to ignore a repeated request (same source address and connection id)
//     for a connection it has already answered.
//   - SPX II: the request and the reply carry the SPX II bits and, in the
//     extended header, a packet size: the caller offers what its interface
//     carries, the answer is the smaller of that and the answerer's own.
//     An answer (or a request) without them is SPX I: 576-byte packets, no
//     SPX II bits. Every packet of an SPX II connection has the 14-byte
//     header.
//   - Sequence numbers count data packets only (system packets consume none)
//     and start at 0; acknowledge = the next sequence expected; allocation =
//     the highest sequence the receiver can take, so the window is
//     allocation - acknowledge + 1 packets.
//   - Retransmission: an RTT estimate (smoothed RTT + 4 x variation, Karn's
//     rule), doubled at each time-out; after retryLimit time-outs in a row
//     the connection fails (237). The receiver acknowledges at once when asked
//     to (a packet it already acknowledged only when its last acknowledgement
//     is rtoMin / 2 old: a copy the link made needs none), when a hole closes,
//     and when its window opens. A hole is named at once by a negative
//     acknowledgement (a system packet naming the first packet missing; twice
//     when its first copy also acknowledges packets before the hole) when a
//     second packet has passed it, or when a filled hole leaves the next one
//     with packets past it. An acknowledgement that repeats the last number
//     names the first packet not acknowledged as missing: the sender resends
//     it at once, and again when the hole is
//     still there after the repair wait; each acknowledgement that then moves
//     but stops short of what was sent resends the next hole.
//   - Watchdog: whenever nothing has come from the peer for watchdogInterval,
//     a watchdog packet (system, ack requested) goes out; when nothing has
//     come for watchdogAbort the peer is dead and the connection fails (237).
//   - Informed disconnect: a packet of datastream type FE, sequenced after
//     all data sent before it (so the peer reads that data first, as over
//     TCP), answered by a system packet of type FF. The peer sees 236.
//   - Abortive end: nothing is sent; the peer's watchdog finds it (237).
//
// TLI's orderly release uses what SPX II added for it: a packet of datastream
// type FC (orderly release request), without data, sequenced and
// acknowledged like data, so it is ordered after every unit sent before it
// and retransmitted like them. Its acknowledgement is the acknowledge number
// that passes it (an FD packet that arrives is taken as an acknowledgement
// too). t_sndrel then t_rcvrel on both sides leaves both idle, as over TCP;
// a disconnect after a release is an FE sequenced after the FC. A peer that
// knows only SPX I sees FC as a packet of a client-defined datastream type.
//
// Timers (Config, defaults in brackets):
//   rtoInitial [500 ms]     the first retransmission time-out, before any RTT
//                           is measured (the set-up gives the first sample);
//                           also the connection request's and the reply's
//   rtoMin [20 ms], rtoMax [4 s]  bounds of the time-out: smoothed RTT + 4 x
//                           its variation, doubled at each time-out
//   retryLimit [12]         time-outs in a row before 237 (from 20 ms: about
//                           21 s; the watchdog usually finds a dead peer first)
//   connectRetries [6]      connection requests (or unanswered replies)
//                           before 237: 0.5 + 1 + 2 + 4 + 4 + 4 = 15.5 s
//   watchdogInterval [3 s]  silence after which a watchdog packet goes out,
//                           then one every interval while the silence lasts
//   watchdogAbort [20 s]    silence after which the peer is dead (237): a
//                           peer that vanishes is found at most 20 s after it
//                           was last heard; our own disconnect keeps trying
//                           until then or until the retransmissions run out
//   ackEvery [32]           a data packet asks for an acknowledgement at least
//                           this often (also the last one of a burst, the one
//                           that fills the peer's allocation, and resends)
//   window [512]            our allocation, in packets; also the number of
//                           packets that may wait unacknowledged (each way
//                           window x 1500 bytes of memory, allocated once)
//   repair wait             2 x smoothed RTT (at least 1 ms), doubling at
//                           each repair without progress, at most 8 and only
//                           while below the retransmission time-out
// With data waiting and the peer's allocation used up, a watchdog packet
// asks for the allocation after the retransmission time-out, doubling up to
// rtoMax, and counts no retry (the peer answers: it is alive, only full).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <spx/ipx.h>

#include "ipx/packet.h"

namespace spx::ipx {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;
using std::chrono::milliseconds;

class SpxConnection {
  public:
    struct Config {
        milliseconds rtoInitial{500};
        milliseconds rtoMin{20};
        milliseconds rtoMax{4000};
        unsigned retryLimit = 12;
        unsigned connectRetries = 6;
        milliseconds watchdogInterval{3000};
        milliseconds watchdogAbort{20000};
        std::uint16_t ackEvery = 32;
        std::uint16_t window = 512; // 1 to MAX_WINDOW
        // The largest IPX packet the interface carries (its MTU less what
        // the frame type puts before the packet), 576 to MAX_PACKET.
        std::uint16_t maxPacket = MAX_PACKET;
        bool spx2 = true; // offer and take SPX II; false: an SPX I end
    };
    static constexpr std::uint16_t MAX_WINDOW = 8192; // well inside half the sequence space

    // A connection's life. SetUp: the caller's request or the answering
    // end's reply goes out until the other end answers. Established: data
    // both ways. ReleaseSent, ReleaseReceived: one end's release (ours, or
    // the peer's, arrived in sequence) and data the other way. Closing: both
    // released; the last packets go on until acknowledged (Quiescent).
    // Ended: disconnected or failed (DisconnectReason), or given up.
    enum class State : std::uint8_t {
        SetUp,
        Established,
        ReleaseSent,
        ReleaseReceived,
        Closing,
        Ended,
    };

    struct Counters {
        std::uint64_t packetsIn = 0, packetsOut = 0, retransmitted = 0;
        std::uint64_t dataIn = 0, dataOut = 0; // bytes of the programs' units
        std::array<std::uint64_t, static_cast<std::size_t>(DropReason::Count)> dropped{};
    };

    // A caller: queues the connection request to `remote` (the listener's
    // address). myConnId is the shell's choice: unpredictable, never 0 or
    // FFFF, so that packets of an earlier connection are told apart.
    static SpxConnection Caller(const ipxAddr_t& local, const ipxAddr_t& remote,
                                std::uint16_t myConnId, const Config& config, Time now);

    // An answering endpoint at `local` (its own socket) for a connection
    // request that the listener received: queues the reply. Empty when the
    // packet is no connection request (system, dest id FFFF, no data).
    // `timed`: the reply goes (or went, at now) once, so the caller's answer
    // gives the first round trip; false when it went more than once or when
    // is unknown (Karn's rule: no sample then).
    static std::optional<SpxConnection> Answer(const ipxAddr_t& local, const SpxPacket& request,
                                               std::uint16_t myConnId, const Config& config,
                                               Time now, bool timed = true);

    SpxConnection(SpxConnection&&) noexcept = default;
    SpxConnection& operator=(SpxConnection&&) noexcept = default;

    // --- the wire side ---

    // Every packet that the filter let through for this connection. A packet
    // that is not taken is counted under its DropReason and otherwise ignored.
    void Input(const SpxPacket& packet, Time now);

    // Timers: retransmission, watchdog, giving up.
    void Tick(Time now);

    // When Tick must run next; empty when no timer runs (the connection has
    // ended and nothing is left to send).
    std::optional<Time> NextDeadline() const;

    // The next packet to put on the wire (IPX header first), or an empty span
    // when nothing is due. The bytes stay valid until a call of any other
    // member, so a batch of packets can go out in one sendmmsg.
    std::span<const std::uint8_t> PopOutput(Time now);

    // True once nothing sent remains unacknowledged and nothing is due: the
    // shell may forget a connection that has ended or closed and is
    // quiescent. (Until then it keeps driving it, so that a unit, a release
    // or a disconnect sent just before the program closes still arrives.)
    bool Quiescent() const;

    // --- the program's side ---

    State GetState() const { return state_; }
    int DisconnectReason() const { return reason_; } // 236, 237; 0 while none
    // A disconnect has arrived (236 or 237): t_snd and t_sndrel fail with
    // TLOOK, TakeDisconnect may take it even with data unread before it.
    bool DisconnectArrived() const { return disAt_.has_value(); }

    // Bytes that SendUnit takes now: 0 when the send window is full. A
    // zero-byte unit is taken whenever SendRoom() > 0.
    std::size_t SendRoom() const;

    // Queues bytes of a unit (one t_snd) in packets of up to PacketSize():
    // with `more` (T_MORE) it runs on in the open packet that the units
    // before it left; without, it starts a packet of its own and its last
    // packet has end of message. Returns the bytes taken: all of them when
    // data.size() <= SendRoom(); fewer when the window is full, in which case
    // the unit goes on with the rest (call again once there is room). A unit
    // of zero bytes is one empty data packet of its own, with end of message
    // unless `more`.
    std::size_t SendUnit(std::span<const std::uint8_t> data, bool more, Time now);

    // Lets the last packet go out although it has room left: SendUnit keeps
    // a packet open for the next unit sent with T_MORE (t_snd without
    // T_MORE, a release, a disconnect or Push close it).
    void Push();

    // The IPX packet size the two ends agreed on (576 with an SPX I peer),
    // and whether both speak SPX II; before the reply, what was offered.
    std::size_t PacketSize() const { return packet_; }
    bool Spx2() const { return spx2_; }

    // t_sndrel: an FC packet after everything queued. Established only.
    void SendRelease(Time now);

    // t_snddis: an FE packet after everything queued; the state is Ended at
    // once for the program, with no reason of its own (0) and nothing more
    // delivered; the packets go on until acknowledged (Quiescent).
    void Disconnect(Time now);

    // Ends at once without a word to the peer.
    void Abort();

    // What the program meets next, in the order things arrived: data, the
    // peer's release, a disconnect (the stack tells the program T_DATA,
    // T_ORDREL, T_DISCONNECT), or nothing yet.
    enum class Event : std::uint8_t { None, Data, Release, Disconnect };
    Event Next() const;

    // t_rcv: copies up to out.size() bytes of the next packet. `more` is set
    // (T_MORE) unless the piece ends a packet with end of message: a unit sent
    // without T_MORE arrives as a piece of its own, as over TCP; the pieces
    // of a run of units sent with T_MORE may join them. Returns the count (0
    // for an empty unit, or when Next() is not Data).
    std::size_t Take(std::span<std::uint8_t> out, bool& more);

    // t_rcvrel: takes the peer's release (Next() is Release).
    void TakeRelease();

    // t_rcvdis: discards whatever is unread and returns the reason (236 or
    // 237); 0 when no disconnect has arrived.
    int TakeDisconnect();

    const ipxAddr_t& Peer() const { return peer_; }
    const ipxAddr_t& Local() const { return local_; }
    SPX_OPTS PeerOptions() const;  // the peer's connection id and allocation
    SPX_OPTS LocalOptions() const; // ours
    const Counters& GetCounters() const { return counters_; }

  private:
    struct SendSlot {
        std::uint16_t length = 0; // the whole IPX packet
        std::array<std::uint8_t, MAX_PACKET> bytes;
    };
    struct RecvSlot {
        std::uint64_t seq = 0; // which packet the slot holds, when full
        bool full = false;
        std::uint8_t control = 0;
        std::uint16_t length = 0, offset = 0; // data bytes; bytes already taken
        std::array<std::uint8_t, MAX_DATA> data;
    };

    SpxConnection(const ipxAddr_t& local, const ipxAddr_t& peer, std::uint16_t myId,
                  const Config& config, Time now);

    // Sequence numbers are kept as 64-bit counts that never wrap, starting at
    // FIRST (0 on the wire) so that a number from before the start has a
    // place too; the wire carries their low 16 bits, and an incoming number
    // is placed next to the count it belongs to.
    static constexpr std::uint64_t FIRST = 0x10000;
    static std::uint64_t Near(std::uint64_t base, std::uint16_t wire);
    std::uint64_t Allocation() const; // the highest sequence we can take

    bool Accepts(const SpxPacket& p) const;
    void TakeAck(const SpxPacket& p, Time now);
    void TakeSequenced(const SpxPacket& p, Time now);
    void TakeEnd(const SpxPacket& p, std::uint64_t seq);
    void Advance();
    void PeerDisconnected();
    // The caller before the reply: the peer's socket and id are not known yet.
    bool Calling() const { return state_ == State::SetUp && peerId_ == UNKNOWN_CONNECTION; }
    bool MaySendData() const {
        return state_ == State::Established || state_ == State::ReleaseReceived;
    }
    void Drop(DropReason r);
    void Answered(Time now);
    void NothingDue();
    void Fail();
    void WindowOpened();
    void StopSending();
    void ArmTimer(Time now);
    void Sample(Time now);
    milliseconds RtoEstimate() const;
    std::chrono::microseconds RepairWait() const;
    void Repair();
    void TickWatchdog(Time now);
    // A packet of this connection from us to the peer (ack and allocation
    // are stamped when it goes out).
    SpxPacket Ours(std::uint8_t control, std::uint8_t datastream, std::uint16_t dstConn,
                   std::uint64_t seq) const;
    std::size_t QueuePacket(std::uint8_t datastream, std::uint8_t control,
                            std::span<const std::uint8_t> data);
    std::span<const std::uint8_t> Control(std::uint8_t control, std::uint8_t datastream,
                                          std::uint16_t dstConn, Time now);
    std::size_t DataMax() const { // SPX II's header has the negotiation size
        return packet_ - IPX_HEADER - SPX_HEADER - (spx2_ ? NEGOTIATION_FIELD : 0);
    }
    std::size_t Append(std::span<const std::uint8_t> data); // to the open packet
    std::span<const std::uint8_t> SendSlotAt(std::uint64_t seq, bool resend, Time now);
    bool MaySend(std::uint64_t seq) const;
    void Stamp(std::span<std::uint8_t, MAX_PACKET> bytes, bool askAck, Time now);

    Config config_;
    ipxAddr_t local_{}, peer_{};
    std::uint16_t myId_ = 0, peerId_ = UNKNOWN_CONNECTION;
    State state_ = State::SetUp;
    bool spx2_ = false;                  // both ends speak SPX II
    std::uint16_t packet_ = SPX1_PACKET; // the negotiated packet size
    int reason_ = 0;
    Counters counters_;

    // Sending: slots [sndUna_, sndEnd_) hold packets not yet acknowledged,
    // [sndNxt_, sndEnd_) those never sent. window_ + 2 slots: data fills at
    // most window_, the release and the disconnect have one each.
    std::vector<SendSlot> send_;
    std::uint64_t sndUna_ = FIRST, sndNxt_ = FIRST, sndEnd_ = FIRST;
    std::uint64_t peerAlloc_ = FIRST;
    std::optional<std::uint64_t> resend_;
    unsigned sinceAckAsked_ = 0;
    bool open_ = false; // the last queued packet waits for more of a T_MORE run

    // Receiving: [rcvRead_, rcvNext_) arrived in order and wait for the
    // program; out-of-order packets wait in their slots up to Allocation().
    std::vector<RecvSlot> recv_;
    std::uint64_t rcvRead_ = FIRST, rcvNext_ = FIRST;
    std::optional<std::uint64_t> relSeq_, disSeq_; // the peer's FC and FE
    std::optional<std::uint64_t> disAt_;           // where the disconnect is read
    std::uint64_t advertised_ = 0;                 // the allocation last sent
    std::uint64_t ackedTo_ = FIRST;                // the acknowledge number last sent
    Time ackedAt_{};                               // when
    std::uint64_t rcvHigh_ = FIRST;                // past the highest data packet taken
    unsigned passed_ = 0;                          // packets taken past the hole

    // Packets due that are not in the send ring.
    bool requestDue_ = false, replyDue_ = false;
    bool ackDue_ = false, holeAckDue_ = false, probeDue_ = false, disconAckDue_ = false;
    bool probeAnswerDue_ = false; // a system packet of ours asked for an acknowledgement
    // Room for every kind of them at once (at most six in one batch of
    // PopOutput), so that a batch's spans all stay valid.
    std::array<std::array<std::uint8_t, MAX_PACKET>, 8> control_{};
    unsigned controlNext_ = 0;

    // Timers.
    std::optional<Time> timer_;       // retransmission, connection set-up or persist
    milliseconds rto_;
    unsigned retries_ = 0;
    bool setUpTimed_ = true; // the set-up's answer may give the first round trip
    std::int64_t srttUs_ = -1, rttvarUs_ = 0, minRttUs_ = -1;
    std::optional<std::uint64_t> timedSeq_;
    Time timedAt_{}, resentAt_{};
    Time lastHeard_{}, lastProbe_{};
    std::optional<std::uint64_t> resentSeq_; // the last packet sent again
    std::optional<std::uint64_t> recover_;   // in recovery until this is acknowledged
    std::optional<Time> repairAt_; // the hole's resend is taken as lost then
    unsigned repairs_ = 0;   // resends of the hole without progress
    bool repairing_ = false; // resending on the peer's word, not a time-out
};

// The packet a listener sends to refuse a connection request (t_snddis with
// a call): an FE from `local` to the caller, dest id the caller's. The
// caller's t_connect then fails with a disconnect of reason 236.
SpxPacket RefusalOf(const SpxPacket& request, const ipxAddr_t& local);

} // namespace spx::ipx
