// varnel, the sending client: its settings, the command line and the host
// address file. The transfer itself is main in varnel.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include <spx/ipx.h>

// Field sizes of the settings (terminator included).
inline constexpr std::size_t REMOTE_NAME_SIZE = 200;  // -r: at most 199 characters
inline constexpr std::size_t SOURCE_FILE_SIZE = 1025; // -j: at most 1024 characters
inline constexpr std::size_t FILE_NAME_SIZE = 250;    // -f: at most 249 characters
inline constexpr std::size_t ADDRESS_FILE_SIZE = 80;  // -h: at most 79 characters
// The remote name travels in an 80-byte field of the request record.
inline constexpr std::size_t REQUEST_NAME_MAX = 79;
// Bytes per write on the connection when -p is not given.
inline constexpr unsigned DEFAULT_PACKET_SIZE = 1024;

// Settings, changed only by ScanArgs (ResetSettings restores the start values).
extern char remoteName[REMOTE_NAME_SIZE];    // -r: server host name; empty: not given
extern char sourcefile[SOURCE_FILE_SIZE];    // -j: local file to send
extern char filename[FILE_NAME_SIZE];        // -f: remote file name
extern int fileTran;                         // 1 once -f was given
extern std::uint32_t newULimit;              // -u: server's file-size limit in blocks, 0: unchanged
extern std::uint32_t newPermissions;         // -P: mode of the remote file
extern std::uint32_t packetSize;             // -p: bytes per write on the connection
extern unsigned short destSocket;            // -s: server socket in network order, 0: none
extern char addressFile[ADDRESS_FILE_SIZE];  // -h: host address file
extern const char* const defaultAddressFile; // "./yellowpages"

// The client's option string.
inline constexpr const char* CLIENT_OPTIONS = "P:vr:f:u:h:s:p:j:";

// Puts every setting (verbose included) back to its starting value.
void ResetSettings();

// What ParseArgs found.
enum class ArgsResult {
    Ok,                // settings filled
    Usage,             // unknown option or missing argument: usage text wanted
    UlimitWithoutName, // -u before a non-empty -f (message printed)
    Refused,           // an argument out of bounds (message printed)
};

// Parses the command line into the settings without ending the program;
// prints the message of a refusal to standard error. Can be called again
// (it resets the option parser, not the settings).
ArgsResult ParseArgs(int argc, char* argv[], const char* optstr);

// ParseArgs, ending the program with status 1 on anything but success
// (usage text through ShowOptionsExit).
void ScanArgs(int argc, char* argv[], const char* optstr);

// Prints the usage text to standard error and exits with status 1.
[[noreturn]] void ShowOptionsExit();

// Looks hostName up in the host address file hostFile and fills
// *ipxAddrPtr. 0 when found; -1 (address untouched, message printed) when
// the file cannot be opened for reading and update or holds no such host.
int GetIpxAddress(const char* hostFile, const char* hostName, ipxAddr_t* ipxAddrPtr);

// Reads host address records (five white-space separated fields: name, net,
// node bytes 0-3, node bytes 4-5 in the upper half, socket; all hex) from fp
// until one is named hostName; fills addr from it. 0 when found, -1 at the
// end of the stream. Prints nothing; reads nothing past any field.
int FindHostRecord(std::FILE* fp, std::string_view hostName, ipxAddr_t& addr);
