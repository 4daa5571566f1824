// spxpeer: a peer of varneld for the services varnel does not use.
//
//   spxpeer get  fetches a file of the server (service 0xFC),
//   spxpeer rsh  runs a shell command on the server and copies its output
//                (service 0xFD),
//   spxpeer raw  sends a hand-made request (and units) and prints what comes
//                back, one line per unit and event, for diagnosis and tests.
//
// The server is named by host name and looked up in a host address file of
// the format varnel reads. Exit status: 0 when the service completed, 1 on a
// usage error, 2 on every other failure. spxpeer(1) tells the whole story.

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "cause.h"
#include "io.h"
#include "numbers.h"
#include "spxpeer.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// The usage text, fixed output: the manual page's check reads it.
const char* const usageText =
    "usage: %s get -r host [-h hostfile] [-s socket] [-t seconds] [-v] remotefile [localfile]\n"
    "       %s rsh -r host [-h hostfile] [-s socket] [-t seconds] [-v] command ...\n"
    "       %s raw -r host [-h hostfile] [-s socket] [-t seconds] [-v] [-c count [-d]]\n"
    "              [-m unit] [-e unit] request ...\n"
    "       %s --help | --version\n";

const char* const helpText =
    "get: fetch remotefile (service 0xFC) into localfile or standard output\n"
    "rsh: run command with the server's shell (service 0xFD), copy its output\n"
    "raw: send the request bytes (hexadecimal) and the units of -m (more data)\n"
    "     and -e (end unit); print every unit and event that comes back\n"
    "-h host address file (./yellowpages)   -s server socket, hexadecimal\n"
    "-t give up after this many seconds of silence   -c, -d raw: release after\n"
    "   count end units, then disconnect   -v show the connection on standard error\n"
    "See spxpeer(1).\n";

// The usage text on standard error, after why when there is more to say.
int Usage(const char* why) {
    if (why[0] != '\0')
        Report(stderr, "%s\n", why);
    std::fprintf(stderr, usageText, titleStr, titleStr, titleStr, titleStr);
    return EXIT_USAGE;
}

// Parses hexadecimal bytes (two digits each; blanks, colons and dashes
// between bytes ignored). nullopt on anything else or an odd digit.
std::optional<std::vector<unsigned char>> ParseHexBytes(std::string_view text) {
    std::vector<unsigned char> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == ':' || c == '-') {
            if (high >= 0)
                return std::nullopt;
            continue;
        }
        const int digit =
            isxdigit(static_cast<unsigned char>(c))
                ? (isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10))
                : -1;
        if (digit < 0)
            return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
}

// A request record of size bytes: the command code, then text in the name
// field that follows it (the checks above keep it inside the field).
std::vector<unsigned char> Record(std::size_t size, std::uint32_t code, std::string_view text) {
    static_assert(offsetof(sendFile_t, fileName) == 4 && offsetof(rshData_t, command) == 4);
    std::vector<unsigned char> record(size);
    spx::PutBE32(std::span<unsigned char, 4>(record.data(), 4), code);
    std::copy(text.begin(), text.end(), record.begin() + 4);
    return record;
}

// The verb named by name into s; false for an unknown one (reported).
bool ScanCommand(std::string_view name, Settings& s) {
    if (name == "get")
        s.command = Command::Get;
    else if (name == "rsh")
        s.command = Command::Rsh;
    else if (name == "raw")
        s.command = Command::Raw;
    else
        Report(stderr, "unknown command %s\n", std::string(name).c_str());
    return name == "get" || name == "rsh" || name == "raw";
}

// Takes the value of option c into s. nullptr, or why it is refused.
const char* ScanOption(int c, const char* arg, Settings& s) {
    switch (c) {
    case 'r':
        s.host = arg;
        return nullptr;
    case 'h':
        s.hostFile = arg;
        return nullptr;
    case 's': {
        const auto v = ParseSocket(arg);
        if (!v)
            return "-s wants one to four hexadecimal digits";
        s.socket = static_cast<std::uint16_t>(*v);
        return nullptr;
    }
    case 't': {
        const auto v = ParseUnsigned(arg, 10, 86400);
        if (!v)
            return "-t wants a number of seconds up to 86400";
        s.timeout = static_cast<unsigned>(*v);
        return nullptr;
    }
    case 'c': {
        const auto v = ParseUnsigned(arg, 10, 1000000);
        if (!v || *v == 0)
            return "-c wants a count of at least 1";
        s.closeAfter = static_cast<unsigned>(*v);
        return nullptr;
    }
    case 'd':
        s.disconnect = true;
        return nullptr;
    case 'v':
        verbose = 1;
        return nullptr;
    default: { // 'm' and 'e'
        const auto bytes = ParseHexBytes(arg);
        if (!bytes)
            return "units are hexadecimal bytes, two digits each";
        if (bytes->size() > RECEIVE_SIZE)
            return "a unit has at most 65535 bytes";
        s.units.emplace_back(*bytes, c == 'm' ? T_MORE : 0);
        return nullptr;
    }
    }
}

// Reads the options after the verb into s; they stop at the first operand,
// so that a command's own options pass. nullptr, or why not.
const char* ScanOptions(int argc, char** argv, Settings& s) {
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt(argc, argv, "+:r:h:s:t:c:dm:e:v")) != -1) {
        static char why[64];
        if (c == ':' || c == '?') {
            snprintf(why, sizeof why,
                     c == ':' ? "option -%c needs an argument" : "unknown option -%c", optopt);
            return why;
        }
        if (const char* refused = ScanOption(c, optarg, s))
            return refused;
    }
    for (int i = optind; i < argc; ++i)
        s.operands.emplace_back(argv[i]);
    return nullptr;
}

// Raw: the request bytes given, and without -c the closing the requested
// service expects. nullptr, or why not.
const char* RawRequest(const std::string& joined, Settings& s) {
    const auto bytes = ParseHexBytes(joined);
    if (!bytes)
        return "the request is hexadecimal bytes, two digits each";
    if (bytes->size() > RECEIVE_SIZE)
        return "the request has at most 65535 bytes";
    s.request = *bytes;
    if (s.closeAfter != 0 || bytes->size() < 4)
        return nullptr;
    const std::uint32_t code = spx::GetBE32(std::span<const unsigned char, 4>(bytes->data(), 4));
    if (code == SERV_SEND_FILE) {
        s.closeAfter = 2; // the status, then the end unit
        s.disconnect = true;
    } else if (code == SERV_RSH) {
        s.closeAfter = 1; // the end unit
    }
    return nullptr;
}

// The request unit of the verb from the operands (get and rsh send their
// record, raw the bytes given; words join with blanks). nullptr, or why not.
const char* BuildRequest(Settings& s) {
    std::string joined;
    for (const auto& w : s.operands)
        joined += (joined.empty() ? "" : " ") + w;
    const char* const wants[] = {"get wants a remote file and at most one local file",
                                 "rsh wants a command", "raw wants the request bytes"};
    if (s.operands.empty() || (s.command == Command::Get && s.operands.size() > 2))
        return wants[static_cast<int>(s.command)];
    switch (s.command) {
    case Command::Get: {
        const std::string& remote = s.operands[0];
        if (remote.empty() || remote.size() >= sizeof(sendFile_t::fileName))
            return "the remote file name must have 1 to 79 characters";
        if (s.operands.size() == 2 && s.operands[1].empty())
            return "the local file name is empty";
        s.request = Record(sizeof(sendFile_t), SERV_SEND_FILE, remote);
        return nullptr;
    }
    case Command::Rsh:
        if (joined.size() >= sizeof(rshData_t::command))
            return "the command line must have at most 99 characters";
        s.request = Record(sizeof(rshData_t), SERV_RSH, joined);
        return nullptr;
    case Command::Raw:
        return RawRequest(joined, s);
    }
    return nullptr;
}

// Parses the command line into s. nullptr when it is usable; otherwise why
// not ("" when the usage text says it all).
const char* ScanArgs(int argc, char** argv, Settings& s) {
    if (!ScanCommand(argv[1], s))
        return "";
    if (const char* why = ScanOptions(argc - 1, argv + 1, s))
        return why;
    if (s.host.empty())
        return "-r host is required";
    if (s.command != Command::Raw && (s.closeAfter != 0 || s.disconnect || !s.units.empty()))
        return "-c, -d, -m and -e apply to raw only";
    if (s.disconnect && s.closeAfter == 0)
        return "-d needs -c";
    return BuildRequest(s);
}

} // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    SetTitle(argc > 0 && argv[0] != nullptr ? argv[0] : "spxpeer");
    SetReportStyle(ReportStyle::Client);
    silenceLimitName = "-t limit";

    if (ShowVersion(argc, argv, "spxpeer"))
        return EXIT_DONE;
    if (argc < 2)
        return Usage("");
    const std::string_view first = argv[1];
    if (first == "--help" || (argc > 2 && std::string_view(argv[2]) == "--help")) {
        std::printf(usageText, titleStr, titleStr, titleStr, titleStr);
        std::fputs(helpText, stdout);
        return EXIT_DONE;
    }
    Settings s;
    if (const char* why = ScanArgs(argc, argv, s))
        return Usage(why);
    switch (s.command) {
    case Command::Get:
        return GetFile(s);
    case Command::Rsh:
        return RemoteCommand(s);
    case Command::Raw:
        return RawExchange(s);
    }
    return EXIT_FAILED;
}
