// The service protocol: request records, command codes and the data unit
// size shared by varneld and its clients.
//
// Records mirror the wire byte for byte; every integer field is big-endian
// and read and written only through the helpers of <spx/byteorder.h>.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest unit either side reads in one receive, and the size of every
// buffer that receives a request or data.
inline constexpr std::size_t SPX_MAX_DATA = 534;

// Command codes (spxServPrimType).
inline constexpr std::uint32_t SERV_SEND_FILE = 0xFC;   // send a server file to the client
inline constexpr std::uint32_t SERV_RSH = 0xFD;         // run a shell command, send its output
inline constexpr std::uint32_t SERV_RECV_STDOUT = 0xFE; // copy the data to standard output
inline constexpr std::uint32_t SERV_RECV_FILE = 0xFF;   // store the data in a file

// Store a file (0xFF), or copy to standard output (0xFE, command code only).
typedef struct receiveFile_s {
    unsigned char spxServPrimType[4];
    char filename[80];             // NUL-terminated, at most 79 characters
    unsigned char newUlimit[4];    // file-size limit in ulimit blocks, 0: unchanged
    unsigned char uid[2];          // sent as 0, ignored
    unsigned char gid[2];          // sent as 0, ignored
    unsigned char permissions[4];  // mode of the created file, 0: 0644
} receiveFile_t;

static_assert(sizeof(receiveFile_t) == 96 &&
              offsetof(receiveFile_t, spxServPrimType) == 0 &&
              offsetof(receiveFile_t, filename) == 4 &&
              offsetof(receiveFile_t, newUlimit) == 84 &&
              offsetof(receiveFile_t, uid) == 88 &&
              offsetof(receiveFile_t, gid) == 90 &&
              offsetof(receiveFile_t, permissions) == 92);

// Run a shell command (0xFD).
typedef struct rshData_s {
    unsigned char spxServPrimType[4];
    char command[100]; // NUL-terminated, at most 99 characters
} rshData_t;

static_assert(sizeof(rshData_t) == 104 && offsetof(rshData_t, command) == 4);

// Send a server file (0xFC).
typedef struct sendFile_s {
    unsigned char spxServPrimType[4];
    char fileName[80]; // NUL-terminated, at most 79 characters
} sendFile_t;

static_assert(sizeof(sendFile_t) == 84 && offsetof(sendFile_t, fileName) == 4);

static_assert(sizeof(receiveFile_t) <= SPX_MAX_DATA && sizeof(rshData_t) <= SPX_MAX_DATA);
