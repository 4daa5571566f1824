// The host's IPX socket numbers.
#include "sockets.h"

namespace spx::stack {

bool SocketTable::Bind(std::uint16_t socket) {
    if (socket == 0 || held_.count(socket) != 0)
        return false;
    held_[socket] = 1;
    resting_.erase(socket);
    return true;
}

std::optional<std::uint16_t> SocketTable::BindDynamic(std::uint16_t start, Time now) {
    constexpr unsigned SPAN = DYNAMIC_LAST - DYNAMIC_FIRST + 1u;
    for (unsigned i = 0; i < SPAN; ++i) {
        const auto socket = static_cast<std::uint16_t>(DYNAMIC_FIRST + (start + i) % SPAN);
        if (held_.count(socket) != 0)
            continue;
        const auto rest = resting_.find(socket);
        if (rest != resting_.end() && now - rest->second < rest_)
            continue;
        if (rest != resting_.end())
            resting_.erase(rest);
        held_[socket] = 1;
        return socket;
    }
    return std::nullopt;
}

void SocketTable::Share(std::uint16_t socket) {
    if (socket == 0)
        return;
    ++held_[socket];
    resting_.erase(socket);
}

void SocketTable::Release(std::uint16_t socket, Time now) {
    const auto it = held_.find(socket);
    if (it == held_.end() || --it->second > 0)
        return;
    held_.erase(it);
    if (socket >= DYNAMIC_FIRST && socket <= DYNAMIC_LAST)
        resting_[socket] = now;
}

} // namespace spx::stack
