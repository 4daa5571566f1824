#include "progress.h"

#include <unistd.h>

#include <cstdio>

#include "spxsupport.h"

namespace {

constexpr auto SHOW_EVERY = std::chrono::milliseconds(250);

} // namespace

std::string ProgressLine(std::uint64_t bytes, std::chrono::milliseconds elapsed) {
    const double seconds = static_cast<double>(elapsed.count()) / 1000.0;
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
    const char* unit = "B/s";
    for (const char* bigger : {"KiB/s", "MiB/s", "GiB/s"}) {
        if (rate < 1024.0)
            break;
        rate /= 1024.0;
        unit = bigger;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%llu bytes, %.1f s, %.1f %s",
                  static_cast<unsigned long long>(bytes), seconds, rate, unit);
    return text;
}

Progress::Progress(bool on) : on_(on && isatty(STDERR_FILENO) == 1) {}

void Progress::Add(std::size_t n) {
    bytes_ += n;
    if (!on_)
        return;
    const auto now = Clock::now();
    if (now - last_ >= SHOW_EVERY)
        Show(now);
}

void Progress::End() {
    if (!on_)
        return;
    if (shown_ || bytes_ > 0)
        Show(Clock::now());
    if (shown_)
        std::fputc('\n', stderr);
}

void Progress::Show(Clock::time_point now) {
    last_ = now;
    shown_ = true;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    // At the start of the line, and the rest of a longer one cleared.
    std::fprintf(stderr, "\r%s: %s\033[K", titleStr, ProgressLine(bytes_, elapsed).c_str());
}
