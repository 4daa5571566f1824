// The progress of a long transfer on standard error, when that is a
// terminal: bytes, time so far and rate on one line rewritten in place, at
// most four times a second, ended with a line end. Nothing otherwise.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// The line's text: "1048576 bytes, 2.0 s, 512.0 KiB/s".
std::string ProgressLine(std::uint64_t bytes, std::chrono::milliseconds elapsed);

class Progress {
  public:
    // Shows progress when on and standard error is a terminal.
    explicit Progress(bool on);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Counts n more bytes; shows the line when a quarter second has passed.
    void Add(std::size_t n);
    // Shows the last count and ends the line (once something was shown).
    void End();

  private:
    using Clock = std::chrono::steady_clock;
    void Show(Clock::time_point now);

    bool on_;
    bool shown_ = false;
    std::uint64_t bytes_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_ = start_;
};
