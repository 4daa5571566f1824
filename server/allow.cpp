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

// Parses one line without its comment: true with entry filled, false with
// why, or true with no services for a blank line.
bool ParseEntry(std::string_view text, AllowEntry& entry, std::string& why) {
    const std::string_view target = NextWord(text);
    if (target.empty())
        return true;
    const std::size_t slash = target.find('/');
    const auto address = ParseIPv4(target.substr(0, slash));
    if (!address) {
        why = "not an IPv4 address: " + Quoted(target.substr(0, slash));
        return false;
    }
    unsigned prefix = 32;
    if (slash != target.npos) {
        const std::string_view bits = target.substr(slash + 1);
        const auto value = Decimal(bits, 9, 999'999'999);
        if (!value) {
            why = "not a prefix length: " + Quoted(bits);
            return false;
        }
        if (*value > 32) {
            why = "prefix above /32";
            return false;
        }
        prefix = *value;
    }
    entry.mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    if ((*address & ~entry.mask) != 0) {
        why = "address with bits outside its /" + std::to_string(prefix) + " prefix";
        return false;
    }
    entry.network = *address;
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
    std::unordered_map<std::uint64_t, unsigned> firstLine; // of each address and prefix
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
        const auto [first, isFirst] =
            firstLine.try_emplace(std::uint64_t{entry.network} << 32 | entry.mask, lineNo);
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

unsigned AllowedServices(std::span<const AllowEntry> entries, std::uint32_t address) {
    const auto it = std::ranges::find_if(
        entries, [&](const AllowEntry& e) { return (address & e.mask) == e.network; });
    return it == entries.end() ? 0 : it->services;
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
    Report(stdout, "caller %s may not use %s\n", ShowIPv4(caller.address).c_str(),
           std::string(it->word).c_str());
    return false;
}
