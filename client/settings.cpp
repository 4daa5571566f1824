#include "settings.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

#include "numbers.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// Copies text into the field dest when it fits there, terminator included.
template <std::size_t N> bool CopyField(std::array<char, N>& dest, std::string_view text) {
    if (text.size() >= N)
        return false;
    std::memcpy(dest.data(), text.data(), text.size());
    dest[text.size()] = '\0';
    return true;
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
    Report(stderr, "%s refused\n", what);
    return ArgsResult::Refused;
}

// Takes the value arg of option c into s: Ok, Usage for an option the
// client does not know, or the refusal (reported).
ArgsResult TakeOption(int c, std::string_view arg, Settings& s) {
    switch (c) {
    case 'P':
        if (const auto v = ScanUnsigned(arg, 8))
            s.newPermissions = Fit32(*v);
        return ArgsResult::Ok;
    case 'v':
        s.verbose = 1;
        return ArgsResult::Ok;
    case 'r': {
        const std::string_view word = FirstWord(arg);
        if (word.size() >= REMOTE_NAME_SIZE)
            return Refuse("-r host name longer than 199 characters");
        if (!word.empty())
            CopyField(s.remoteName, word);
        return ArgsResult::Ok;
    }
    case 'f':
        // The name travels in an 80-byte field; a cut name would store
        // the data under another name.
        s.fileTran = 1;
        if (arg.size() > REQUEST_NAME_MAX)
            return Refuse("-f remote file name longer than 79 characters");
        CopyField(s.filename, arg);
        return ArgsResult::Ok;
    case 'u':
        if (s.filename[0] == '\0') {
            // Fixed output, "VARNEL: " and "preceeded" included: scripts read it.
            std::fprintf(stderr, "VARNEL: ulimit must be preceeded with a filename\n");
            return ArgsResult::UlimitWithoutName;
        }
        if (const auto v = ScanUnsigned(arg, 10))
            s.newULimit = Fit32(*v);
        return ArgsResult::Ok;
    case 'h':
        // Falling back to the default file could send the data to
        // another host.
        if (!CopyField(s.addressFile, arg))
            return Refuse("-h host address file path longer than 79 characters");
        return ArgsResult::Ok;
    case 's': {
        // A socket nobody named could deliver the file to another service.
        const auto v = ParseSocket(arg);
        if (!v)
            return Refuse("-s socket not one to four hexadecimal digits");
        s.destSocket = htons(*v); // held in network order
        return ArgsResult::Ok;
    }
    case 'p':
        // As "%d" reads it: a negative size is a large one, cut to fit.
        if (const auto v = ScanSigned(arg, 10))
            s.packetSize = std::min<std::uint32_t>(static_cast<int>(*v), SPX_MAX_DATA);
        return ArgsResult::Ok;
    case 'j':
        // Ignoring it could send an earlier -j's file instead.
        if (!CopyField(s.sourcefile, arg))
            return Refuse("-j source file path longer than 1024 characters");
        return ArgsResult::Ok;
    default:
        return ArgsResult::Usage;
    }
}

} // namespace

ArgsResult ParseArgs(int argc, char* argv[], Settings& s) {
    s = Settings{};
    CopyField(s.addressFile, defaultAddressFile);
    opterr = 0;
    optind = 0; // glibc: start the option parser afresh

    int c;
    while ((c = getopt(argc, argv, CLIENT_OPTIONS)) != -1) {
        const ArgsResult taken = TakeOption(c, optarg != nullptr ? optarg : "", s);
        if (taken != ArgsResult::Ok)
            return taken;
    }
    // A word the options do not take would be silently ignored.
    if (optind < argc)
        return ArgsResult::Usage;
    // Every read would ask for nothing: an empty file reported as sent.
    if (s.packetSize == 0)
        return Refuse("-p packet size 0");
    return ArgsResult::Ok;
}

// The usage text, fixed output (its odd spacing included): the manual page's check reads it.
void ShowOptions() {
    Report(stderr, "usage: %s ", titleStr);
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
}
