// What the stack knows, as text: its interfaces, endpoints and connections,
// and what it dropped and why.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "stack.h"

namespace spx::stack {

std::string AddressText(const ipxAddr_t& a) {
    char t[40];
    std::snprintf(t, sizeof t, "%08X:%02X%02X%02X%02X%02X%02X:%04X", ipx::NetOf(a), a.node[0],
                  a.node[1], a.node[2], a.node[3], a.node[4], a.node[5], ipx::SockOf(a));
    return t;
}

namespace {

constexpr const char* DROP_NAMES[] = {"undecodable frame", "no such socket", "no such connection",
                                      "door full", "local queue full"};
static_assert(std::size(DROP_NAMES) == static_cast<std::size_t>(Drop::Count));

} // namespace

std::string IfaceLine(const Iface& i) {
    char line[160];
    const auto& m = i.mac;
    std::snprintf(line, sizeof line,
                  "interface %s network %08X frame %s mac %02x:%02x:%02x:%02x:%02x:%02x mtu %d "
                  "link %s",
                  i.conf.interface.c_str(), i.conf.network,
                  std::string(ipx::FrameTypeName(i.conf.frame)).c_str(), m[0], m[1], m[2], m[3],
                  m[4], m[5], i.mtu, LinkUp(i) ? "up" : "down");
    return line;
}

void Stack::Info(Client& c) {
    std::string text;
    for (auto& i : ifaces_) {
        CountKernelDrops(i);
        text += IfaceLine(i) + " frames in " + std::to_string(i.framesIn) + " out " +
                std::to_string(i.framesOut) + " not read for want of room " +
                std::to_string(i.kernelDrops) + ", requests " + std::to_string(i.doorDrops) + "\n";
    }
    for (const auto& [socket, l] : listeners_) {
        char line[160];
        std::snprintf(line, sizeof line, "listener socket %04X qlen %u waiting %zu reported %zu\n",
                      socket, l.qlen, l.waiting.size(), l.reported.size());
        text += line;
    }
    char door[128];
    std::snprintf(door, sizeof door, "door half-open %zu evicted %llu expired %llu\n", door_.Size(),
                  static_cast<unsigned long long>(door_.Evicted()),
                  static_cast<unsigned long long>(door_.Expired()));
    text += door;
    auto connDrops = connDrops_;
    for (const auto& [id, conn] : conns_) {
        conn->s.AddDrops(connDrops);
        std::string rtt = "-";
        if (conn->setUp) {
            char t[32];
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(*conn->setUp - conn->started);
            std::snprintf(t, sizeof t, "%.3f ms", static_cast<double>(us.count()) / 1000.0);
            rtt = t;
        }
        text += "connection " + AddressText(conn->s.Local()) + " " + AddressText(conn->s.Peer()) +
                " " + conn->s.Describe() + " set-up round trip " + rtt +
                (conn->client < 0 ? " (no endpoint)" : "") + "\n";
    }
    text += "dropped";
    for (std::size_t i = 0; i < drops_.size(); ++i)
        text += std::string(i ? ", " : " ") + DROP_NAMES[i] + " " + std::to_string(drops_[i]);
    for (std::size_t i = 1; i < connDrops.size(); ++i)
        text += std::string(", ") + ipx::DropReasonName(static_cast<ipx::DropReason>(i)) + " " +
                std::to_string(connDrops[i]);
    text += "\n";
    while (!text.empty()) { // whole lines, each record at most MAX_CONTROL
        std::size_t n = std::min(text.size(), MAX_CONTROL);
        if (n < text.size()) {
            const auto nl = text.rfind('\n', n - 1);
            n = nl == std::string::npos ? n : nl + 1;
        }
        Send(c, Prim::InfoAck, 0, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), n));
        text.erase(0, n);
    }
    Send(c, Prim::InfoAck, 0, {});
}

} // namespace spx::stack
