// Fuzz target for the host address file readers: varnel's GetIpxAddress and
// spxpeer's GetHostAddress read the input as a host address file and look up
// the host "alpha"; a plain reference reader says what they must find.
//
// Reference: the file is a stream of white-space separated fields, five to
// a record; a record is the host's when its first field is "alpha" and its
// four numbers are hexadecimal (optional 0x) within 32, 32, 32 and 16 bits.
// A field longer than 99 characters (the longest host name) is neither a
// name nor a number, however many leading zeros make it up.
// Both readers take the first such record and fill the address as net,
// node bytes 0-3, upper half of the fourth field, socket; a host not found
// leaves the address untouched.

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "hostfile.h"
#include "spxsupport.h"
#include "varnel.h"

namespace {

void Check(bool ok, const char* reader, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_hostfile: %s %s\n", reader, what);
        std::abort();
    }
}

std::optional<std::uint32_t> Hex(std::string s, std::uint64_t max) {
    if (s.size() > 99)
        return std::nullopt;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s.erase(0, 2);
    if (s.empty())
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        v = v * 16 + static_cast<std::uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                    ? c - '0'
                                                    : std::tolower(c) - 'a' + 10);
        if (v > max)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}


std::optional<ipxAddr_t> Reference(const std::string& text, const std::string& host) {
    std::vector<std::string> fields;
    std::string f;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!f.empty())
                fields.push_back(f);
            f.clear();
        } else {
            f += c;
        }
    }
    if (!f.empty())
        fields.push_back(f);

    for (std::size_t i = 0; i + 5 <= fields.size(); i += 5) {
        if (fields[i] != host)
            continue;
        const auto net = Hex(fields[i + 1], 0xFFFFFFFF);
        const auto n1 = Hex(fields[i + 2], 0xFFFFFFFF);
        const auto n2 = Hex(fields[i + 3], 0xFFFFFFFF);
        const auto sock = Hex(fields[i + 4], 0xFFFF);
        if (net && n1 && n2 && sock) {
            ipxAddr_t a{};
            const std::array<std::uint32_t, 2> words{*net, *n1};
            for (int w = 0; w < 2; ++w)
                for (int b = 0; b < 4; ++b) {
                    const auto byte = static_cast<unsigned char>(words[w] >> (24 - 8 * b));
                    (w == 0 ? a.net[b] : a.node[b]) = byte;
                }
            a.node[4] = static_cast<unsigned char>(*n2 >> 24);
            a.node[5] = static_cast<unsigned char>(*n2 >> 16);
            a.sock[0] = static_cast<unsigned char>(*sock >> 8);
            a.sock[1] = static_cast<unsigned char>(*sock);
            return a;
        }
    }
    return std::nullopt;
}

bool Same(const ipxAddr_t& a, const ipxAddr_t& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int memfd = -1;
std::string path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    SetTitle("varnel");
    memfd = memfd_create("hostfile", MFD_CLOEXEC);
    if (memfd < 0)
        std::abort();
    path = "/proc/self/fd/" + std::to_string(memfd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (ftruncate(memfd, 0) != 0 || pwrite(memfd, text.data(), text.size(), 0) !=
                                        static_cast<ssize_t>(text.size()))
        std::abort();
    const auto ref = Reference(text, "alpha");

    // Silence the readers' messages without closing the fuzzer's output.
    FILE* const savedErr = stderr;
    static FILE* const devNull = std::fopen("/dev/null", "w");
    stderr = devNull;

    const ipxAddr_t untouched{{1, 2, 3, 4}, {5, 6, 7, 8, 9, 10}, {11, 12}};
    ipxAddr_t client = untouched;
    const int clientResult = GetIpxAddress(path.c_str(), "alpha", &client);
    ipxAddr_t peer = untouched;
    const int peerResult = GetHostAddress(path.c_str(), "alpha", peer);
    stderr = savedErr;

    for (const auto& [name, result, addr] : {std::tuple{"varnel", clientResult, client},
                                             std::tuple{"spxpeer", peerResult, peer}}) {
        if (ref) {
            Check(result == 0, name, "missed the host's record");
            Check(Same(addr, *ref), name, "read another address");
        } else {
            Check(result == -1, name, "found a host that is not there");
            Check(Same(addr, untouched), name, "changed the address of a host not found");
        }
    }
    return 0;
}
