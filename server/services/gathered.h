// Units gathered into large writes: the store and the output copy receive
// each unit straight into the free room of one buffer and write it when 64
// KiB have come together, when the client pauses, at the end, and before any
// failure is reported, so that what was received is never lost to a later
// failure and never waits in memory for a client that keeps the service
// waiting.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <span>

#include <spx/tiuser.h>
#include <spx/wire.h>

#include "io.h"

// How a stream of units ended.
enum class Received {
    All,           // its end unit arrived, and everything is written
    ReceiveFailed, // a receive failed (t_errno and errno tell why, for SpxError)
    WriteFailed,   // a write failed (errno tells why)
};

// Received units waiting to be written to a file or standard output.
class Gathered {
  public:
    explicit Gathered(int fd) : fd_(fd) {}
    Gathered(const Gathered&) = delete;
    Gathered& operator=(const Gathered&) = delete;

    // Where the next unit is received: all the free room, which always holds
    // a whole frame. A receive never returns bytes of two frames, so a piece
    // with T_MORE is data and a piece without it is a whole end unit (of up
    // to 65535 bytes).
    std::span<unsigned char> Room() { return std::span(buffer_).subspan(held_); }
    // Keeps the n bytes just received into Room().
    void Keep(std::size_t n) { held_ += n; }
    bool Holding() const { return held_ > 0; }
    bool Full() const { return held_ >= GATHER_SIZE; }
    // Writes what is held. False with errno set when any of it could not be
    // written; nothing is held afterwards either way.
    bool Flush() {
        const bool written = WriteAll(fd_, std::span(buffer_).first(held_));
        held_ = 0;
        return written;
    }

    // Receives units from fd and writes them, up to the first unit without
    // T_MORE, which is written only with keepEnd. Whatever was received before
    // a failed receive is written first: a write that fails there is the
    // earlier failure.
    Received ReceiveStream(int fd, bool keepEnd) {
        int flags = T_MORE;
        while ((flags & T_MORE) != 0) {
            // Nothing waits in memory while the client keeps the service waiting.
            if (Holding() && t_look(fd) != T_DATA && !Flush())
                return Received::WriteFailed;
            const auto room = Room();
            const int n = t_rcv(fd, room.data(), static_cast<unsigned>(room.size()), &flags);
            if (n < 0) {
                const int rcvErrno = errno, rcvTerrno = t_errno;
                if (!Flush())
                    return Received::WriteFailed;
                errno = rcvErrno;
                t_errno = rcvTerrno;
                return Received::ReceiveFailed;
            }
            if ((flags & T_MORE) != 0 || keepEnd)
                Keep(static_cast<std::size_t>(n));
            if (Full() && !Flush())
                return Received::WriteFailed;
        }
        return Flush() ? Received::All : Received::WriteFailed;
    }

  private:
    static constexpr std::size_t GATHER_SIZE = 64 * 1024;
    int fd_;
    std::size_t held_ = 0;
    // Filled up to GATHER_SIZE at most before a write, plus a frame's room.
    std::array<unsigned char, GATHER_SIZE + spx::FRAME_MAX_PAYLOAD> buffer_;
};
