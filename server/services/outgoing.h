// Data sent in units: the send-file and remote-command services read their
// source in large blocks (64 KiB, or what a pipe holds) and cut them into
// units of SPX_MAX_DATA bytes with T_MORE, so that no unit costs a system
// call of its own.
//
// A unit is as long as the data that was there to read: full units while
// the data comes, and the rest as a shorter unit as soon as the source has
// nothing more for now, never held back to fill it. The stream's last unit
// is always a short one, as if the source had been read SPX_MAX_DATA bytes
// at a time: at the end the rest goes out, and when there is no rest, an
// empty unit follows a full one (a file whose size is a multiple of
// SPX_MAX_DATA, an empty file). Data that comes in one piece thus goes out
// exactly as such reads would send it.
#pragma once

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>

#include "spxproto.h"

// What Pump found at the source when it stopped.
enum class Pumped {
    Dry,        // nothing more for now: a FIFO, pipe or device to wait for
    Ended,      // the end of the source; everything is sent
    ReadFailed, // a read failed (errno tells why)
    SendFailed, // a unit could not be sent (reported by the sender)
};

class Outgoing {
  public:
    using Unit = std::span<const unsigned char>;

    // Reads src (blocking or not) and hands each unit to send (true when
    // sent) until src has nothing more for now, ends or fails.
    template <typename Send> Pumped Pump(int src, Send&& send) {
        for (;;) {
            const ssize_t n = read(src, buffer_.data() + held_, READ_BLOCK);
            if (n > 0) {
                held_ += static_cast<std::size_t>(n);
                std::size_t at = 0;
                for (; held_ - at >= SPX_MAX_DATA; at += SPX_MAX_DATA)
                    if (!Hand(send, at, SPX_MAX_DATA))
                        return Pumped::SendFailed;
                held_ -= at;
                std::memmove(buffer_.data(), buffer_.data() + at, held_);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            const bool dry = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (n < 0 && !dry)
                return Pumped::ReadFailed;
            if ((held_ > 0 || (!dry && !lastShort_)) && !Hand(send, 0, held_))
                return Pumped::SendFailed;
            held_ = 0;
            return dry ? Pumped::Dry : Pumped::Ended;
        }
    }

    // Whether any data has been read.
    bool Started() const { return started_; }

    // The byte of the end unit that follows the data: the first byte of the
    // last unit that held any, or before, when none did, the given one.
    // Peers ignore it, but it is the byte they have always been sent.
    unsigned char EndByte(unsigned char before) const { return started_ ? lastFirst_ : before; }

  private:
    static constexpr std::size_t READ_BLOCK = 64 * 1024;

    template <typename Send> bool Hand(Send& send, std::size_t at, std::size_t size) {
        if (size > 0) {
            started_ = true;
            lastFirst_ = buffer_[at];
        }
        lastShort_ = size < SPX_MAX_DATA;
        return send(Unit(buffer_).subspan(at, size));
    }

    // A block, after what is left of the last one (less than a unit).
    std::array<unsigned char, READ_BLOCK + SPX_MAX_DATA> buffer_;
    std::size_t held_ = 0;
    bool started_ = false;
    bool lastShort_ = false; // the last unit sent was not a full one
    unsigned char lastFirst_ = 0;
};
