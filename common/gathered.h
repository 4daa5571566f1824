// Units gathered into large writes: the daemon's store and output copy, and
// spxpeer's fetch and command output, receive each unit straight into the
// free room of one buffer and write it when 64 KiB have come together, when
// the sender pauses, at the end, and before any failure is reported, so that
// what was received is never lost to a later failure and never waits in
// memory for a sender that keeps the receiver waiting.
//
// The full writes end on 64 KiB boundaries of the file, whatever the units'
// size and wherever the output starts (the daemon's standard output may
// already hold its own lines): a file system then never has to fill in a
// partly written page between two writes.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>

#include <spx/tiuser.h>

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
    // wait bounds each wait of a non-blocking fd for room.
    explicit Gathered(int fd, Limit wait = NO_LIMIT) : fd_(fd), wait_(wait) {
        // Where a regular file's writes start; a pipe or terminal has no offset.
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at > 0)
            phase_ = static_cast<std::size_t>(at % GATHER_SIZE);
    }
    Gathered(const Gathered&) = delete;
    Gathered& operator=(const Gathered&) = delete;

    // Where the next unit is received: all the free room, which always holds
    // a whole piece (T_MAX_PIECE). A receive never returns bytes of two
    // pieces, so a piece with T_MORE is data and a piece without it is a
    // whole end unit.
    std::span<unsigned char> Room() { return std::span(buffer_).subspan(held_); }
    // Keeps the n bytes just received into Room().
    void Keep(std::size_t n) { held_ += n; }
    bool Holding() const { return held_ > 0; }
    bool Full() const { return held_ >= GATHER_SIZE - phase_; }
    // Writes what is held. False with errno set when any of it could not be
    // written; nothing is held afterwards either way.
    bool Flush() { return Write(held_); }
    // Writes up to the next boundary and keeps the rest (part of one unit)
    // for the next write.
    bool FlushFull() { return Write(GATHER_SIZE - phase_); }

    // Receives units from fd and writes them, up to the first unit without
    // T_MORE, which is written only with keepEnd. Whatever was received before
    // a failed receive is written first: a write that fails there is the
    // earlier failure.
    Received ReceiveStream(int fd, bool keepEnd) {
        const auto waiting = [fd] { return t_look(fd) == T_DATA; };
        const auto receive = [fd](std::span<unsigned char> room, int& flags) {
            return t_rcv(fd, room.data(), static_cast<unsigned>(room.size()), &flags);
        };
        return Gather(waiting, receive, keepEnd);
    }

    // ReceiveStream's work for any source of units: waiting() tells whether
    // a unit is there to take now, receive(room, flags) takes the next one
    // as t_rcv does (the count, or -1 with t_errno and errno set).
    template <typename Waiting, typename Receive>
    Received Gather(Waiting&& waiting, Receive&& receive, bool keepEnd) {
        int flags = T_MORE;
        while ((flags & T_MORE) != 0) {
            // Nothing waits in memory while the client keeps the service waiting.
            if (Holding() && !waiting() && !Flush())
                return Received::WriteFailed;
            const int n = receive(Room(), flags);
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
            if (Full() && !FlushFull())
                return Received::WriteFailed;
        }
        return Flush() ? Received::All : Received::WriteFailed;
    }

  private:
    static constexpr std::size_t GATHER_SIZE = 64 * 1024;

    // Writes the first n bytes held and moves the rest to the front; after a
    // failure nothing is held.
    bool Write(std::size_t n) {
        const bool written = WriteAll(fd_, std::span(buffer_).first(n), wait_);
        held_ = written ? held_ - n : 0;
        std::memmove(buffer_.data(), buffer_.data() + n, held_);
        phase_ = (phase_ + n) % GATHER_SIZE;
        return written;
    }

    int fd_;
    Limit wait_;
    std::size_t held_ = 0;
    std::size_t phase_ = 0; // the file's offset modulo GATHER_SIZE, as far as we know it
    // Filled up to GATHER_SIZE at most before a write, plus a frame's room.
    std::array<unsigned char, GATHER_SIZE + T_MAX_PIECE> buffer_;
};
