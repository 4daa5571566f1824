// A crowd of callers of one address against varneld, and one caller of
// another: how long the other waits, and what becomes of the crowd.
//
//   bench_crowd port count
//
// count callers from 127.0.0.1 each ask for a fetch of ".spxrunid" (raw
// frames of the TCP carrier: CONNECT, then the request); then one caller
// from 127.0.0.2 asks the same. Each caller hangs up once its answer is
// clear: served (an ACCEPT, then data), refused (a DISCON or a close before
// any data). Prints the other caller's wait and the crowd's answers within
// 60 seconds; exit status 0 when the other was served within 2 seconds and
// every caller of the crowd was answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The request frames: CONNECT (version 1), then one DATA unit holding a
// fetch of ".spxrunid" (code 0xFC, an 80-byte name field).
std::string Request() {
    std::string frames("\x01\x00\x00\x08\x00\x01\x00\x00\x12\x34\x00\x10", 12);
    std::string fetch("\x00\x00\x00\xFC", 4);
    fetch += ".spxrunid";
    fetch.resize(84, '\0');
    frames += std::string("\x03\x00\x00", 3) + static_cast<char>(fetch.size()) + fetch;
    return frames;
}

// A caller connected from address to 127.0.0.1:port with its request sent; -1 on failure.
int Call(int port, std::uint32_t from) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{AF_INET, 0, {htonl(from)}, {}};
    sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const std::string request = Request();
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// What the caller on fd has been told so far: '+' served, 'x' refused,
// '?' nothing clear yet.
char Answer(int fd) {
    std::array<unsigned char, 20> f{};
    const ssize_t n = recv(fd, f.data(), f.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n >= 1 && f[0] != 2))
        return 'x';
    if (n < 0 || n < 16)
        return '?';
    return f[12] == 3 ? '+' : 'x';
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s port count\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]), count = std::atoi(argv[2]);
    std::vector<int> crowd;
    for (int i = 0; i < count; ++i)
        crowd.push_back(Call(port, INADDR_LOOPBACK));
    const auto start = Clock::now();
    const int other = Call(port, INADDR_LOOPBACK + 1);
    char otherAnswer = '?';
    while (other >= 0 && (otherAnswer = Answer(other)) == '?' &&
           Clock::now() - start < std::chrono::seconds(60))
        poll(nullptr, 0, 1);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    close(other);
    std::printf("caller of another address: %s after %lld ms\n",
                otherAnswer == '+'   ? "served"
                : otherAnswer == 'x' ? "refused"
                                     : "unanswered",
                static_cast<long long>(waited.count()));
    int served = 0, refused = 0, failed = 0;
    for (int& fd : crowd)
        failed += fd < 0;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (std::size_t left = crowd.size() - static_cast<std::size_t>(failed);
         left > 0 && Clock::now() < deadline;) {
        poll(nullptr, 0, 10);
        for (int& fd : crowd) {
            const char a = fd < 0 ? '?' : Answer(fd);
            if (a == '?')
                continue;
            (a == '+' ? served : refused) += 1;
            close(fd), fd = -1, --left;
        }
    }
    int unanswered = 0;
    for (const int fd : crowd) {
        if (fd >= 0)
            close(fd), ++unanswered;
    }
    std::printf(
        "crowd of %d: %d served, %d refused, %d unanswered after 60 s, %d could not connect\n",
        count, served, refused, unanswered, failed);
    return otherAnswer == '+' && waited < std::chrono::seconds(2) && unanswered == 0 && failed == 0
               ? 0
               : 1;
}
