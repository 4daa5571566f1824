// One SPX connection as a pure state machine (see the header for the
// protocol and the timers).
#include "ipx/spx_connection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace spx::ipx {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;

constexpr std::uint16_t Wire(std::uint64_t seq) {
    return static_cast<std::uint16_t>(seq);
}

// The packet size two ends agree on: the smaller of what the peer offers
// (576 when it names no size) and what this end's interface carries.
std::uint16_t Agreed(const SpxPacket& offer, std::uint16_t ours) {
    const std::uint16_t theirs = offer.control & CC_EXTENDED ? offer.negotiation : SPX1_PACKET;
    return std::clamp<std::uint16_t>(std::min(theirs, ours), SPX1_PACKET, MAX_PACKET);
}

} // namespace

SpxConnection::SpxConnection(const ipxAddr_t& local, const ipxAddr_t& peer, std::uint16_t myId,
                             const Config& config, Time now)
    : config_(config), local_(local), peer_(peer), myId_(myId), rto_(config.rtoInitial),
      lastHeard_(now), lastProbe_(now) {
    config_.window = std::clamp<std::uint16_t>(config_.window, 1, MAX_WINDOW);
    config_.ackEvery = std::max<std::uint16_t>(config_.ackEvery, 1);
    config_.rtoMax = std::max(config_.rtoMax, config_.rtoMin);
    config_.maxPacket = std::clamp<std::uint16_t>(config_.maxPacket, SPX1_PACKET, MAX_PACKET);
    send_.resize(config_.window + 2u);
    recv_.resize(config_.window);
    advertised_ = Allocation();
}

SpxConnection SpxConnection::Caller(const ipxAddr_t& local, const ipxAddr_t& remote,
                                    std::uint16_t myConnId, const Config& config, Time now) {
    SpxConnection c(local, remote, myConnId, config, now);
    c.spx2_ = c.config_.spx2; // what is offered, until the reply says
    c.packet_ = c.spx2_ ? c.config_.maxPacket : SPX1_PACKET;
    c.requestDue_ = true;
    c.timer_ = now + c.rto_;
    c.timedAt_ = now; // the set-up gives the first RTT sample
    return c;
}

std::optional<SpxConnection> SpxConnection::Answer(const ipxAddr_t& local, const SpxPacket& request,
                                                   std::uint16_t myConnId, const Config& config,
                                                   Time now, bool timed) {
    if (!(request.control & CC_SYSTEM) || request.dstConn != UNKNOWN_CONNECTION ||
        request.srcConn == UNKNOWN_CONNECTION || request.datastream != DS_DATA)
        return std::nullopt;
    SpxConnection c(local, request.src, myConnId, config, now);
    c.peerId_ = request.srcConn;
    c.peerAlloc_ = Near(FIRST, request.allocation);
    c.spx2_ = c.config_.spx2 && (request.control & CC_SPX2);
    c.packet_ = c.spx2_ ? Agreed(request, c.config_.maxPacket) : SPX1_PACKET;
    c.replyDue_ = true;
    c.timer_ = now + c.rto_;
    c.timedAt_ = now;
    c.setUpTimed_ = timed;
    return c;
}

std::uint64_t SpxConnection::Near(std::uint64_t base, std::uint16_t wire) {
    const auto delta = static_cast<std::int16_t>(static_cast<std::uint16_t>(wire - Wire(base)));
    return base + static_cast<std::uint64_t>(std::int64_t{delta}); // base >= FIRST > 32768
}

std::uint64_t SpxConnection::Allocation() const {
    return rcvRead_ + recv_.size() - 1;
}

// --- input ---

// The packet belongs to this connection: its ids, and the peer's address
// (before the reply, the node the request went to: the answering endpoint
// has its own socket).
bool SpxConnection::Accepts(const SpxPacket& p) const {
    if (p.dstConn != myId_)
        return false;
    if (Calling())
        return (p.srcConn != UNKNOWN_CONNECTION || p.datastream == DS_DISCON) &&
               std::memcmp(p.src.node, peer_.node, sizeof peer_.node) == 0;
    return p.srcConn == peerId_ && SameAddress(p.src, peer_);
}

void SpxConnection::Input(const SpxPacket& p, Time now) {
    if (!Accepts(p))
        return Drop(DropReason::BadId);
    if (state_ == State::Ended &&
        !(disconAckDue_ || p.datastream == DS_DISCON || sndUna_ != sndEnd_))
        return Drop(DropReason::Unexpected);
    ++counters_.packetsIn;
    if (Calling()) {
        if (p.datastream == DS_DISCON) { // refused
            state_ = State::Ended;
            reason_ = SPX_DISCON_TERMINATED;
            disAt_ = rcvNext_;
            timer_.reset();
            return;
        }
        peer_ = p.src;
        peerId_ = p.srcConn;
        spx2_ = spx2_ && (p.control & CC_SPX2); // an SPX I answer: SPX I, 576 bytes
        packet_ = spx2_ ? Agreed(p, config_.maxPacket) : SPX1_PACKET;
        peerAlloc_ = Near(FIRST, p.allocation);
    }
    lastHeard_ = now;
    if (state_ == State::SetUp) { // the reply, or the caller's first word after it
        state_ = State::Established;
        requestDue_ = replyDue_ = false;
        Answered(now);
    }
    TakeAck(p, now);
    if (p.control & CC_SYSTEM) {
        if (p.datastream == DS_DISCON_ACK && state_ == State::Ended)
            StopSending(); // our disconnect arrived
        if (p.control & CC_SEND_ACK)
            ackDue_ = true;
        return;
    }
    TakeSequenced(p, now);
}

void SpxConnection::Drop(DropReason r) {
    ++counters_.dropped[static_cast<std::size_t>(r)];
}

// The peer has answered our request or reply: its set-up timer stops, and unless
// the request or reply went more than once the wait gives the first round trip.
void SpxConnection::Answered(Time now) {
    timer_.reset();
    if (retries_ == 0 && setUpTimed_)
        Sample(now);
    retries_ = 0;
    rto_ = RtoEstimate();
}

// The acknowledge and allocation numbers of any packet from the peer.
void SpxConnection::TakeAck(const SpxPacket& p, Time now) {
    const std::uint64_t ack = Near(sndUna_, p.acknowledge);
    if (ack < sndUna_ || ack > sndNxt_)
        return; // stale, or for packets never sent
    const std::uint64_t alloc = Near(ack, p.allocation);
    const bool moved = ack > sndUna_;
    if (moved) {
        if (timedSeq_ && ack > *timedSeq_)
            Sample(now);
        // Sooner than the resend could have been answered: the first sending of the
        // packet arrived after all (it was held back, not lost). No hole is left.
        if (recover_ && resentSeq_ && ack > *resentSeq_ && minRttUs_ > 0 &&
            now - resentAt_ < microseconds(minRttUs_ / 2))
            recover_.reset();
        sndUna_ = ack;
        retries_ = 0;
        rto_ = RtoEstimate();
        repairs_ = 0;
        repairAt_.reset();
        repairing_ = recover_ && ack < *recover_;
        if (recover_ && ack >= *recover_)
            recover_.reset();
        else if (recover_)
            resend_ = sndUna_; // a partial acknowledgement: the next hole
        timer_.reset();
        ArmTimer(now);
    } else if (std::exchange(probeAnswerDue_, false) || (p.control & CC_SEND_ACK)) {
        // The answer to our watchdog or probe, or the peer's own: no word of a hole.
    } else if ((p.control & CC_SYSTEM) && sndUna_ != sndNxt_ && alloc == peerAlloc_) {
        // A repeated acknowledgement (SPX II's negative acknowledgement): the receiver
        // has seen a hole (it names one only once a second packet has passed it, so
        // a packet held back behind the next is not taken for lost). Resend the
        // packet it lacks at once, and again if it still lacks it once the resend
        // should have arrived.
        if (resentSeq_ != sndUna_ || now - resentAt_ > RepairWait())
            Repair();
    }
    if (alloc + 1 >= ack) {
        const bool opened = alloc > peerAlloc_;
        peerAlloc_ = alloc;
        if (opened && sndUna_ == sndNxt_ && !moved)
            timer_.reset(); // the persist probe is no longer needed
    }
}

// A data, release or disconnect packet: in its slot, in order.
void SpxConnection::TakeSequenced(const SpxPacket& p, Time now) {
    const std::uint64_t seq = Near(rcvNext_, p.sequence);
    // A packet that asks is answered; a copy of one already acknowledged only when our
    // last acknowledgement is old enough to have gone missing (the sender's resend
    // after a time-out, not a copy the link made).
    if ((p.control & CC_SEND_ACK) && (seq >= rcvNext_ || now - ackedAt_ >= config_.rtoMin / 2))
        ackDue_ = true;
    if (state_ == State::Ended) {
        if (p.datastream != DS_DISCON)
            return Drop(seq < rcvNext_ ? DropReason::Duplicate : DropReason::Unexpected);
        disconAckDue_ = true; // our FF went missing, or both ends disconnect at once
        if (!disAt_)
            StopSending();
        return;
    }
    if (seq < rcvNext_)
        return Drop(DropReason::Duplicate);
    if (p.datastream == DS_ORDREL || p.datastream == DS_DISCON)
        return TakeEnd(p, seq);
    if (p.data.size() > MAX_DATA) // not from Decode: more than a slot holds
        return Drop(DropReason::BadLength);
    if (seq > Allocation() || (relSeq_ && seq >= *relSeq_) || (disSeq_ && seq >= *disSeq_)) {
        ackDue_ = true;
        return Drop(seq > Allocation() ? DropReason::OutOfWindow : DropReason::Unexpected);
    }
    RecvSlot& slot = recv_[seq % recv_.size()];
    if (slot.full)
        return Drop(DropReason::Duplicate);
    slot.full = true;
    slot.seq = seq;
    // A sequenced FD or a client-defined type carries no unit boundary of ours.
    slot.control = p.datastream == DS_ORDREL_ACK ? 0 : p.control;
    slot.length = static_cast<std::uint16_t>(p.data.size());
    slot.offset = 0;
    std::copy(p.data.begin(), p.data.end(), slot.data.begin());
    counters_.dataIn += p.data.size();
    rcvHigh_ = std::max(rcvHigh_, seq + 1);
    if (seq != rcvNext_) {
        // Out of order. A packet only held back behind the next one fills the hole
        // at once: the hole is named when a second packet has passed it.
        if (++passed_ >= 2)
            holeAckDue_ = true;
        return;
    }
    Advance();
    if (rcvHigh_ > rcvNext_) {
        holeAckDue_ = true; // the hole filled, the next one is there with packets past it
    } else if (std::exchange(passed_, 0) > 0) {
        ackDue_ = true; // the hole closed: at once, so that the sender sees how soon
    }
}

// The peer's release (FC) or disconnect (FE): a place in the sequence, no slot.
void SpxConnection::TakeEnd(const SpxPacket& p, std::uint64_t seq) {
    std::optional<std::uint64_t>& mark = p.datastream == DS_ORDREL ? relSeq_ : disSeq_;
    if (!p.data.empty() || (mark && *mark != seq) || (relSeq_ && seq < *relSeq_))
        return Drop(DropReason::Unexpected);
    if (seq > Allocation() + 2) { // the release and the disconnect need no buffer
        ackDue_ = true;
        return Drop(DropReason::OutOfWindow);
    }
    if (mark)
        return Drop(DropReason::Duplicate);
    mark = seq;
    ackDue_ = true;
    Advance();
}

// Moves rcvNext_ over everything that has arrived in order.
void SpxConnection::Advance() {
    for (;;) {
        if (relSeq_ == rcvNext_) {
            state_ = state_ == State::ReleaseSent ? State::Closing : State::ReleaseReceived;
        } else if (disSeq_ == rcvNext_) {
            ++rcvNext_;
            return PeerDisconnected();
        } else {
            const RecvSlot& slot = recv_[rcvNext_ % recv_.size()];
            if (!slot.full || slot.seq != rcvNext_ || rcvNext_ > Allocation())
                return;
        }
        ++rcvNext_;
    }
}

void SpxConnection::PeerDisconnected() {
    state_ = State::Ended;
    reason_ = SPX_DISCON_TERMINATED;
    disAt_ = *disSeq_;
    disconAckDue_ = true;
    ackDue_ = false;
    StopSending();
}

// The peer stopped answering: whatever arrived in order is still read, then 237.
void SpxConnection::Fail() {
    if (state_ != State::Ended) { // after our own disconnect: end quietly
        state_ = State::Ended;
        reason_ = SPX_DISCON_FAILED;
        disAt_ = rcvNext_;
    }
    StopSending();
    NothingDue();
}

// Nothing more goes out but what is in the send ring (which StopSending empties).
void SpxConnection::NothingDue() {
    requestDue_ = replyDue_ = false;
    ackDue_ = holeAckDue_ = probeDue_ = disconAckDue_ = false;
}

void SpxConnection::StopSending() {
    sndUna_ = sndNxt_ = sndEnd_;
    resend_.reset();
    recover_.reset();
    repairAt_.reset();
    timedSeq_.reset();
    timer_.reset();
}

// --- timers ---

// Starts the retransmission (or persist) timer when something waits for it.
void SpxConnection::ArmTimer(Time now) {
    if (timer_ || state_ == State::SetUp)
        return;
    const bool outstanding = sndUna_ != sndNxt_;
    const bool blocked = sndNxt_ != sndEnd_ && !MaySend(sndNxt_);
    if (outstanding || blocked)
        timer_ = now + rto_;
}

void SpxConnection::Sample(Time now) {
    const std::int64_t r = duration_cast<microseconds>(now - timedAt_).count();
    timedSeq_.reset();
    minRttUs_ = minRttUs_ < 0 ? r : std::min(minRttUs_, r);
    if (srttUs_ < 0) {
        srttUs_ = r;
        rttvarUs_ = r / 2;
    } else {
        rttvarUs_ = (3 * rttvarUs_ + std::abs(srttUs_ - r)) / 4;
        srttUs_ = (7 * srttUs_ + r) / 8;
    }
}

milliseconds SpxConnection::RtoEstimate() const {
    if (srttUs_ < 0)
        return config_.rtoInitial;
    const auto rto = duration_cast<milliseconds>(microseconds(srttUs_ + 4 * rttvarUs_));
    return std::clamp(rto, config_.rtoMin, config_.rtoMax);
}

// How long a resent packet has to be acknowledged before it is taken as lost
// too: two round trips (at least 1 ms), doubled for each repair in a row.
microseconds SpxConnection::RepairWait() const {
    return microseconds(2 * std::max<std::int64_t>(srttUs_, 500)) * (1 << std::min(repairs_, 8u));
}

// Resends the first packet not acknowledged, which the peer has named missing.
void SpxConnection::Repair() {
    repairing_ = true;
    resend_ = sndUna_;
    recover_ = std::max(recover_.value_or(0), sndNxt_);
}

void SpxConnection::Tick(Time now) {
    if (repairAt_ && now >= *repairAt_) { // the resend of the hole went missing too
        repairAt_.reset();
        if (recover_ && sndUna_ != sndNxt_ && repairs_ < 8 && RepairWait() < rto_) {
            ++repairs_;
            resend_ = sndUna_;
        }
    }
    if (state_ != State::SetUp && (state_ != State::Ended || sndUna_ != sndEnd_))
        TickWatchdog(now);
    if (!timer_ || now < *timer_)
        return;
    timer_.reset();
    const bool setUp = state_ == State::SetUp;
    const bool outstanding = sndUna_ != sndNxt_;
    if (setUp || outstanding) {
        if (++retries_ >= (setUp ? config_.connectRetries : config_.retryLimit + 1))
            return Fail();
        requestDue_ = setUp && Calling();
        replyDue_ = setUp && !Calling();
        if (outstanding && !setUp) {
            repairing_ = false; // the time-out's own doubling takes over
            repairAt_.reset();
            resend_ = sndUna_;
            recover_ = sndNxt_;
        }
    } else if (sndNxt_ != sndEnd_ && !MaySend(sndNxt_)) {
        probeDue_ = true; // the peer's window is closed: ask for its allocation
    } else {
        return;
    }
    rto_ = std::min(rto_ * 2, config_.rtoMax);
    timer_ = now + rto_;
}

// Watchdog packets while the peer is silent; a peer silent too long is dead.
void SpxConnection::TickWatchdog(Time now) {
    if (now - lastHeard_ >= config_.watchdogAbort)
        return Fail();
    if (now - lastHeard_ >= config_.watchdogInterval &&
        now - lastProbe_ >= config_.watchdogInterval) {
        probeDue_ = true;
        lastProbe_ = now;
    }
}

std::optional<Time> SpxConnection::NextDeadline() const {
    std::optional<Time> next = timer_;
    if (repairAt_)
        next = std::min(next.value_or(Time::max()), *repairAt_);
    if (state_ != State::SetUp && (state_ != State::Ended || sndUna_ != sndEnd_)) {
        const Time probe = std::max(lastHeard_, lastProbe_) + config_.watchdogInterval;
        const Time dead = lastHeard_ + config_.watchdogAbort;
        next = std::min({next.value_or(Time::max()), probe, dead});
    }
    return next;
}

// --- output ---

// May the packet of this sequence go out: inside the peer's allocation (a
// release or disconnect packet, which needs no buffer, up to two beyond).
bool SpxConnection::MaySend(std::uint64_t seq) const {
    const SendSlot& slot = send_[seq % send_.size()];
    const bool end = slot.bytes[IPX_HEADER + offsetof(SpxHeaderWire, datastream)] != DS_DATA;
    return seq <= peerAlloc_ + (end ? 2 : 0);
}

// Writes the current acknowledge and allocation numbers into a packet.
void SpxConnection::Stamp(std::span<std::uint8_t, MAX_PACKET> bytes, bool askAck, Time now) {
    advertised_ = Allocation();
    ackedTo_ = rcvNext_;
    ackedAt_ = now;
    PutBE16(bytes.subspan<OFF_ACK, 2>(), Wire(rcvNext_));
    PutBE16(bytes.subspan<OFF_ALLOC, 2>(), Wire(advertised_));
    bytes[OFF_CONTROL] = static_cast<std::uint8_t>(askAck ? bytes[OFF_CONTROL] | CC_SEND_ACK
                                                          : bytes[OFF_CONTROL] & ~CC_SEND_ACK);
    ++counters_.packetsOut;
    ackDue_ = false;
}

SpxPacket SpxConnection::Ours(std::uint8_t control, std::uint8_t datastream, std::uint16_t dstConn,
                              std::uint64_t seq) const {
    SpxPacket p;
    p.dst = peer_;
    p.src = local_;
    p.control = static_cast<std::uint8_t>(control | (spx2_ ? CC_SPX2 | CC_EXTENDED : 0));
    p.negotiation = packet_;
    p.datastream = datastream;
    p.srcConn = myId_;
    p.dstConn = dstConn;
    p.sequence = Wire(seq);
    return p;
}

// A system packet (or FF) built in one of the control buffers.
std::span<const std::uint8_t> SpxConnection::Control(std::uint8_t control, std::uint8_t datastream,
                                                     std::uint16_t dstConn, Time now) {
    auto& out = control_[controlNext_++ % control_.size()];
    const std::size_t n = Encode(Ours(control, datastream, dstConn, sndNxt_), out);
    Stamp(out, control & CC_SEND_ACK, now);
    if (control & CC_SEND_ACK)
        probeDue_ = false, probeAnswerDue_ = true;
    return std::span<const std::uint8_t>(out).first(n);
}

std::span<const std::uint8_t> SpxConnection::SendSlotAt(std::uint64_t seq, bool resend, Time now) {
    SendSlot& slot = send_[seq % send_.size()];
    const bool end = slot.bytes[IPX_HEADER + offsetof(SpxHeaderWire, datastream)] != DS_DATA;
    const bool last = seq + 1 == sndEnd_ || seq >= peerAlloc_;
    const bool ask = resend || end || last || ++sinceAckAsked_ >= config_.ackEvery;
    if (ask) {
        sinceAckAsked_ = 0;
        probeDue_ = false;
        if (!resend && !timedSeq_) {
            timedSeq_ = seq;
            timedAt_ = now;
        }
    }
    if (resend) {
        ++counters_.retransmitted;
        resentAt_ = now;
        resentSeq_ = seq;
        if (seq == sndUna_ && repairing_)
            repairAt_ = now + RepairWait();
        timedSeq_.reset(); // Karn: an acknowledgement now may be for either sending
    }
    Stamp(slot.bytes, ask, now);
    ArmTimer(now);
    return std::span<const std::uint8_t>(slot.bytes).first(slot.length);
}

std::span<const std::uint8_t> SpxConnection::PopOutput(Time now) {
    // The request and the reply name the packet size (SPX II only).
    const auto negotiate = static_cast<std::uint8_t>(spx2_ ? CC_NEGOTIATE : 0);
    if (requestDue_) {
        requestDue_ = false;
        return Control(CC_SYSTEM | CC_SEND_ACK | negotiate, DS_DATA, UNKNOWN_CONNECTION, now);
    }
    if (replyDue_) {
        replyDue_ = false;
        return Control(CC_SYSTEM | CC_SEND_ACK | negotiate, DS_DATA, peerId_, now);
    }
    if (disconAckDue_) {
        disconAckDue_ = false;
        return Control(CC_SYSTEM, DS_DISCON_ACK, peerId_, now);
    }
    if (holeAckDue_) { // the negative acknowledgement: a system packet of its own
        // Its first copy may also acknowledge packets before the hole, which the
        // sender takes as progress: then a second copy shows the hole repeated.
        holeAckDue_ = ackedTo_ != rcvNext_;
        return Control(CC_SYSTEM, DS_DATA, peerId_, now);
    }
    if (resend_) {
        const std::uint64_t seq = *resend_;
        resend_.reset();
        if (seq >= sndUna_ && seq < sndNxt_)
            return SendSlotAt(seq, true, now);
    }
    // The open packet waits for more of its run, unless the window is full.
    const bool last = sndNxt_ + 1 == sndEnd_;
    const bool held = open_ && last && sndEnd_ - sndUna_ < config_.window;
    if (sndNxt_ != sndEnd_ && !held && MaySend(sndNxt_) && state_ != State::SetUp) {
        open_ = open_ && !last; // sent: nothing more is added to it
        return SendSlotAt(sndNxt_++, false, now);
    }
    ArmTimer(now);
    if (probeDue_)
        return Control(CC_SYSTEM | CC_SEND_ACK, DS_DATA, peerId_, now);
    if (ackDue_)
        return Control(CC_SYSTEM, DS_DATA, peerId_, now);
    return {};
}

bool SpxConnection::Quiescent() const {
    return state_ != State::SetUp && sndUna_ == sndEnd_ && !requestDue_ && !replyDue_ &&
           !ackDue_ && !holeAckDue_ && !probeDue_ && !disconAckDue_;
}

// --- the program's side ---

std::size_t SpxConnection::SendRoom() const {
    if (!MaySendData())
        return 0;
    const std::size_t used = static_cast<std::size_t>(sndEnd_ - sndUna_);
    if (used >= config_.window)
        return 0;
    const std::size_t open = open_ ? packet_ - send_[(sndEnd_ - 1) % send_.size()].length : 0;
    return (config_.window - used) * DataMax() + open;
}

// Puts a new packet at the end of the send ring; returns the data bytes taken.
std::size_t SpxConnection::QueuePacket(std::uint8_t datastream, std::uint8_t control,
                                       std::span<const std::uint8_t> data) {
    SendSlot& slot = send_[sndEnd_ % send_.size()];
    SpxPacket p = Ours(control, datastream, peerId_, sndEnd_);
    p.data = data.first(std::min(data.size(), DataMax()));
    slot.length = static_cast<std::uint16_t>(Encode(p, slot.bytes));
    ++sndEnd_;
    return p.data.size();
}

// Adds data to the open packet (the last queued, not yet sent); the bytes taken.
std::size_t SpxConnection::Append(std::span<const std::uint8_t> data) {
    SendSlot& slot = send_[(sndEnd_ - 1) % send_.size()];
    const std::size_t n = std::min<std::size_t>(data.size(), packet_ - slot.length);
    std::copy_n(data.begin(), n, slot.bytes.begin() + slot.length);
    slot.length = static_cast<std::uint16_t>(slot.length + n);
    PutBE16(std::span(slot.bytes).subspan<OFF_LENGTH, 2>(), slot.length);
    return n;
}

std::size_t SpxConnection::SendUnit(std::span<const std::uint8_t> data, bool more, Time) {
    if (SendRoom() == 0)
        return 0;
    // Units sent with T_MORE run on in one packet; a unit without T_MORE (an
    // end unit) starts a packet of its own and ends it with end of message,
    // so that it arrives as a piece of its own: the programs tell it from
    // the data before it by that. A unit of zero bytes is an empty packet of
    // its own, with end of message or (T_MORE) without, as over TCP.
    if (data.empty()) {
        open_ = false;
        QueuePacket(DS_DATA, more ? 0 : CC_EOM, {});
        return 0;
    }
    std::size_t taken = more && open_ ? Append(data) : 0;
    open_ = false;
    while (taken < data.size()) {
        if (sndEnd_ - sndUna_ >= config_.window)
            return counters_.dataOut += taken, taken; // the rest goes on in the next call
        taken += QueuePacket(DS_DATA, 0, data.subspan(taken));
    }
    SendSlot& last = send_[(sndEnd_ - 1) % send_.size()];
    if (!more)
        last.bytes[OFF_CONTROL] |= CC_EOM;
    open_ = more && last.length < packet_ && sndEnd_ - 1 >= sndNxt_;
    return counters_.dataOut += taken, taken;
}

void SpxConnection::Push() {
    open_ = false;
}

void SpxConnection::SendRelease(Time now) {
    if (!MaySendData())
        return;
    open_ = false;
    QueuePacket(DS_ORDREL, CC_EOM, {});
    state_ = state_ == State::ReleaseReceived ? State::Closing : State::ReleaseSent;
    ArmTimer(now);
}

void SpxConnection::Disconnect(Time now) {
    if (state_ == State::Ended)
        return;
    if (Calling())
        return Abort();
    open_ = false;
    QueuePacket(DS_DISCON, CC_EOM, {});
    state_ = State::Ended;
    reason_ = 0;
    rcvRead_ = rcvNext_;
    disAt_.reset();
    ArmTimer(now);
}

void SpxConnection::Abort() {
    state_ = State::Ended;
    disAt_.reset();
    rcvRead_ = rcvNext_;
    StopSending();
    NothingDue();
}

SpxConnection::Event SpxConnection::Next() const {
    if (disAt_ && rcvRead_ == *disAt_)
        return Event::Disconnect;
    if (rcvRead_ == rcvNext_)
        return Event::None;
    return relSeq_ == rcvRead_ ? Event::Release : Event::Data;
}

std::size_t SpxConnection::Take(std::span<std::uint8_t> out, bool& more) {
    more = false;
    if (Next() != Event::Data)
        return 0;
    // One packet at most: each unit starts a packet of its own, so a piece
    // never holds the end of one unit and the start of the next.
    RecvSlot& slot = recv_[rcvRead_ % recv_.size()];
    const std::size_t n = std::min<std::size_t>(slot.length - slot.offset, out.size());
    std::copy_n(slot.data.begin() + slot.offset, n, out.begin());
    slot.offset = static_cast<std::uint16_t>(slot.offset + n);
    if (slot.offset < slot.length) {
        more = true; // out is full
        return n;
    }
    slot.full = false;
    ++rcvRead_;
    WindowOpened();
    more = (slot.control & CC_EOM) == 0; // the unit goes on, or came with T_MORE
    return n;
}

// After the program has read: tell the peer when the window has opened by a
// quarter, or at all when it was closed.
void SpxConnection::WindowOpened() {
    if (state_ == State::Ended)
        return;
    if (Allocation() - advertised_ >= std::max<std::size_t>(recv_.size() / 4, 1) ||
        advertised_ < rcvNext_)
        ackDue_ = true;
}

void SpxConnection::TakeRelease() {
    if (Next() == Event::Release)
        ++rcvRead_;
}

int SpxConnection::TakeDisconnect() {
    if (!disAt_)
        return 0;
    rcvRead_ = *disAt_ + 1; // past the FE (or the point of failure)
    rcvNext_ = std::max(rcvNext_, rcvRead_);
    disAt_.reset();
    return reason_;
}

SPX_OPTS SpxConnection::PeerOptions() const {
    SPX_OPTS o;
    PutBE16(o.spx_connectionID, peerId_);
    PutBE16(o.spx_allocationNumber, Wire(peerAlloc_));
    return o;
}

SPX_OPTS SpxConnection::LocalOptions() const {
    SPX_OPTS o;
    PutBE16(o.spx_connectionID, myId_);
    PutBE16(o.spx_allocationNumber, Wire(Allocation()));
    return o;
}

SpxPacket RefusalOf(const SpxPacket& request, const ipxAddr_t& local) {
    SpxPacket p;
    p.dst = request.src;
    p.src = local;
    p.control = CC_SYSTEM;
    p.datastream = DS_DISCON;
    p.srcConn = UNKNOWN_CONNECTION;
    p.dstConn = request.srcConn;
    p.acknowledge = request.sequence;
    return p;
}

} // namespace spx::ipx
