#include "policy.h"

#include <algorithm>

void ChildTable::Add(pid_t pid, const CallerKey& key) {
    if (keyOf_.emplace(pid, key).second)
        ++count_[key];
}

void ChildTable::Remove(pid_t pid) {
    const auto it = keyOf_.find(pid);
    if (it == keyOf_.end())
        return;
    if (--count_[it->second] == 0)
        count_.erase(it->second);
    keyOf_.erase(it);
}

unsigned ChildTable::Of(const CallerKey& key) const {
    const auto it = count_.find(key);
    return it == count_.end() ? 0 : it->second;
}

unsigned WaitingRoom::Of(const CallerKey& key) const {
    return static_cast<unsigned>(
        std::ranges::count_if(callers_, [&](const WaitingCaller& c) { return c.Key() == key; }));
}

std::optional<std::size_t> WaitingRoom::Next(const ChildTable& children, std::size_t maxChildren,
                                             unsigned share) const {
    if (children.Size() >= maxChildren)
        return std::nullopt;
    for (std::size_t i = 0; i < callers_.size(); ++i)
        if (children.Of(callers_[i].Key()) < share)
            return i;
    return std::nullopt;
}

std::optional<std::size_t> WaitingRoom::GivesWay(const CallerKey& key,
                                                 const ChildTable& children) const {
    std::unordered_map<CallerKey, unsigned, CallerKeyHash> holds;
    for (const WaitingCaller& c : callers_)
        ++holds.try_emplace(c.Key(), children.Of(c.Key())).first->second;
    unsigned most = 0;
    for (const auto& [k, h] : holds)
        most = std::max(most, h);
    if (Of(key) + children.Of(key) >= most)
        return std::nullopt;
    // Of the addresses that hold most, the newest caller.
    for (std::size_t i = callers_.size(); i-- > 0;)
        if (holds.at(callers_[i].Key()) == most)
            return i;
    return std::nullopt;
}

void Backoff::Failed(PolicyTime now) {
    const unsigned shift = std::min(++inRow_, 6U) - 1;
    retryAt_ = now + std::chrono::milliseconds(250U << shift);
}

std::optional<std::string> RefusalLog::Refused(const std::string& who, const std::string& detail,
                                               PolicyTime now) {
    std::optional<std::string> line = Flush(now);
    if (now < quietUntil_) {
        ++unlogged_;
        last_ = who;
        return line;
    }
    quietUntil_ = now + QUIET;
    return "caller " + who + " refused: " + why_ + detail + "\n";
}

std::optional<std::string> RefusalLog::Flush(PolicyTime now) {
    if (unlogged_ == 0 || now < quietUntil_)
        return std::nullopt;
    std::string line = std::to_string(unlogged_) + " more callers refused: " + why_ +
                       " (the last " + last_ + ")\n";
    unlogged_ = 0;
    quietUntil_ = now + QUIET;
    return line;
}
