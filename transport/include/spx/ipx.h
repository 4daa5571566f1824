// IPX addresses and SPX connection options, as the SPX provider hands them
// to programs: plain byte records in network order, mirrored byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

// A 12-byte IPX address: network, node and socket, most significant byte first.
typedef struct ipxAddress {
    unsigned char net[4];
    unsigned char node[6];
    unsigned char sock[2];
} ipxAddr_t;

static_assert(sizeof(ipxAddr_t) == 12 &&
              offsetof(ipxAddr_t, net) == 0 &&
              offsetof(ipxAddr_t, node) == 4 &&
              offsetof(ipxAddr_t, sock) == 10);

// The 4 option bytes exchanged at connect and accept: the endpoint's SPX
// connection id and allocation number, each 16 bits big-endian.
typedef struct spxopt_s {
    unsigned char spx_connectionID[2];
    unsigned char spx_allocationNumber[2];
} SPX_OPTS;

static_assert(sizeof(SPX_OPTS) == 4 &&
              offsetof(SPX_OPTS, spx_connectionID) == 0 &&
              offsetof(SPX_OPTS, spx_allocationNumber) == 2);

// Disconnect reasons reported by the provider.
inline constexpr int SPX_DISCON_TERMINATED = 236; // the peer ended the connection
inline constexpr int SPX_DISCON_FAILED = 237;     // the connection failed
