// The listener's policy, apart from its loop: which children it has and for
// whom, who waits for a child and who gives way when the room is full, how
// long it pauses after callers it could not serve, and how its refusals are
// logged. Nothing here touches the system: the time comes as a parameter,
// and the lines to log come back as text.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

#include "address.h"

using PolicyClock = std::chrono::steady_clock;
using PolicyTime = PolicyClock::time_point;

// The children not yet reaped, by pid, and how many each caller key has.
class ChildTable {
  public:
    void Add(pid_t pid, const CallerKey& key);
    // Takes an ended child off the table (a pid not on it changes nothing).
    void Remove(pid_t pid);
    std::size_t Size() const { return keyOf_.size(); }
    unsigned Of(const CallerKey& key) const;

  private:
    std::unordered_map<pid_t, CallerKey> keyOf_;
    std::unordered_map<CallerKey, unsigned, CallerKeyHash> count_;
};

// A caller accepted while no child could be forked for it.
struct WaitingCaller {
    int fd = -1;       // its service endpoint
    ipxAddr_t ipx{};   // its address as t_listen gave it, for its child's lines
    std::string stamp; // its accept time, as the title shows it
    CallerKey Key() const { return CallerKey(ipx); }
};

// The callers waiting for a child, in the order they came.
class WaitingRoom {
  public:
    explicit WaitingRoom(std::size_t places) : places_(places) {}
    std::size_t Places() const { return places_; }
    std::size_t Size() const { return callers_.size(); }
    bool Full() const { return callers_.size() >= places_; }
    std::deque<WaitingCaller>& Callers() { return callers_; }
    void Push(WaitingCaller caller) { callers_.push_back(std::move(caller)); }
    unsigned Of(const CallerKey& key) const;
    // The first caller, in the order they came, that may have a child now:
    // a child slot is free (below maxChildren) and its key has fewer than
    // share children. Its place, or none.
    std::optional<std::size_t> Next(const ChildTable& children, std::size_t maxChildren,
                                    unsigned share) const;
    // With the room full, whether a caller of key still comes in: when its
    // key holds less (children and places) than the key that holds most
    // here; the newest waiting caller of the keys that hold most gives way.
    // The place of the caller who gives way, or none: then the newcomer is
    // the one refused.
    std::optional<std::size_t> GivesWay(const CallerKey& key, const ChildTable& children) const;

  private:
    std::size_t places_;
    std::deque<WaitingCaller> callers_;
};

// The pause after callers that could not be served (no endpoint, no
// process): a quarter of a second, doubling with each failure in a row up
// to eight seconds, so that a shortage is not made worse.
class Backoff {
  public:
    void Failed(PolicyTime now);
    void Succeeded() { inRow_ = 0; }
    bool Paused(PolicyTime now) const { return inRow_ > 0 && now < retryAt_; }
    // When the next try may come (a time in the past when no pause holds).
    PolicyTime RetryAt() const { return inRow_ > 0 ? retryAt_ : PolicyTime{}; }
    unsigned InRow() const { return inRow_; }

  private:
    unsigned inRow_ = 0;
    PolicyTime retryAt_{};
};

// Refusals of one kind, logged so that a flood of them does not flood the
// log: the first at once, those of the ten seconds after it in one line
// with their count, and so on. Each call returns the line to log, if any.
class RefusalLog {
  public:
    explicit RefusalLog(std::string why) : why_(std::move(why)) {}
    // A caller refused: who (as ShowAddress shows it), and a detail for the
    // line (": " and the cause, or empty).
    std::optional<std::string> Refused(const std::string& who, const std::string& detail,
                                       PolicyTime now);
    // The count of the refusals not logged, once their ten seconds are over.
    std::optional<std::string> Flush(PolicyTime now);
    bool Pending() const { return unlogged_ > 0; }

  private:
    static constexpr auto QUIET = std::chrono::seconds(10);
    std::string why_;
    PolicyTime quietUntil_{};
    unsigned unlogged_ = 0;
    std::string last_;
};
