// One SPX connection as a pure state machine.
#include "ipx/spx_connection.h"

namespace spx::ipx {

SpxConnection::SpxConnection(const ipxAddr_t& local, const ipxAddr_t& peer, std::uint16_t,
                             const Config& config, Time)
    : config_(config), local_(local), peer_(peer) {}

SpxConnection SpxConnection::Caller(const ipxAddr_t& local, const ipxAddr_t& remote,
                                    std::uint16_t myConnId, const Config& config, Time now) {
    return SpxConnection(local, remote, myConnId, config, now);
}

std::optional<SpxConnection> SpxConnection::Answer(const ipxAddr_t&, const SpxPacket&,
                                                   std::uint16_t, const Config&, Time) {
    return std::nullopt;
}

void SpxConnection::Input(const SpxPacket&, Time) {}
void SpxConnection::Tick(Time) {}
std::optional<Time> SpxConnection::NextDeadline() const { return std::nullopt; }
std::span<const std::uint8_t> SpxConnection::PopOutput(Time) { return {}; }
bool SpxConnection::Quiescent() const { return true; }
bool SpxConnection::ReleaseArrived() const { return false; }
std::size_t SpxConnection::SendRoom() const { return 0; }
std::size_t SpxConnection::SendUnit(std::span<const std::uint8_t>, bool, Time) { return 0; }
void SpxConnection::SendRelease(Time) {}
void SpxConnection::Disconnect(Time) {}
void SpxConnection::Abort() {}
int SpxConnection::Peek() const { return 0; }
std::size_t SpxConnection::Take(std::span<std::uint8_t>, int& flags) { return flags = 0, 0; }
void SpxConnection::TakeRelease() {}
int SpxConnection::TakeDisconnect() { return 0; }
SPX_OPTS SpxConnection::PeerOptions() const { return {}; }
SPX_OPTS SpxConnection::LocalOptions() const { return {}; }

SpxPacket RefusalOf(const SpxPacket& request, const ipxAddr_t& local) {
    SpxPacket p;
    p.dst = request.src;
    p.src = local;
    p.datastream = DS_DISCON;
    p.dstConn = request.srcConn;
    return p;
}

} // namespace spx::ipx
