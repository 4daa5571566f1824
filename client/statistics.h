// varnel's transfer statistics (-v): what the data loop counts, and the
// lines that report it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Bytes every pass of the data loop adds to the count including SPX data.
inline constexpr std::uint64_t SPX_OVERHEAD = 84;

// Transfer statistics, counted in verbose mode only. 64 bits: a file past
// 4 GiB is counted whole, and below that the values are those 32-bit
// counters gave.
struct Statistics {
    std::uint64_t totalBytes = 0;
    std::uint64_t totalPackets = 0;
    std::uint64_t total = 0;
    std::time_t beginTime = 0;
    std::time_t endTime = 0;

    // Counts one pass of the data loop that moved n bytes.
    void CountPass(std::uint64_t n) {
        totalBytes += n;
        totalPackets += 2;
        total += n + SPX_OVERHEAD;
    }
};

// The statistics lines, without the program's prefix; a transfer of less
// than a second counts as one.
inline std::vector<std::string> StatisticsLines(const Statistics& st) {
    std::uint64_t seconds = st.endTime > st.beginTime
                                ? static_cast<std::uint64_t>(st.endTime - st.beginTime)
                                : 0;
    if (seconds == 0)
        seconds = 1;
    const struct {
        std::uint64_t value;
        const char* what;
    } lines[] = {{st.totalBytes, "bytes sent"},
                 {st.total, "bytes sent including SPX data"},
                 {st.totalPackets, "packets sent"},
                 {seconds, "seconds to transmit"},
                 {st.total / seconds, "bytes/sec"},
                 {st.total / 1024 / seconds, "kbytes/sec"}};
    std::vector<std::string> text;
    for (const auto& [value, what] : lines)
        text.push_back(std::to_string(value) + " " + what + "\n");
    return text;
}
