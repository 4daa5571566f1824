// File reception gathers received units into large file writes. These tests
// hold it to what the unit-by-unit store guaranteed: the file has everything
// received whenever the service waits or stops, and a failed write is still
// reported and ends the service.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "peer.h"

namespace {

using namespace harness;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::uintmax_t SizeOf(const fs::path& p) {
    std::error_code ec;
    const auto size = fs::file_size(p, ec);
    return ec ? 0 : size;
}

// Waits until the file has reached size bytes.
bool WaitForSize(const fs::path& p, std::uintmax_t size, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (SizeOf(p) < size) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Sends data as units of size bytes with T_MORE and sees them on their way
// (a look at the endpoint sends what the provider gathered); false when a
// send failed.
bool SendUnits(peer::Conn& c, const std::string& data, std::size_t size) {
    for (std::size_t at = 0; at < data.size(); at += size)
        if (!c.Send(data.substr(at, size), T_MORE))
            return false;
    c.WaitEvent(1ms);
    return true;
}

// Compares without dumping megabytes of binary on a mismatch.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << at;
}

// Data held for a large write must not wait in memory: while the client
// pauses it is already in the file, and a client that vanishes leaves the
// file with every byte it sent, in order.
TEST(ReceiveGather, HeldDataReachesTheFileWhileTheClientPauses) {
    Daemon d;
    peer::Conn c(d.port());
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.Send(peer::ReceiveRecord("paused.bin")));
    auto status = c.Recv(1);
    ASSERT_TRUE(status && status->data == std::string(1, '\0'));

    const std::string first = Pattern(20 * 534 + 7, 11); // far less than one large write
    ASSERT_TRUE(SendUnits(c, first, 534));
    EXPECT_TRUE(WaitForSize(d.dir() / "paused.bin", first.size()));
    EXPECT_TRUE(SameBytes(ReadFile(d.dir() / "paused.bin"), first));

    const std::string second = Pattern(3000, 12);
    ASSERT_TRUE(SendUnits(c, second, 1000));
    ASSERT_TRUE(c.Send("", 0));
    ASSERT_EQ(c.SkipToEvent(), T_ORDREL);
    EXPECT_TRUE(SameBytes(ReadFile(d.dir() / "paused.bin"), first + second));
}

TEST(ReceiveGather, ClientThatVanishesLeavesEverythingItSent) {
    Daemon d;
    const std::string data = Pattern(100 * 1024 + 123, 13); // one large write and a rest
    {
        peer::Conn c(d.port());
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.Send(peer::ReceiveRecord("gone.bin")));
        auto status = c.Recv(1);
        ASSERT_TRUE(status && status->data == std::string(1, '\0'));
        ASSERT_TRUE(SendUnits(c, data, 1024));
    } // closed without the end unit
    ASSERT_TRUE(d.process().WaitForOutput("in abort", true));
    EXPECT_NE(d.Stderr().find(": t_rcv of file data failed \n\t"), std::string::npos) << d.Stderr();
    EXPECT_TRUE(SameBytes(ReadFile(d.dir() / "gone.bin"), data));
}

// A write that fails in the middle of a long stream (the file-size limit
// reached inside a large write) is reported, ends the service without a
// release, and the file keeps exactly what could be written.
TEST(ReceiveGather, WriteFailingInsideALargeWriteIsReported) {
    Daemon d;
    const std::string data = Pattern(300 * 1024, 14);
    constexpr std::uint32_t limitBlocks = 200; // 102400 bytes
    peer::Conn c(d.port());
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.Send(peer::ReceiveRecord("limited.bin", 0, limitBlocks)));
    auto status = c.Recv(1);
    ASSERT_TRUE(status && status->data == std::string(1, '\0'));
    if (SendUnits(c, data, 534))
        c.Send("", 0);
    EXPECT_EQ(c.SkipToEvent(), T_DISCONNECT);
    ASSERT_TRUE(d.process().WaitForOutput("in abort", true));
    EXPECT_NE(d.Stderr().find(": write of file data failed \n\t" +
                              std::string(std::strerror(EFBIG)) + "\nin abort\n"),
              std::string::npos)
        << d.Stderr();
    EXPECT_EQ(d.Stderr().find("t_rcv of file data failed"), std::string::npos);
    EXPECT_TRUE(SameBytes(ReadFile(d.dir() / "limited.bin"), data.substr(0, limitBlocks * 512)));
}

} // namespace
