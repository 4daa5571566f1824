// The stack's use of the SPX state machine.
#include "session.h"

#include <cstdio>

namespace spx::stack {

using ipx::SpxConnection;
using State = SpxConnection::State;

namespace {

SpxConnection::Config ConfigFor(std::uint16_t maxPacket) {
    SpxConnection::Config config;
    config.maxPacket = maxPacket;
    return config;
}

} // namespace

Session Session::Call(const ipxAddr_t& local, const ipxAddr_t& remote, std::uint16_t myId,
                      std::uint16_t maxPacket, Time now) {
    return Session(SpxConnection::Caller(local, remote, myId, ConfigFor(maxPacket), now));
}

Session Session::Answered(const HalfOpen& call, const ipx::SpxPacket& first,
                          std::uint16_t maxPacket, Time now) {
    // Answered when the reply went: the acknowledgement gives the first
    // round trip (unless the reply went twice, or by its cookie alone), and
    // no second reply goes out.
    auto c = SpxConnection::Answer(LocalOf(call), RequestOf(call), call.myId, ConfigFor(maxPacket),
                                   call.answered, call.timed);
    Session s(std::move(*c));
    s.c_.Input(first, now);
    return s;
}

bool Session::Connecting() const {
    return c_.GetState() == State::SetUp;
}

bool Session::Established() const {
    const State s = c_.GetState();
    return s == State::Established || s == State::ReleaseSent || s == State::ReleaseReceived;
}

bool Session::Ended() const {
    return c_.GetState() == State::Ended;
}

bool Session::Finished() const {
    const State s = c_.GetState();
    return (s == State::Ended || s == State::Closing) && c_.Quiescent();
}

std::size_t Session::SendRoom() const {
    return c_.DisconnectArrived() ? 0 : c_.SendRoom();
}

std::size_t Session::Send(std::span<const std::uint8_t> data, bool more, Time now) {
    return c_.SendUnit(data, more, now);
}

Event Session::Next() const {
    switch (c_.Next()) {
    case SpxConnection::Event::Data:
        return Event::Data;
    case SpxConnection::Event::Release:
        return Event::Release;
    case SpxConnection::Event::Disconnect:
        return Event::Disconnect;
    case SpxConnection::Event::None:
        break;
    }
    return Event::None;
}

std::size_t Session::Take(std::span<std::uint8_t> out, bool& more,
                          std::optional<std::size_t>& last) {
    std::size_t n = 0;
    more = false;
    last.reset();
    while (c_.Next() == SpxConnection::Event::Data) {
        const std::size_t before = n;
        n += c_.Take(out.subspan(n), more);
        if (!more && before > 0)
            last = n - before;
        if (!more || n == out.size())
            break;
    }
    return n;
}

std::string Session::Describe() const {
    static constexpr const char* NAMES[] = {"set-up",           "established", "release sent",
                                            "release received", "closing",     "ended"};
    const auto& k = c_.GetCounters();
    const auto local = c_.LocalOptions(), peer = c_.PeerOptions();
    char line[256];
    std::snprintf(
        line, sizeof line,
        "%s allocation %u/%u bytes in %llu out %llu packets in %llu out %llu "
        "retransmitted %llu",
        NAMES[static_cast<int>(c_.GetState())], GetBE16(local.spx_allocationNumber),
        GetBE16(peer.spx_allocationNumber), static_cast<unsigned long long>(k.dataIn),
        static_cast<unsigned long long>(k.dataOut), static_cast<unsigned long long>(k.packetsIn),
        static_cast<unsigned long long>(k.packetsOut),
        static_cast<unsigned long long>(k.retransmitted));
    return line;
}

void Session::AddDrops(std::span<std::uint64_t> into) const {
    const auto& d = c_.GetCounters().dropped;
    for (std::size_t i = 0; i < d.size() && i < into.size(); ++i)
        into[i] += d[i];
}

} // namespace spx::stack
