#include "hostfile.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <span>

#include <spx/byteorder.h>

#include "numbers.h"
#include "spxsupport.h"

namespace {

// Longest field kept: a host name of at most 99 characters. Longer fields
// are read to their end but never match.
inline constexpr std::size_t FIELD_MAX = 99;

// One field of the stream: its first FIELD_MAX characters and its length.
struct Field {
    std::array<char, FIELD_MAX> text{};
    std::size_t length = 0;

    bool Fits() const { return length <= text.size(); }
    std::string_view View() const { return {text.data(), Fits() ? length : 0}; }
};

// Reads the next white-space delimited field of fp. false at the end of
// the stream with no field.
bool ReadField(std::FILE* fp, Field& f) {
    f.length = 0;
    int c;
    do
        c = std::getc(fp);
    while (c != EOF && std::isspace(c));
    while (c != EOF && !std::isspace(c)) {
        if (f.length < f.text.size())
            f.text[f.length] = static_cast<char>(c);
        ++f.length;
        c = std::getc(fp);
    }
    return f.length > 0;
}

// A number field: hexadecimal, optionally with a 0x prefix, at most max.
bool ParseHex(const Field& f, std::uint32_t max, std::uint32_t& value) {
    const auto v = ParseUnsigned(f.View(), 16, max); // none for a field that does not fit
    if (!v)
        return false;
    value = static_cast<std::uint32_t>(*v);
    return true;
}

} // namespace

int FindHostRecord(std::FILE* fp, std::string_view hostName, ipxAddr_t& addr) {
    for (;;) {
        std::array<Field, 5> rec;
        for (Field& f : rec)
            if (!ReadField(fp, f))
                return -1;
        if (!rec[0].Fits() || rec[0].View() != hostName)
            continue;
        // A record whose numbers do not read is no address for the name.
        std::uint32_t net = 0, node1 = 0, node2 = 0, sock = 0;
        if (!ParseHex(rec[1], 0xFFFFFFFF, net) || !ParseHex(rec[2], 0xFFFFFFFF, node1) ||
            !ParseHex(rec[3], 0xFFFFFFFF, node2) || !ParseHex(rec[4], 0xFFFF, sock))
            continue;
        std::span<unsigned char, 6> node{addr.node};
        spx::PutBE32(std::span<unsigned char, 4>{addr.net}, net);
        spx::PutBE32(node.first<4>(), node1);
        spx::PutBE16(node.last<2>(), static_cast<std::uint16_t>(node2 >> 16));
        spx::PutBE16(std::span<unsigned char, 2>{addr.sock}, static_cast<std::uint16_t>(sock));
        return 0;
    }
}

int GetIpxAddress(const char* hostFile, const char* hostName, ipxAddr_t* ipxAddrPtr) {
    // Opened for reading and update ("r+t"), as this client always has.
    std::FILE* fp = std::fopen(hostFile, "r+te");
    if (fp == nullptr) {
        // Fixed output, "VARNEL: " included: scripts read it, as the line below.
        ReportErrno("VARNEL: error opening yellowpages", errno);
        return -1;
    }
    ipxAddr_t found{};
    const int r = FindHostRecord(fp, hostName, found);
    std::fclose(fp);
    if (r != 0) {
        Report(stderr, "couldn't find remote name %s\n", hostName);
        return -1;
    }
    *ipxAddrPtr = found;
    return 0;
}
