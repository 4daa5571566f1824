// varnel's command line: the settings, ParseArgs/ScanArgs and the usage text.

#include "varnel.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "spxproto.h"
#include "spxsupport.h"

char remoteName[REMOTE_NAME_SIZE];
char sourcefile[SOURCE_FILE_SIZE];
char filename[FILE_NAME_SIZE];
int fileTran = 0;
std::uint32_t newULimit = 0;
std::uint32_t newPermissions = 0644;
std::uint32_t packetSize = DEFAULT_PACKET_SIZE;
unsigned short destSocket = 0;
char addressFile[ADDRESS_FILE_SIZE] = "./yellowpages";
const char* const defaultAddressFile = "./yellowpages";

namespace {

// Copies text into the field dest, which the caller has checked it fits.
template <std::size_t N> void CopyField(char (&dest)[N], std::string_view text) {
    const std::size_t n = text.size() < N ? text.size() : N - 1;
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

// A number of an unsigned long conversion, kept in 32 bits: a value that
// does not fit becomes the largest 32-bit value, as on the 32-bit systems
// whose conversions these options follow.
std::uint32_t Fit32(unsigned long v) {
    constexpr unsigned long max = std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(v > max ? max : v);
}

// The first white-space delimited word of text (what "%s" would read).
std::string_view FirstWord(std::string_view text) {
    std::size_t b = 0;
    while (b < text.size() && std::isspace(static_cast<unsigned char>(text[b])))
        ++b;
    std::size_t e = b;
    while (e < text.size() && !std::isspace(static_cast<unsigned char>(text[e])))
        ++e;
    return text.substr(b, e - b);
}

// Prints a refusal of an argument to standard error.
ArgsResult Refuse(const char* what) {
    std::fprintf(stderr, "%s: %s refused\n", titleStr, what);
    return ArgsResult::Refused;
}

} // namespace

void ResetSettings() {
    remoteName[0] = '\0';
    sourcefile[0] = '\0';
    filename[0] = '\0';
    fileTran = 0;
    newULimit = 0;
    newPermissions = 0644;
    packetSize = DEFAULT_PACKET_SIZE;
    destSocket = 0;
    verbose = 0;
    CopyField(addressFile, defaultAddressFile);
}

ArgsResult ParseArgs(int argc, char* argv[], const char* optstr) {
    opterr = 0;
    optind = 0; // glibc: start the option parser afresh
    filename[0] = '\0';
    CopyField(addressFile, defaultAddressFile);

    int c;
    while ((c = getopt(argc, argv, optstr)) != -1) {
        const std::string_view arg = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'P': {
            unsigned long v = 0;
            if (std::sscanf(optarg, "%lo", &v) == 1)
                newPermissions = Fit32(v);
            break;
        }
        case 'v':
            verbose = 1;
            break;
        case 'r': {
            const std::string_view word = FirstWord(arg);
            if (word.size() >= REMOTE_NAME_SIZE)
                return Refuse("-r host name longer than 199 characters");
            if (!word.empty())
                CopyField(remoteName, word);
            break;
        }
        case 'f':
            // The name travels in an 80-byte field; a cut name would store
            // the data under another name.
            fileTran = 1;
            if (arg.size() > REQUEST_NAME_MAX)
                return Refuse("-f remote file name longer than 79 characters");
            CopyField(filename, arg);
            break;
        case 'u': {
            if (filename[0] == '\0') {
                std::fprintf(stderr, "VARNEL: ulimit must be preceeded with a filename\n");
                return ArgsResult::UlimitWithoutName;
            }
            unsigned long v = 0;
            if (std::sscanf(optarg, "%lu", &v) == 1)
                newULimit = Fit32(v);
            break;
        }
        case 'h':
            // Falling back to the default file could send the data to
            // another host.
            if (arg.size() >= ADDRESS_FILE_SIZE)
                return Refuse("-h host address file path longer than 79 characters");
            CopyField(addressFile, arg);
            break;
        case 's': {
            unsigned short v = destSocket;
            if (std::sscanf(optarg, "%hx", &v) == 1)
                destSocket = v;
            // Held in network order; the exchange follows every -s.
            destSocket = htons(destSocket);
            break;
        }
        case 'p': {
            int v = 0;
            if (std::sscanf(optarg, "%d", &v) == 1) {
                packetSize = static_cast<std::uint32_t>(v);
                if (packetSize > SPX_MAX_DATA)
                    packetSize = SPX_MAX_DATA;
            }
            break;
        }
        case 'j':
            // Ignoring it could send an earlier -j's file instead.
            if (arg.size() >= SOURCE_FILE_SIZE)
                return Refuse("-j source file path longer than 1024 characters");
            CopyField(sourcefile, arg);
            break;
        default:
            return ArgsResult::Usage;
        }
    }
    // Every read would ask for nothing: an empty file reported as sent.
    if (packetSize == 0)
        return Refuse("-p packet size 0");
    return ArgsResult::Ok;
}

void ScanArgs(int argc, char* argv[], const char* optstr) {
    switch (ParseArgs(argc, argv, optstr)) {
    case ArgsResult::Ok:
        return;
    case ArgsResult::Usage:
        ShowOptionsExit();
    case ArgsResult::UlimitWithoutName:
    case ArgsResult::Refused:
        std::exit(1);
    }
}

void ShowOptionsExit() {
    std::fprintf(stderr, "%s: usage: %s ", titleStr, titleStr);
    std::fputs("-r<dname> -j<sourcefile> [-f<dfilename> -u<dulimit>] [-h<hostsFile>] [-v] "
               "[-s<dsocket>] [-P<permissions>] [-p<packet size>] \n",
               stderr);
    std::fputs("       dname:     server host name\n", stderr);
    std::fputs("       sourcefile:     input file name\n", stderr);
    std::fputs("       dfilename: server file name\n", stderr);
    std::fputs("       dulimit:   file size (blocks) limit on server\n", stderr);
    std::fputs("       dsocket: server socket number override\n", stderr);
    std::fputs("       hostsFile : yellowpages type file\n", stderr);
    std::fputs("       permissions : server file permissions\n", stderr);
    std::fputs("       packet size: number of data bytes per packet\n", stderr);
    std::exit(1);
}
