// A lossy link for the tests: bridges every frame between two interfaces
// through packet sockets, dropping some, sending some twice and holding some
// back behind the next one (at most 10 ms: a frame held back is late, never
// lost).
//
//   lossy_relay IF1 IF2 DROP DUP REORDER SEED
//
// DROP, DUP and REORDER are per mille. Runs until killed.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A packet socket bound to the interface, taking every frame; -1 on failure.
int Open(const char* name) {
    const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(if_nametoindex(name));
    if (s < 0 || sll.sll_ifindex == 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0)
        return -1;
    // Room for a whole window of frames: the relay loses only what it means to.
    const int room = 8 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: lossy_relay IF1 IF2 DROP DUP REORDER SEED\n");
        return 2;
    }
    const int sock[2] = {Open(argv[1]), Open(argv[2])};
    if (sock[0] < 0 || sock[1] < 0) {
        std::perror("lossy_relay: packet socket");
        return 1;
    }
    const int drop = std::atoi(argv[3]), dup = std::atoi(argv[4]), reorder = std::atoi(argv[5]);
    std::mt19937 random(static_cast<unsigned>(std::atoi(argv[6])));
    std::uniform_int_distribution<int> mille(0, 999);
    // Per direction, the frame held back behind the next one, and since when.
    std::optional<std::vector<unsigned char>> held[2];
    std::chrono::steady_clock::time_point heldSince[2];
    const auto release = [&](int to) {
        if (held[to])
            send(sock[to], held[to]->data(), held[to]->size(), 0), held[to].reset();
    };
    std::array<unsigned char, 2048> frame;
    std::printf("relaying\n");
    std::fflush(stdout);
    for (;;) {
        pollfd fds[2] = {{sock[0], POLLIN, 0}, {sock[1], POLLIN, 0}};
        const int ready = poll(fds, 2, held[0] || held[1] ? 5 : 50);
        // A held frame waits for the next one its way, but not past 10 ms: traffic the other
        // way must not keep it (an acknowledgement held while the peer resends for want of it).
        for (int to = 0; to < 2; ++to)
            if (ready == 0 || std::chrono::steady_clock::now() - heldSince[to] > 10ms)
                release(to);
        for (int from = 0; from < 2; ++from) {
            if ((fds[from].revents & POLLIN) == 0)
                continue;
            sockaddr_ll sll{};
            socklen_t len = sizeof sll;
            const ssize_t n = recvfrom(sock[from], frame.data(), frame.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sll), &len);
            if (n <= 0 || sll.sll_pkttype == PACKET_OUTGOING || mille(random) < drop)
                continue;
            const int to = 1 - from;
            if (mille(random) < reorder && !held[to]) {
                held[to].emplace(frame.begin(), frame.begin() + n);
                heldSince[to] = std::chrono::steady_clock::now();
                continue;
            }
            send(sock[to], frame.data(), static_cast<std::size_t>(n), 0);
            if (mille(random) < dup)
                send(sock[to], frame.data(), static_cast<std::size_t>(n), 0);
            release(to);
        }
    }
}
