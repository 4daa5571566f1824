// Fuzz target for varnel's readers, by the first byte: argv (split at NULs), host file, number.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "hostfile.h"
#include "numbers.h"
#include "settings.h"
#include "spxproto.h"

static void CommandLine(std::string text) {
    std::vector<char*> argv{const_cast<char*>("varnel"), text.data()};
    for (std::size_t i = text.find('\0'); i != text.npos; i = text.find('\0', i + 1))
        argv.push_back(&text[i + 1]);
    argv.push_back(nullptr);
    Settings s;
    std::FILE* const err = std::exchange(stderr, std::fopen("/dev/null", "w")); // no refusals
    const ArgsResult r = ParseArgs(static_cast<int>(argv.size() - 1), argv.data(), s);
    std::fclose(std::exchange(stderr, err));
    // A text left open; an accepted command line the request or connection cannot carry.
    const auto ends = [](const auto& f) { return std::memchr(f.data(), 0, f.size()) != nullptr; };
    CHECK(ends(s.remoteName) && ends(s.sourcefile) && ends(s.filename) && ends(s.addressFile));
    CHECK(r != ArgsResult::Ok ||
          (std::strlen(s.filename.data()) <= REQUEST_NAME_MAX && (!s.newULimit || s.fileTran) &&
           (s.packetSize == DEFAULT_PACKET_SIZE || s.packetSize - 1 < SPX_MAX_DATA)));
}

// The digits of base (16: after an optional 0x) that make up all of s, at most max.
static std::optional<unsigned long> Whole(std::string s, int base, unsigned long max) {
    if (base == 16 && s.size() > 2 && s[0] == '0' && std::tolower(s[1]) == 'x')
        s.erase(0, 2);
    const std::size_t bad = s.find_first_not_of("0123456789abcdefABCDEF", 0, base + base / 16 * 6);
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), nullptr, base);
    return !s.empty() && bad == s.npos && !errno && v <= max ? std::optional(v) : std::nullopt;
}

// Hostile host file bytes: every read stays inside its field (the sanitizers watch). What a
// record reads as is the table of ClientHostFile.GetIpxAddress.
static void HostFile(std::string text) {
    std::FILE* file = fmemopen(text.data(), text.size(), "r");
    ipxAddr_t found{};
    FindHostRecord(file, "alpha", found);
    std::fclose(file);
}

static void Number(std::string in) {
    const int base = in[0] % 3 == 0 ? 8 : in[0] % 3 == 1 ? 10 : 16, whole = base == 16 ? 16 : 10;
    const unsigned long max = std::array{534UL, 0xFFFFUL, 0xFFFFFFFFUL, ~0UL}[in[0] >> 6 & 3];
    const char* const c = in.c_str() + 1; // the C conversions read up to the first NUL
    char *endU, *endS;
    const unsigned long u = std::strtoul(c, &endU, base);
    const long l = std::strtol(c, &endS, base);
    // A number read unlike the C conversion or the plain reader it stands for.
    CHECK(ScanUnsigned(c, base) == (endU != c ? std::optional(u) : std::nullopt));
    CHECK(ScanSigned(c, base) == (endS != c ? std::optional(l) : std::nullopt));
    CHECK(ParseUnsigned(in.substr(1), whole, max) == Whole(in.substr(1), whole, max));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (size >= 2)
        (data[0] % 3 == 0 ? CommandLine : data[0] % 3 == 1 ? HostFile : Number)(text.substr(1));
    return 0;
}
