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

Door::Answer Door::Request(const SpxPacket& p, const ipxAddr_t& local, std::size_t iface,
                           std::uint16_t myId, Time now) {
    if ((p.control & ipx::CC_SYSTEM) == 0 || p.dstConn != ipx::UNKNOWN_CONNECTION ||
        p.srcConn == 0 || p.srcConn == ipx::UNKNOWN_CONNECTION || p.datastream != ipx::DS_DATA)
        return {Verdict::NotRequest};
    const auto known = byCaller_.find(KeyOf(p.src, p.srcConn));
    if (known != byCaller_.end())
        return {Verdict::Repeat, &*known->second};
    auto& fromThere = perSource_[NodeOf(p.src)];
    if (fromThere >= config_.perSource)
        return {Verdict::SourceFull};
    ++fromThere; // before an eviction, which may erase another node's count
    if (order_.size() >= std::max<std::size_t>(config_.total, 1)) {
        Erase(order_.begin());
        ++evicted_;
    }
    HalfOpen call;
    call.caller = p.src;
    call.local = local;
    call.callerId = p.srcConn;
    call.callerAlloc = p.allocation;
    call.myId = myId;
    call.iface = iface;
    call.answered = now;
    const auto it = order_.insert(order_.end(), call);
    byId_[myId] = it;
    byCaller_[KeyOf(p.src, p.srcConn)] = it;
    return {Verdict::New, &*it};
}

std::optional<HalfOpen> Door::Complete(const SpxPacket& p) {
    const auto found = byId_.find(p.dstConn);
    if (found == byId_.end())
        return std::nullopt;
    const auto it = found->second;
    if (p.srcConn != it->callerId || !ipx::SameAddress(p.src, it->caller) ||
        ipx::SockOf(p.dst) != ipx::SockOf(it->local))
        return std::nullopt;
    HalfOpen call = *it;
    Erase(it);
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

SpxPacket ReplyOf(const HalfOpen& call, std::uint16_t window) {
    SpxPacket p;
    p.dst = call.caller;
    p.src = call.local;
    p.control = ipx::CC_SYSTEM | ipx::CC_SEND_ACK;
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
    p.control = ipx::CC_SYSTEM | ipx::CC_SEND_ACK;
    p.datastream = ipx::DS_DATA;
    p.srcConn = call.callerId;
    p.dstConn = ipx::UNKNOWN_CONNECTION;
    p.allocation = call.callerAlloc;
    return p;
}

} // namespace spx::stack
