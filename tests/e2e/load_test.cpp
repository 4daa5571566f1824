// varneld under load: many real transfers at once, and floods of callers
// that never make a request (silent, garbage, reset) between real transfers.

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "peer.h"

using namespace harness;

namespace {

const std::string kVarnel = Bin("varnel").string();

// Lets the test hold a few hundred connections at once.
void RaiseDescriptorLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// Descriptors the process holds open.
int DescriptorCount(int pid) {
    int n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

// varnel sending source to the daemon as remote (relative to its directory).
std::vector<std::string> VarnelArgs(const fs::path& hostFile, const fs::path& source,
                                    const std::string& remote) {
    return {kVarnel, "-r", "server", "-h", hostFile.string(), "-j", source.string(), "-f", remote};
}

// One reception through a TLI endpoint of the test: request, status 0,
// data in full-size units, end unit, and the server's orderly release.
void PeerTransfer(int port, const std::string& remote, const std::string& data) {
    peer::Conn c(port);
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.Send(peer::ReceiveRecord(remote)));
    auto status = c.Recv(1);
    ASSERT_TRUE(status.has_value());
    ASSERT_EQ(status->data, std::string(1, '\0'));
    for (std::size_t off = 0; off < data.size(); off += SPX_MAX_DATA)
        ASSERT_TRUE(c.Send(std::string_view(data).substr(off, SPX_MAX_DATA), T_MORE));
    ASSERT_TRUE(c.Send("", 0));
    ASSERT_EQ(c.WaitEvent(), T_ORDREL);
    EXPECT_TRUE(c.ReceiveRelease());
}

// A wave of callers that never get as far as a request: silent ones (kept
// open in silent), garbage instead of the first frame, a valid first frame
// followed by garbage, and connections reset right away, with or without
// their first frame.
void HostileWave(int port, int perKind, unsigned seed,
                 std::vector<std::unique_ptr<peer::RawCaller>>& silent) {
    for (int i = 0; i < perKind; ++i) {
        auto quiet = std::make_unique<peer::RawCaller>(port);
        ASSERT_TRUE(quiet->ok());
        silent.push_back(std::move(quiet));

        const unsigned s = seed * 1000 + static_cast<unsigned>(i);
        {
            peer::RawCaller junk(port);
            ASSERT_TRUE(junk.ok());
            if (i % 2 == 0) {
                junk.SendBytes(Pattern(1 + s % 300, s));
            } else {
                junk.SendConnect();
                junk.SendBytes(Pattern(1 + s % 700, s));
            }
        }
        {
            peer::RawCaller reset(port);
            ASSERT_TRUE(reset.ok());
            if (i % 2 == 1)
                reset.SendConnect();
            reset.Reset();
        }
    }
}

// Rounds of hostile waves, each with a varnel transfer running through it
// and a peer transfer after it. Every transfer must complete intact and the
// listener must never leave its loop.
void HostileCallersBetweenTransfers(int perKind, int rounds) {
    RaiseDescriptorLimit();
    Daemon d;
    TempDir client;
    const fs::path hostFile = client / "yellowpages";
    WriteFile(hostFile, HostRecord("server", d.port()));
    const int baseline = DescriptorCount(d.process().pid());

    std::vector<std::unique_ptr<peer::RawCaller>> silent;
    for (int r = 0; r < rounds; ++r) {
        const std::string data = Pattern(100'000 + static_cast<std::size_t>(r), 40u + r);
        const fs::path source = client / ("src" + std::to_string(r));
        WriteFile(source, data);
        Process varnel(VarnelArgs(hostFile, source, "varnel" + std::to_string(r)));

        HostileWave(d.port(), perKind / rounds, static_cast<unsigned>(r), silent);
        const std::string peerData = Pattern(20'000, 80u + r);
        PeerTransfer(d.port(), "peer" + std::to_string(r), peerData);

        auto st = varnel.Wait(60s);
        ASSERT_TRUE(st.has_value()) << "varnel hung in round " << r;
        EXPECT_EQ(*st, 0) << varnel.Stderr();
        EXPECT_EQ(ReadFile(d.dir() / ("varnel" + std::to_string(r))), data) << "round " << r;
        EXPECT_EQ(ReadFile(d.dir() / ("peer" + std::to_string(r))), peerData) << "round " << r;
        ASSERT_TRUE(d.process().Running()) << d.Stdout();
    }

    // The listener drops every silent caller by itself, without a word,
    // and ends up holding no more descriptors than before the flood.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (DescriptorCount(d.process().pid()) > baseline &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(DescriptorCount(d.process().pid()), baseline);
    silent.clear();

    EXPECT_TRUE(d.process().Running());
    for (const char* failure : {"t_listen failed", "t_accept failed", "service stream"})
        EXPECT_EQ(d.Stdout().find(failure), std::string::npos) << d.Stdout();
}

} // namespace

// Data lost or mixed up between connections served at the same time: every
// client's own file arrives intact, and the daemon serves on afterwards.
TEST(Load, FiftyClientsEachSendTheirOwnFile) {
    constexpr int kClients = 50;
    constexpr std::size_t kSize = 1 << 20;
    Daemon d;
    TempDir client;
    const fs::path hostFile = client / "yellowpages";
    WriteFile(hostFile, HostRecord("server", d.port()));

    std::vector<std::string> data;
    std::vector<std::unique_ptr<Process>> runs;
    for (int i = 0; i < kClients; ++i) {
        data.push_back(Pattern(kSize, 1000u + static_cast<unsigned>(i)));
        const fs::path source = client / ("src" + std::to_string(i));
        WriteFile(source, data.back());
    }
    for (int i = 0; i < kClients; ++i)
        runs.push_back(std::make_unique<Process>(
            VarnelArgs(hostFile, client / ("src" + std::to_string(i)), "out" + std::to_string(i))));
    for (int i = 0; i < kClients; ++i) {
        auto st = runs[static_cast<std::size_t>(i)]->Wait(120s);
        ASSERT_TRUE(st.has_value()) << "client " << i << " hung";
        EXPECT_EQ(*st, 0) << "client " << i << ": " << runs[static_cast<std::size_t>(i)]->Stderr();
    }
    for (int i = 0; i < kClients; ++i) {
        const std::string got = ReadFile(d.dir() / ("out" + std::to_string(i)));
        EXPECT_EQ(got.size(), kSize) << "client " << i;
        EXPECT_TRUE(got == data[static_cast<std::size_t>(i)]) << "client " << i << ": content differs";
    }

    ASSERT_TRUE(d.process().Running());
    const std::string last = Pattern(5000, 7);
    PeerTransfer(d.port(), "after", last);
    EXPECT_EQ(ReadFile(d.dir() / "after"), last);
}

// Callers that never make a request must neither stop the daemon nor delay
// or spoil the real transfers between them, nor leave descriptors behind.
TEST(Load, HostileCallersBetweenTransfers) { HostileCallersBetweenTransfers(20, 2); }

// The same at full size: 200 callers of each kind.
TEST(LongLoad, TwoHundredHostileCallersOfEachKind) { HostileCallersBetweenTransfers(200, 4); }
