#include "numbers.h"

#include <cctype>
#include <charconv>
#include <limits>
#include <system_error>

namespace {

bool HasHexPrefix(std::string_view s) {
    return s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
           std::isxdigit(static_cast<unsigned char>(s[2]));
}

// The digits at the front of s: their value (saturated) and whether they
// overflowed. nullopt when s does not begin with a digit of base.
struct Digits {
    unsigned long value;
    bool overflow;
};

std::optional<Digits> LeadingDigits(std::string_view s, int base) {
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (end == s.data())
        return std::nullopt;
    if (ec == std::errc::result_out_of_range)
        return Digits{std::numeric_limits<unsigned long>::max(), true};
    return Digits{value, false};
}

// Blanks, a sign and (base 16) a 0x prefix, as the C conversions take them.
struct Front {
    std::string_view rest;
    bool negative;
};

Front SkipFront(std::string_view s, int base) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (base == 16 && HasHexPrefix(s))
        s.remove_prefix(2);
    return {s, negative};
}

} // namespace

std::optional<unsigned long> ScanUnsigned(std::string_view text, int base) {
    const Front f = SkipFront(text, base);
    const auto d = LeadingDigits(f.rest, base);
    if (!d)
        return std::nullopt;
    if (d->overflow)
        return d->value;
    return f.negative ? 0UL - d->value : d->value;
}

std::optional<long> ScanSigned(std::string_view text, int base) {
    constexpr long max = std::numeric_limits<long>::max();
    const Front f = SkipFront(text, base);
    const auto d = LeadingDigits(f.rest, base);
    if (!d)
        return std::nullopt;
    if (f.negative)
        return d->value > 0UL + max ? std::numeric_limits<long>::min()
                                    : -static_cast<long>(d->value); // an overflow reads as ULONG_MAX
    return d->value > 0UL + max ? max : static_cast<long>(d->value);
}

std::optional<unsigned long> ParseUnsigned(std::string_view text, int base, unsigned long max) {
    if (base == 16 && HasHexPrefix(text))
        text.remove_prefix(2);
    unsigned long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::uint16_t> ParseSocket(std::string_view text) {
    // A socket as the programs print it ("4500h") reads back as that socket.
    if (!text.empty() && (text.back() == 'h' || text.back() == 'H') && !HasHexPrefix(text))
        text.remove_suffix(1);
    const std::size_t digits = text.size() - (HasHexPrefix(text) ? 2 : 0);
    if (digits == 0 || digits > 4)
        return std::nullopt;
    const auto v = ParseUnsigned(text, 16, 0xFFFF);
    return v ? std::optional<std::uint16_t>(static_cast<std::uint16_t>(*v)) : std::nullopt;
}
