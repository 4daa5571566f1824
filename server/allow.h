// Who may call the daemon, and for which services: the allow file of
// varneld -a. One entry per line: an IPv4 address or prefix (192.0.2.7,
// 192.0.2.0/24, 0.0.0.0/0) for TCP callers, or an IPX network (0000ABCD,
// every node on it) or network and node (0000ABCD:020000000002) for IPX
// callers, then the services that entry may use as words (store, fetch,
// command, copy; none named: all four). "#" starts a comment; blank lines
// are ignored. The first entry that matches a caller decides; an IPv4 entry
// never matches an IPX caller, nor an IPX entry a TCP one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spx/ipx.h>

#include "address.h"
#include "request.h"

// The services as bits of an entry.
inline constexpr unsigned SERVICE_STORE = 1;   // store a file (0xFF)
inline constexpr unsigned SERVICE_FETCH = 2;   // send a file (0xFC)
inline constexpr unsigned SERVICE_COMMAND = 4; // run a command (0xFD)
inline constexpr unsigned SERVICE_COPY = 8;    // copy to standard output (0xFE)
inline constexpr unsigned ALL_SERVICES = 15;

// Longest line (line end not counted) and largest file taken.
inline constexpr std::size_t ALLOW_LINE_MAX = 512;
inline constexpr std::size_t ALLOW_FILE_MAX = 1 << 20;

struct AllowEntry {
    bool ipx = false;          // an IPX entry (network, node) or an IPv4 one (network, mask)
    std::uint32_t network = 0; // IPv4: host order, no bit outside the mask; IPX: the number
    std::uint32_t mask = 0;    // IPv4: host order
    bool anyNode = true;       // IPX: every node of the network, or node alone
    std::array<unsigned char, 6> node{};
    unsigned services = 0; // SERVICE_* bits, never 0
    unsigned line = 0;     // in the file, from 1
};

// What an allow file holds: its entries in file order, or what is wrong
// with it (error, with errorLine counting from 1, or 0 when the file as a
// whole is wrong). repeats: pairs of a line and the earlier line with the
// same address and prefix, which decides for both.
struct AllowFile {
    std::vector<AllowEntry> entries;
    std::string error; // empty when the file is good
    unsigned errorLine = 0;
    std::vector<std::pair<unsigned, unsigned>> repeats;
};

// Parses the text of an allow file. Never touches the system.
AllowFile ParseAllowFile(std::string_view text);

// Reads and parses the allow file at path: a regular file of at most
// ALLOW_FILE_MAX bytes (a directory, a FIFO or a device is refused without
// being waited for).
AllowFile ReadAllowFile(const char* path);

// The services the first entry that matches the caller of key grants; 0
// when none matches.
unsigned AllowedServices(std::span<const AllowEntry> entries, const CallerKey& key);

// The line of an entry for every IPv4 host (0.0.0.0/0) in a file without
// any IPX entry, whose author may have meant it for every caller; 0 when
// there is none.
unsigned EveryIPv4Only(std::span<const AllowEntry> entries);

// An IPv4 address (host order) in dotted decimal.
std::string ShowIPv4(std::uint32_t address);

// Who the caller of a service child is, as the listener hands it over: its
// IPX address as t_listen gave it and the services its entry grants.
struct CallerRecord {
    ipxAddr_t ipx{};
    unsigned services = ALL_SERVICES;
};

// Whether the caller may use the service the request asks for; when not,
// logs the refusal, naming the caller's address and the service. A request
// no service answers to passes here (it is refused on its own).
bool ServiceAllowed(const CallerRecord& caller, RequestKind kind);
