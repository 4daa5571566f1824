// A flood of forged SPX connection requests, for the tests and the benches:
// sends them on an interface through a packet socket as fast as it can,
// each from a random node (a locally administered unicast MAC address, the
// Ethernet source too), a random socket and a random connection id, to one
// listener, until the time is up or SIGTERM or SIGINT comes. Nobody ever
// acknowledges an answer.
//
//   spx_flood IF NETWORK NODE SOCKET SECONDS [FRAME]
//
// NETWORK is 8 hex digits (the callers' network too), NODE the listener's MAC
// address (12 hex digits), SOCKET 4 hex digits, FRAME one of the interface
// file's frame types (default ethernet_ii). Prints "flooding" once the
// socket is open, and at the end "sent N connection requests in S s".
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include "ipx/frame.h"
#include "ipx/packet.h"

namespace {

using namespace spx::ipx;

constexpr std::size_t BATCH = 64; // frames per sendmmsg

volatile std::sig_atomic_t stopped = 0;
void Stop(int) {
    stopped = 1;
}

// A packet socket bound to the interface, sending straight to the driver; -1 on failure.
int Open(const char* name) {
    const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = static_cast<int>(if_nametoindex(name));
    const int on = 1;
    setsockopt(s, SOL_PACKET, PACKET_QDISC_BYPASS, &on, sizeof on);
    return s >= 0 && sll.sll_ifindex != 0 &&
                   bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) == 0
               ? s
               : -1;
}

// Whether text is exactly N bytes in hex digits: then their value in out, first byte first.
template <std::size_t N> bool Hex(std::string_view text, std::array<std::uint8_t, N>& out) {
    if (text.size() != 2 * N || text.find_first_not_of("0123456789abcdefABCDEF") != text.npos)
        return false;
    for (std::size_t i = 0; i < N; ++i)
        out[i] =
            static_cast<std::uint8_t>(std::stoul(std::string(text.substr(2 * i, 2)), nullptr, 16));
    return true;
}

// One forged connection request to `to` from a random caller on the same network, framed.
std::size_t Forge(std::mt19937_64& random, const ipxAddr_t& to, FrameType frame, const Mac& dst,
                  std::span<std::uint8_t, MAX_FRAME> out) {
    const std::uint64_t r = random();
    SpxPacket p;
    p.dst = to;
    std::copy(std::begin(to.net), std::end(to.net), p.src.net);
    Mac node;
    for (std::size_t i = 0; i < node.size(); ++i)
        node[i] = static_cast<std::uint8_t>(r >> (8 * i));
    node[0] = static_cast<std::uint8_t>((node[0] & 0xFC) | 0x02); // local, unicast
    std::copy(node.begin(), node.end(), p.src.node);
    spx::PutBE16(p.src.sock, static_cast<std::uint16_t>(0x4000 | ((r >> 48) & 0x3FFF)));
    p.control = CC_SYSTEM | CC_SEND_ACK;
    p.srcConn = static_cast<std::uint16_t>(1 + (random() % 0xFFFE));
    p.dstConn = UNKNOWN_CONNECTION;
    std::array<std::uint8_t, MAX_PACKET> ipx;
    const std::size_t length = Encode(p, ipx);
    return EncodeFrame(frame, dst, node, std::span(ipx).first(length), out);
}

} // namespace

int main(int argc, char** argv) {
    std::array<std::uint8_t, 4> net{};
    Mac node{};
    std::array<std::uint8_t, 2> sock{};
    const auto frame = FrameTypeByName(argc == 7 ? argv[6] : "ethernet_ii");
    if ((argc != 6 && argc != 7) || !Hex(argv[2], net) || !Hex(argv[3], node) ||
        !Hex(argv[4], sock) || !frame || std::atoi(argv[5]) <= 0) {
        std::fprintf(stderr, "usage: spx_flood IF NETWORK NODE SOCKET SECONDS [FRAME]\n");
        return 2;
    }
    const int s = Open(argv[1]);
    if (s < 0) {
        std::perror("spx_flood: packet socket");
        return 1;
    }
    ipxAddr_t to{};
    std::copy(net.begin(), net.end(), to.net);
    std::copy(node.begin(), node.end(), to.node);
    std::copy(sock.begin(), sock.end(), to.sock);
    std::mt19937_64 random(std::random_device{}());
    std::array<std::array<std::uint8_t, MAX_FRAME>, BATCH> frames;
    std::array<iovec, BATCH> iov;
    std::array<mmsghdr, BATCH> msgs{};
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    std::printf("flooding\n");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(std::atoi(argv[5]));
    unsigned long long sent = 0;
    while (!stopped && std::chrono::steady_clock::now() < end) {
        for (std::size_t i = 0; i < BATCH; ++i) {
            iov[i] = {frames[i].data(), Forge(random, to, *frame, node, frames[i])};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = sendmmsg(s, msgs.data(), BATCH, 0);
        sent += static_cast<unsigned long long>(n > 0 ? n : 0);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("sent %llu connection requests in %.1f s\n", sent, took.count());
    return 0;
}
