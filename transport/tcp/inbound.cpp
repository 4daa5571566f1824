// Frames read ahead from a connection: the two-cursor buffer that knows a
// disconnect or protocol error as soon as its bytes arrive.
#include "tcp.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <spx/tiuser.h>

namespace spx {

void Inbound::Reset() {
    if (!buf_)
        buf_ = std::make_unique_for_overwrite<unsigned char[]>(CAPACITY);
    pos_ = end_ = scan_ = frame_ = endPos_ = dataLeft_ = 0;
    scanSawOrdRel_ = inData_ = ended_ = byFrame_ = false;
    dataFlags_ = 0;
    reason_ = 0;
}

void Inbound::Preload(std::span<const unsigned char> bytes) {
    Compact();
    std::size_t n = std::min(bytes.size(), CAPACITY - end_);
    std::memcpy(buf_.get() + end_, bytes.data(), n);
    end_ += n;
    Scan();
}

void Inbound::Compact() {
    if (pos_ == 0)
        return;
    std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    scan_ -= pos_;
    frame_ -= std::min(frame_, pos_);
    if (ended_)
        endPos_ -= pos_;
    pos_ = 0;
}

bool Inbound::Fill(int fd, Wait wait) {
    if (ended_ || !buf_)
        return false;
    if (pos_ == end_ || CAPACITY - end_ < CAPACITY / 4)
        Compact();
    if (end_ == CAPACITY)
        return false;
    if (wait != NO_WAIT) {
        pollfd p{fd, POLLIN, 0};
        int r;
        do
            r = poll(&p, 1, PollTimeout(wait));
        while (r < 0 && errno == EINTR);
        if (r <= 0)
            return false;
    }
    for (;;) {
        ssize_t n = recv(fd, buf_.get() + end_, CAPACITY - end_, MSG_DONTWAIT);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            Scan();
            return true;
        }
        if (n == 0) {
            EndStream(SPX_DISCON_TERMINATED);
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            EndStream(SPX_DISCON_FAILED);
        return false;
    }
}

void Inbound::EndStream(int reason) {
    if (ended_)
        return;
    ended_ = true;
    reason_ = reason;
    if (scan_ != end_) {
        // A frame cut short, in its header or its payload, is no unit: its
        // bytes are dropped from where delivery stands (those a receive has
        // taken already cannot come back), and the peer's end was no orderly
        // one.
        end_ = scan_ < end_ ? scan_ : std::max(frame_, pos_);
        reason_ = SPX_DISCON_FAILED;
    }
    endPos_ = end_;
}

void Inbound::Broke() {
    EndStream(SPX_DISCON_FAILED);
    if (!byFrame_)
        reason_ = SPX_DISCON_FAILED;
}

void Inbound::Scan() {
    while (!ended_ && scan_ < end_) {
        Decoded d = DecodeFrame({buf_.get() + scan_, end_ - scan_}, Phase::Transfer);
        if (d.status == Decoded::Incomplete)
            return;
        bool afterRelease = scanSawOrdRel_ && d.type != FRAME_DISCON;
        if (d.status == Decoded::Error || afterRelease) {
            // Whatever follows is not to be trusted: the connection failed here.
            ended_ = true;
            reason_ = SPX_DISCON_FAILED;
            endPos_ = end_ = scan_;
            return;
        }
        if (d.type == FRAME_DISCON) {
            ended_ = true;
            byFrame_ = true;
            reason_ = static_cast<int>(d.reason);
            endPos_ = end_ = scan_;
            return;
        }
        if (d.type == FRAME_ORDREL)
            scanSawOrdRel_ = true;
        frame_ = scan_;
        scan_ += FRAME_HEADER + d.length;
    }
}

int Inbound::Peek() {
    if (!buf_)
        return 0;
    for (;;) {
        if (inData_) {
            if (dataLeft_ == 0 || pos_ < end_)
                return T_DATA;
            return ended_ ? T_DISCONNECT : 0;
        }
        if (ended_ && pos_ >= endPos_)
            return T_DISCONNECT;
        if (pos_ >= scan_ || end_ - pos_ < FRAME_HEADER)
            return 0; // the next header is not judged yet
        Decoded d = DecodeFrame({buf_.get() + pos_, end_ - pos_}, Phase::Transfer);
        if (d.type == FRAME_ORDREL)
            return T_ORDREL;
        // A DATA frame: its payload follows the header.
        pos_ += FRAME_HEADER;
        inData_ = true;
        dataLeft_ = d.length;
        dataFlags_ = d.flags;
    }
}

std::size_t Inbound::DataReady() const {
    if (!inData_)
        return 0;
    return std::min(dataLeft_, end_ - pos_);
}

std::size_t Inbound::TakeData(std::span<unsigned char> out, int& flags) {
    std::size_t n = std::min(out.size(), DataReady());
    std::memcpy(out.data(), buf_.get() + pos_, n);
    pos_ += n;
    dataLeft_ -= n;
    if (dataLeft_ == 0) {
        inData_ = false;
        flags = (dataFlags_ & FRAME_MORE) ? T_MORE : 0;
    } else {
        flags = T_MORE;
    }
    return n;
}

void Inbound::TakeOrdRel() {
    pos_ += FRAME_HEADER;
}

int Inbound::TakeDisconnect() {
    pos_ = end_ = scan_ = frame_ = endPos_ = 0;
    inData_ = false;
    dataLeft_ = 0;
    return reason_;
}

} // namespace spx
