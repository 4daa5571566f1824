#include "allow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

#include <spx/byteorder.h>

#include "spxsupport.h"


namespace {

struct ServiceName {
    std::string_view word;
    unsigned bit;
    RequestKind kind;
};
constexpr std::array<ServiceName, 4> SERVICE_NAMES{{
    {"store", SERVICE_STORE, RequestKind::StoreFile},
    {"fetch", SERVICE_FETCH, RequestKind::SendFile},
    {"command", SERVICE_COMMAND, RequestKind::RunCommand},
    {"copy", SERVICE_COPY, RequestKind::CopyOutput},
}};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The next blank-separated word of text, taken off its front; empty at the end.
std::string_view NextWord(std::string_view& text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    std::size_t n = 0;
    while (n < text.size() && !IsBlank(text[n]))
        ++n;
    const std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

// A decimal number of 1 to digits digits without a leading zero, at most max.
std::optional<unsigned> Decimal(std::string_view text, std::size_t digits, unsigned max) {
    if (text.empty() || text.size() > digits || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= max ? std::optional(value) : std::nullopt;
}

// Dotted decimal, four parts of 0 to 255.
std::optional<std::uint32_t> ParseIPv4(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        const auto value = dot == text.npos ? std::nullopt : Decimal(text.substr(0, dot), 3, 255);
        if (!value)
            return std::nullopt;
        address = address << 8 | *value;
        text.remove_prefix(std::min(dot + 1, text.size()));
    }
    return address;
}

// A word of the file as a message may show it: at most 40 bytes, each byte
// outside printable ASCII as '?'.
std::string Quoted(std::string_view word) {
    std::string shown = "\"";
    for (const char c : word.substr(0, 40))
        shown += c >= ' ' && c <= '~' ? c : '?';
    return shown + (word.size() > 40 ? "...\"" : "\"");
}

// Hexadecimal digits, exactly as many as value holds bytes, into value.
bool HexBytes(std::string_view text, std::span<unsigned char> value) {
    if (text.size() != 2 * value.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        value[i / 2] = static_cast<unsigned char>(value[i / 2] << 4 | digit);
    }
    return true;
}

// An IPX target: a network of 8 hexadecimal digits, and after a colon a
// node of 12. Empty, or why it is none.
std::string ParseIpxTarget(std::string_view target, AllowEntry& entry) {
    const std::size_t colon = target.find(':');
    std::array<unsigned char, 4> net{};
    if (!HexBytes(target.substr(0, colon), net))
        return "not an IPv4 address or IPX network: " + Quoted(target.substr(0, colon));
    entry.ipx = true;
    entry.network = spx::GetBE32(net);
    if (entry.network == 0 || entry.network == 0xFFFFFFFF)
        return "IPX network " + std::string(target.substr(0, 8)) + " is reserved";
    entry.anyNode = colon == target.npos;
    if (!entry.anyNode && !HexBytes(target.substr(colon + 1), entry.node))
        return "not an IPX node (12 hexadecimal digits): " + Quoted(target.substr(colon + 1));
    return {};
}

// An IPv4 target: an address, and after a slash a prefix length. Empty, or
// why it is none.
std::string ParseIPv4Target(std::string_view target, AllowEntry& entry) {
    const std::size_t slash = target.find('/');
    const auto address = ParseIPv4(target.substr(0, slash));
    if (!address)
        return "not an IPv4 address: " + Quoted(target.substr(0, slash));
    unsigned prefix = 32;
    if (slash != target.npos) {
        const std::string_view bits = target.substr(slash + 1);
        const auto value = Decimal(bits, 9, 999'999'999);
        if (!value)
            return "not a prefix length: " + Quoted(bits);
        if (*value > 32)
            return "prefix above /32";
        prefix = *value;
    }
    entry.mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    if ((*address & ~entry.mask) != 0)
        return "address with bits outside its /" + std::to_string(prefix) + " prefix";
    entry.network = *address;
    return {};
}

// Parses one line without its comment: true with entry filled, false with
// why, or true with no services for a blank line. A target with a dot is
// IPv4, any other an IPX network.
bool ParseEntry(std::string_view text, AllowEntry& entry, std::string& why) {
    const std::string_view target = NextWord(text);
    if (target.empty())
        return true;
    why = target.find('.') != target.npos ? ParseIPv4Target(target, entry)
                                          : ParseIpxTarget(target, entry);
    if (!why.empty())
        return false;
    entry.services = 0;
    for (std::string_view word; !(word = NextWord(text)).empty();) {
        const auto it = std::ranges::find(SERVICE_NAMES, word, &ServiceName::word);
        if (it == SERVICE_NAMES.end()) {
            why = "unknown service " + Quoted(word);
            return false;
        }
        entry.services |= it->bit;
    }
    if (entry.services == 0)
        entry.services = ALL_SERVICES;
    return true;
}

// What an entry is for, the same for two entries exactly when they name the
// same callers.
std::string Target(const AllowEntry& e) {
    std::string key(1, e.ipx ? 'x' : '4');
    for (const std::uint32_t v : {e.network, e.ipx ? std::uint32_t{e.anyNode} : e.mask})
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
    if (e.ipx && !e.anyNode)
        key.append(e.node.begin(), e.node.end());
    return key;
}

// The whole of the regular file open on fd (-1: its open failed) into text:
// empty, or what is wrong.
std::string ReadRegularFile(int fd, std::string& text) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0)
        return std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    text.assign(ALLOW_FILE_MAX + 1, '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t n = read(fd, text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::strerror(errno);
        if (n == 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    if (have > ALLOW_FILE_MAX)
        return "larger than " + std::to_string(ALLOW_FILE_MAX) + " bytes";
    text.resize(have);
    return {};
}

} // namespace

AllowFile ParseAllowFile(std::string_view text) {
    AllowFile file;
    std::unordered_map<std::string, unsigned> firstLine; // of each target
    for (unsigned lineNo = 1; !text.empty(); ++lineNo) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        AllowEntry entry;
        std::string why;
        if (line.size() > ALLOW_LINE_MAX)
            why = "line longer than " + std::to_string(ALLOW_LINE_MAX) + " bytes";
        else if (ParseEntry(line.substr(0, line.find('#')), entry, why) && entry.services == 0)
            continue; // blank or comment
        if (!why.empty())
            return {{}, why, lineNo, {}};
        entry.line = lineNo;
        const auto [first, isFirst] = firstLine.try_emplace(Target(entry), lineNo);
        if (!isFirst)
            file.repeats.emplace_back(lineNo, first->second);
        file.entries.push_back(entry);
    }
    return file;
}

AllowFile ReadAllowFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    std::string text;
    AllowFile failed;
    failed.error = ReadRegularFile(fd, text);
    if (fd >= 0)
        close(fd);
    return failed.error.empty() ? ParseAllowFile(text) : failed;
}

unsigned AllowedServices(std::span<const AllowEntry> entries, const CallerKey& key) {
    const auto matches = [&](const AllowEntry& e) {
        if (e.ipx != key.Ipx())
            return false;
        if (!e.ipx)
            return (key.IPv4() & e.mask) == e.network;
        return e.network == key.Network() && (e.anyNode || e.node == key.Node());
    };
    const auto it = std::ranges::find_if(entries, matches);
    return it == entries.end() ? 0 : it->services;
}

unsigned EveryIPv4Only(std::span<const AllowEntry> entries) {
    if (std::ranges::any_of(entries, &AllowEntry::ipx))
        return 0;
    const auto every =
        std::ranges::find_if(entries, [](const AllowEntry& e) { return e.mask == 0; });
    return every == entries.end() ? 0 : every->line;
}

std::string ShowIPv4(std::uint32_t address) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text.data();
}

bool ServiceAllowed(const CallerRecord& caller, RequestKind kind) {
    const auto it = std::ranges::find(SERVICE_NAMES, kind, &ServiceName::kind);
    if (it == SERVICE_NAMES.end() || (caller.services & it->bit) != 0)
        return true;
    Report(stdout, "caller %s may not use %s\n", ShowAddress(caller.ipx).c_str(),
           std::string(it->word).c_str());
    return false;
}
