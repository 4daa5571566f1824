// The interface file's parser.
#include "ipx/conf.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace spx::ipx {
namespace {

constexpr std::string_view BLANKS = " \t\r";

// Splits a line (comment removed) into its blank-separated fields.
std::vector<std::string_view> Fields(std::string_view line) {
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> fields;
    for (std::size_t i = line.find_first_not_of(BLANKS); i != line.npos;
         i = line.find_first_not_of(BLANKS, i)) {
        const std::size_t end = std::min(line.find_first_of(BLANKS, i), line.size());
        fields.push_back(line.substr(i, end - i));
        i = end;
    }
    return fields;
}

bool ValidInterfaceName(std::string_view name) {
    return !name.empty() && name.size() <= 15 && name != "." && name != ".." &&
           std::none_of(name.begin(), name.end(), [](unsigned char c) {
               return c == '/' || c == ':' || c <= ' ' || c == 0x7F;
           });
}

std::optional<std::uint32_t> ParseNetwork(std::string_view text) {
    std::uint32_t value = 0;
    if (text.size() != 8 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); }))
        return std::nullopt;
    std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return value;
}

// A field as it may appear in a message: printable ASCII, at most 32 bytes.
std::string Shown(std::string_view field) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : field.substr(0, 32)) {
        if (c > ' ' && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            s += "\\x";
            s += hex[c >> 4];
            s += hex[c & 15];
        }
    }
    return field.size() > 32 ? s + "..." : s;
}

// Checks one line's fields; the error text without its "file:line: " prefix.
std::string ParseLine(const std::vector<std::string_view>& f, const std::vector<IpxInterface>& seen,
                      IpxInterface& out) {
    if (f.size() != 3)
        return "expected 3 fields (interface network frame), found " + std::to_string(f.size());
    if (!ValidInterfaceName(f[0]))
        return "bad interface name '" + Shown(f[0]) + "'";
    const auto network = ParseNetwork(f[1]);
    if (!network)
        return "network '" + Shown(f[1]) + "' is not 8 hexadecimal digits";
    if (*network == 0 || *network == 0xFFFFFFFF)
        return "network " + Shown(f[1]) + " is reserved";
    const auto frame = FrameTypeByName(f[2]);
    if (!frame)
        return "unknown frame type '" + Shown(f[2]) + "' (ethernet_ii, 802.3, 802.2 or snap)";
    for (const IpxInterface& s : seen) {
        if (s.interface == f[0])
            return "interface " + Shown(f[0]) + " is listed twice";
        if (s.network == *network)
            return "network " + Shown(f[1]) + " is listed twice";
    }
    out = {std::string(f[0]), *network, *frame};
    return {};
}

} // namespace

ConfResult ParseConf(std::string_view text, std::string_view path) {
    std::vector<IpxInterface> result;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const std::size_t end = std::min(text.find('\n'), text.size());
        const auto fields = Fields(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        if (fields.empty())
            continue;
        IpxInterface entry;
        if (std::string error = ParseLine(fields, result, entry); !error.empty())
            return std::string(path) + ":" + std::to_string(lineNo) + ": " + error;
        result.push_back(std::move(entry));
    }
    return result;
}

} // namespace spx::ipx
