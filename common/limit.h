// How long a wait may last, as every wait of the programs takes it.
#pragma once

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

// A limit on a wait: so many milliseconds (zero: do not wait at all), or
// none at all (NO_LIMIT).
using Limit = std::optional<std::chrono::milliseconds>;
inline constexpr Limit NO_LIMIT = std::nullopt;

// A limit of whole seconds as the command lines give it: 0 means none.
inline Limit SecondsOrNone(unsigned seconds) {
    return seconds == 0 ? NO_LIMIT : Limit(std::chrono::seconds(seconds));
}

// The time-out poll(2) takes for limit: -1 for none.
inline int PollTimeout(Limit limit) {
    return limit ? static_cast<int>(std::clamp<long long>(limit->count(), 0, std::numeric_limits<int>::max()))
                 : -1;
}
