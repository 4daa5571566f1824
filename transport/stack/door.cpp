// The stack's door: half-open calls, bounded, expiring, completed by the
// caller's acknowledgement.
#include "door.h"

#include <algorithm>
#include <cstring>

namespace spx::stack {

using ipx::SpxPacket;

Door::Key Door::KeyOf(const ipxAddr_t& a, std::uint16_t id) {
    Key k{};
    std::memcpy(k.data(), &a, sizeof a);
    k[12] = static_cast<std::uint8_t>(id >> 8);
    k[13] = static_cast<std::uint8_t>(id);
    return k;
}

Door::Node Door::NodeOf(const ipxAddr_t& a) {
    Node n{};
    std::memcpy(n.data(), a.node, n.size());
    return n;
}

void Door::Erase(std::list<HalfOpen>::iterator it) {
    byId_.erase(it->myId);
    byCaller_.erase(KeyOf(it->caller, it->callerId));
    const auto source = perSource_.find(NodeOf(it->caller));
    if (source != perSource_.end() && --source->second == 0)
        perSource_.erase(source);
    order_.erase(it);
}

namespace {

std::uint64_t Mix(std::uint64_t h, std::uint64_t v) {
    h ^= v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    return h ^ (h >> 33);
}

// The call a caller's packet names: its request, or (by the cookie) its first
// packet after the reply, whose SPX II bits and size are those the reply
// agreed on, so that the connection reads them back as the request's offer.
HalfOpen CallOf(const SpxPacket& p, const ipxAddr_t& local, Door::Spare mine, std::size_t iface,
                Time now) {
    HalfOpen call;
    call.caller = p.src;
    call.local = local;
    call.callerId = p.srcConn;
    call.callerAlloc = p.allocation;
    call.callerControl = p.control & (ipx::CC_SPX2 | ipx::CC_NEGOTIATE | ipx::CC_EXTENDED);
    call.offer = p.negotiation;
    call.myId = mine.id;
    call.mySocket = mine.socket;
    call.iface = iface;
    call.answered = now;
    return call;
}

} // namespace

Door::Spare Door::Cookie(const ipxAddr_t& caller, std::uint16_t callerId, std::uint16_t socket,
                         Time at, int slotsBack) const {
    const auto slot = at.time_since_epoch() / config_.cookieSlot - slotsBack;
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, &caller, 8);
    std::memcpy(&b, reinterpret_cast<const std::uint8_t*>(&caller) + 8, 4);
    std::uint64_t h = Mix(config_.secret[0], a);
    h = Mix(h, b << 32 | std::uint64_t{callerId} << 16 | socket);
    h = Mix(h ^ config_.secret[1], static_cast<std::uint64_t>(slot));
    constexpr unsigned SOCKET_BITS = 0x3FFF; // the dynamic range's 14
    static_assert(DYNAMIC_LAST - DYNAMIC_FIRST == SOCKET_BITS);
    return {static_cast<std::uint16_t>(h),
            static_cast<std::uint16_t>(DYNAMIC_FIRST + ((h >> 16) & SOCKET_BITS))};
}

template <std::size_t N>
std::size_t Door::Hash::operator()(const std::array<std::uint8_t, N>& k) const {
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, k.data(), std::min<std::size_t>(N, 8));
    if constexpr (N > 8)
        std::memcpy(&b, k.data() + 8, N - 8);
    return static_cast<std::size_t>(Mix(Mix(seed, a), b));
}

Door::Answer Door::Request(const SpxPacket& p, const ipxAddr_t& local, std::size_t iface, Time now,
                           const Taken& taken, const std::function<Spare()>& spare) {
    if ((p.control & ipx::CC_SYSTEM) == 0 || p.dstConn != ipx::UNKNOWN_CONNECTION ||
        p.srcConn == 0 || p.srcConn == ipx::UNKNOWN_CONNECTION || p.datastream != ipx::DS_DATA)
        return {Verdict::NotRequest};
    const Key key = KeyOf(p.src, p.srcConn);
    const auto known = byCaller_.find(key);
    if (known != byCaller_.end()) {
        known->second->timed = false;
        return {Verdict::Repeat, &*known->second};
    }
    Spare mine = Cookie(p.src, p.srcConn, ipx::SockOf(local), now, 0);
    const bool cookie =
        mine.id != 0 && mine.id != ipx::UNKNOWN_CONNECTION && !Holds(mine.id) && !taken(mine.id);
    const bool full = order_.size() >= std::max<std::size_t>(config_.total, 1);
    if (!cookie)
        mine = spare();
    const HalfOpen call = CallOf(p, local, mine, iface, now);
    if (full && cookie && now - order_.front().answered < config_.keep) {
        unrecorded_ = call; // its cookie completes it
        return {Verdict::New, &unrecorded_};
    }
    auto& fromThere = perSource_[NodeOf(p.src)];
    if (fromThere >= config_.perSource)
        return {Verdict::SourceFull};
    ++fromThere; // before an eviction, which may erase another node's count
    if (full) {
        Erase(order_.begin());
        ++evicted_;
    }
    const auto it = order_.insert(order_.end(), call);
    byId_[mine.id] = it;
    byCaller_[key] = it;
    return {Verdict::New, &*it};
}

std::optional<HalfOpen> Door::Complete(const SpxPacket& p, std::span<const std::uint16_t> listening,
                                       Time now) {
    if (p.dstConn == 0 || p.dstConn == ipx::UNKNOWN_CONNECTION)
        return std::nullopt;
    const auto found = byId_.find(p.dstConn);
    if (found == byId_.end()) {
        for (const std::uint16_t listener : listening)
            if (auto call = ByCookie(p, listener, now))
                return call;
        return std::nullopt;
    }
    const auto it = found->second;
    if (p.srcConn != it->callerId || !ipx::SameAddress(p.src, it->caller) ||
        ipx::SockOf(p.dst) != it->mySocket)
        return std::nullopt;
    HalfOpen call = *it;
    Erase(it);
    return call;
}

std::optional<HalfOpen> Door::ByCookie(const SpxPacket& p, std::uint16_t listener, Time now) const {
    if (p.sequence != 0 || p.acknowledge != 0 || p.datastream != ipx::DS_DATA || p.srcConn == 0 ||
        p.srcConn == ipx::UNKNOWN_CONNECTION)
        return std::nullopt;
    const std::uint16_t socket = ipx::SockOf(p.dst);
    const auto matches = [&](int slotsBack) {
        const Spare c = Cookie(p.src, p.srcConn, listener, now, slotsBack);
        return c.id == p.dstConn && c.socket == socket;
    };
    if (!matches(0) && !matches(1))
        return std::nullopt;
    ipxAddr_t local = p.dst;
    PutBE16(local.sock, listener);
    HalfOpen call = CallOf(p, local, {p.dstConn, socket}, 0, now);
    call.timed = false; // when its reply went is unknown
    return call;
}

void Door::Expire(Time now) {
    while (!order_.empty() && now - order_.front().answered >= config_.life) {
        Erase(order_.begin());
        ++expired_;
    }
}

std::optional<Time> Door::NextExpiry() const {
    if (order_.empty())
        return std::nullopt;
    return order_.front().answered + config_.life;
}

void Door::Forget(std::uint16_t socket) {
    for (auto it = order_.begin(); it != order_.end();) {
        const auto next = std::next(it);
        if (ipx::SockOf(it->local) == socket)
            Erase(it);
        it = next;
    }
}

ipxAddr_t LocalOf(const HalfOpen& call) {
    ipxAddr_t a = call.local;
    PutBE16(a.sock, call.mySocket);
    return a;
}

SpxPacket ReplyOf(const HalfOpen& call, std::uint16_t window, std::uint16_t maxPacket) {
    SpxPacket p;
    p.dst = call.caller;
    p.src = LocalOf(call);
    p.control = ipx::CC_SYSTEM | ipx::CC_SEND_ACK;
    if (call.callerControl & ipx::CC_SPX2) {
        const std::uint16_t offer =
            call.callerControl & ipx::CC_EXTENDED ? call.offer : ipx::SPX1_PACKET;
        p.control |= ipx::CC_SPX2 | ipx::CC_NEGOTIATE | ipx::CC_EXTENDED;
        p.negotiation = static_cast<std::uint16_t>(std::clamp<std::size_t>(
            std::min(offer, maxPacket), ipx::SPX1_PACKET, ipx::MAX_PACKET));
    }
    p.datastream = ipx::DS_DATA;
    p.srcConn = call.myId;
    p.dstConn = call.callerId;
    p.allocation = static_cast<std::uint16_t>(std::max<std::uint16_t>(window, 1) - 1);
    return p;
}

SpxPacket RequestOf(const HalfOpen& call) {
    SpxPacket p;
    p.dst = call.local;
    p.src = call.caller;
    p.control = static_cast<std::uint8_t>(ipx::CC_SYSTEM | ipx::CC_SEND_ACK | call.callerControl);
    p.negotiation = call.offer;
    p.datastream = ipx::DS_DATA;
    p.srcConn = call.callerId;
    p.dstConn = ipx::UNKNOWN_CONNECTION;
    p.allocation = call.callerAlloc;
    return p;
}

} // namespace spx::stack
