#include "hostfile.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include <spx/byteorder.h>

#include "spxsupport.h"

namespace {

// Reads the next white-space delimited field of fp into field. False at the
// end of the file.
bool NextField(FILE* fp, std::string& field) {
    field.clear();
    int c;
    while ((c = getc(fp)) != EOF && isspace(c)) {
    }
    while (c != EOF && !isspace(c)) {
        field.push_back(static_cast<char>(c));
        c = getc(fp);
    }
    return !field.empty();
}

// A hexadecimal field of at most max, as scanf's %x takes it (an optional
// 0x prefix, no sign).
std::optional<std::uint32_t> HexField(const std::string& field, std::uint32_t max) {
    if (field.empty() || field[0] == '-' || field[0] == '+')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = strtoull(field.c_str(), &end, 16);
    if (errno != 0 || *end != '\0' || v > max)
        return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

} // namespace

int GetHostAddress(const char* hostFile, const char* hostName, ipxAddr_t& addr) {
    FILE* fp = fopen(hostFile, "re");
    if (fp == nullptr) {
        fprintf(stderr, "%s: cannot open host address file %s: %s\n", titleStr, hostFile,
                strerror(errno));
        return -1;
    }
    std::array<std::string, 5> record;
    for (;;) {
        bool complete = true;
        for (auto& field : record)
            complete = complete && NextField(fp, field);
        if (!complete)
            break;
        if (record[0] != hostName)
            continue;
        fclose(fp);
        const auto net = HexField(record[1], 0xFFFFFFFF);
        const auto node1 = HexField(record[2], 0xFFFFFFFF);
        const auto node2 = HexField(record[3], 0xFFFFFFFF);
        const auto sock = HexField(record[4], 0xFFFF);
        if (!net || !node1 || !node2 || !sock) {
            fprintf(stderr, "%s: malformed record for %s in %s\n", titleStr, hostName, hostFile);
            return -1;
        }
        spx::PutBE32(addr.net, *net);
        spx::PutBE32(std::span<unsigned char, 4>(addr.node, 4), *node1);
        spx::PutBE16(std::span<unsigned char, 2>(addr.node + 4, 2),
                     static_cast<std::uint16_t>(*node2 >> 16));
        spx::PutBE16(addr.sock, static_cast<std::uint16_t>(*sock));
        return 0;
    }
    const bool readError = ferror(fp) != 0;
    fclose(fp);
    if (readError)
        fprintf(stderr, "%s: read of host address file %s failed\n", titleStr, hostFile);
    else
        fprintf(stderr, "%s: couldn't find remote name %s in %s\n", titleStr, hostName, hostFile);
    return -1;
}
