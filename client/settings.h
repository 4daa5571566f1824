// varnel's settings and command line: the option parser returns the
// settings, by the names the rest of the client knows them by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Field sizes of the settings (terminator included).
inline constexpr std::size_t REMOTE_NAME_SIZE = 200;  // -r: at most 199 characters
inline constexpr std::size_t SOURCE_FILE_SIZE = 1025; // -j: at most 1024 characters
inline constexpr std::size_t FILE_NAME_SIZE = 250;    // -f: at most 249 characters
inline constexpr std::size_t ADDRESS_FILE_SIZE = 80;  // -h: at most 79 characters
// The remote name travels in an 80-byte field of the request record.
inline constexpr std::size_t REQUEST_NAME_MAX = 79;
// Bytes per write on the connection when -p is not given.
inline constexpr unsigned DEFAULT_PACKET_SIZE = 1024;

// The client's option string.
// The client's options, parsed in POSIX order: the first operand ends them.
inline constexpr const char* CLIENT_OPTIONS = "+P:vr:f:u:h:s:p:j:";
inline constexpr const char* defaultAddressFile = "./yellowpages";

struct Settings {
    std::array<char, REMOTE_NAME_SIZE> remoteName{};   // -r: server host name; empty: not given
    std::array<char, SOURCE_FILE_SIZE> sourcefile{};   // -j: local file to send
    std::array<char, FILE_NAME_SIZE> filename{};       // -f: remote file name
    int fileTran = 0;                                  // 1 once -f was given
    std::uint32_t newULimit = 0;                       // -u: server's file-size limit, blocks
    std::uint32_t newPermissions = 0644;               // -P: mode of the remote file
    std::uint32_t packetSize = DEFAULT_PACKET_SIZE;    // -p: bytes per write on the connection
    unsigned short destSocket = 0;                     // -s: server socket in network order, 0: none
    int verbose = 0;                                   // -v
    std::array<char, ADDRESS_FILE_SIZE> addressFile{}; // -h: host address file
};

// What ParseArgs found.
enum class ArgsResult {
    Ok,                // settings filled
    Usage,             // unknown option, missing argument or an operand: usage text wanted
    UlimitWithoutName, // -u before a non-empty -f (message printed)
    Refused,           // an argument out of bounds (message printed)
};

// Parses the command line (option string CLIENT_OPTIONS) into settings,
// which start from their defaults; prints the message of a refusal to
// standard error. Can be called again: it resets the option parser.
ArgsResult ParseArgs(int argc, char* argv[], Settings& settings);

// Prints the usage text to standard error.
void ShowOptions();
