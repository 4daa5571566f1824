#include "caller.h"

#include <unistd.h>

#include <array>

#include <spx/tiuser.h>

#include "connection.h"
#include "spxsupport.h"

Caller::Caller(int fd, Limit idle) : fd_(fd), idle_(idle) {
    SetIdleLimit(fd, idle);
}

int Caller::ReceiveRequest(std::span<unsigned char, SPX_MAX_DATA> record) {
    std::array<unsigned char, SPX_MAX_DATA> dropped;
    std::size_t kept = 0;
    for (int flags = T_MORE; (flags & T_MORE) != 0;) {
        const auto room = kept < record.size() ? record.subspan(kept) : std::span(dropped);
        const int n = t_rcv(fd_, room.data(), static_cast<unsigned>(room.size()), &flags);
        if (n < 0)
            return -1;
        if (kept < record.size())
            kept += static_cast<std::size_t>(n);
    }
    return static_cast<int>(kept);
}

bool Caller::SendStatus(unsigned char status) {
    return t_snd(fd_, &status, 1, 0) >= 0;
}

bool Caller::SendUnit(std::span<const unsigned char> unit) {
    return t_snd(fd_, unit.data(), static_cast<unsigned>(unit.size()), T_MORE) >= 0;
}

bool Caller::SendEnd(unsigned char endByte) {
    return t_snd(fd_, &endByte, 1, 0) >= 0;
}

bool Caller::Push() {
    return spx_push(fd_) >= 0;
}

int Caller::Await() {
    return AwaitEvent(fd_, idle_);
}

bool Caller::DropData() {
    std::array<unsigned char, 4096> dropped;
    int flags = 0;
    return t_rcv(fd_, dropped.data(), dropped.size(), &flags) >= 0 || t_errno == TLOOK;
}

int Caller::AwaitDroppingData() {
    int event = Await();
    for (; event == T_DATA; event = Await())
        if (!DropData())
            return -1;
    return event;
}

bool Caller::Failed(std::FILE* stream, const char* line) {
    Report(stream, "%s", line);
    SpxError(fd_);
    return false;
}

void Caller::End(ServiceEnd how) {
    if (how == ServiceEnd::Abort) {
        // Fixed text, without the prefix: callers and their tests look for it.
        std::fputs("in abort\n", stderr);
        if (t_snddis(fd_, nullptr) < 0)
            Failed(stdout, "abortive t_snddis failed \n\t");
    }
    Push();
    // The child is the connection's last holder: its close ends it for the
    // caller (236) on every carrier, where _exit alone ends only a TCP one.
    t_close(fd_);
    std::fflush(nullptr);
    _exit(0);
}
