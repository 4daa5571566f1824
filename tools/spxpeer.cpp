// spxpeer: a peer of varneld for the services varnel does not use.
//
//   spxpeer get  fetches a file of the server (service 0xFC),
//   spxpeer rsh  runs a shell command on the server and copies its output
//                (service 0xFD),
//   spxpeer raw  sends a hand-made request (and units) and prints what comes
//                back, one line per unit and event, for diagnosis and tests.
//
// The server is named by host name and looked up in a host address file of
// the same format varnel reads. Exit status: 0 when the service completed,
// 1 on a usage error, 2 on every other failure.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spx/byteorder.h>
#include <spx/ipx.h>
#include <spx/tiuser.h>

#include "hostfile.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

constexpr int EXIT_DONE = 0;   // the service completed
constexpr int EXIT_USAGE = 1;  // bad command line
constexpr int EXIT_FAILED = 2; // anything else went wrong

constexpr const char* DEFAULT_HOST_FILE = "./yellowpages";

// The largest unit taken in one receive: one provider frame.
constexpr std::size_t RECEIVE_SIZE = 65535;
// Output is gathered into writes of this size.
constexpr std::size_t OUTPUT_CHUNK = 64 * 1024;
// raw prints at most this many bytes of each unit.
constexpr std::size_t SHOWN_BYTES = 16;

enum class Command { Get, Rsh, Raw };

// The command line, checked.
struct Settings {
    Command command = Command::Get;
    std::string host;                         // -r
    std::string hostFile = DEFAULT_HOST_FILE; // -h
    std::uint16_t socket = 0;                 // -s, 0: the host file's socket
    unsigned timeout = 0;                     // -t seconds of silence, 0: none
    unsigned closeAfter = 0;                  // raw -c: release after this many end units
    bool disconnect = false;                  // raw -d: disconnect after the release
    std::vector<std::string> operands;        // get: remote [local]; rsh, raw: the words joined
    // raw -m and -e: units sent after the request, in the order given.
    std::vector<std::pair<std::vector<unsigned char>, int>> units;
};

const char* const usageText =
    "usage: %s get -r host [-h hostfile] [-s socket] [-t seconds] remotefile [localfile]\n"
    "       %s rsh -r host [-h hostfile] [-s socket] [-t seconds] command ...\n"
    "       %s raw -r host [-h hostfile] [-s socket] [-t seconds] [-c count [-d]]\n"
    "              [-m unit] [-e unit] request ...\n"
    "       %s --help\n";

const char* const helpText = R"(NAME
    spxpeer - fetch files, run commands and probe varneld over SPX

SYNOPSIS
    spxpeer get -r host [-h hostfile] [-s socket] [-t seconds] remotefile [localfile]
    spxpeer rsh -r host [-h hostfile] [-s socket] [-t seconds] command ...
    spxpeer raw -r host [-h hostfile] [-s socket] [-t seconds] [-c count [-d]]
                [-m unit] [-e unit] request ...
    spxpeer --help

DESCRIPTION
    spxpeer is a client of the varneld daemon for the services that varnel
    does not use. It opens one SPX connection to the daemon on host, sends
    one request and plays the client's part of that service to its end.

    get   Asks the daemon to send remotefile (service 0xFC) and stores the
          data in localfile, created or truncated, or writes it to standard
          output when localfile is not given. The daemon opens remotefile
          under its run-as account for reading and update, relative to its
          working directory; a file that account cannot write is refused.
          When the daemon refuses, its reason is printed and no local file
          is created. remotefile has at most 79 characters.

    rsh   Asks the daemon to run command with the shell (service 0xFD) and
          copies the command's standard output to standard output. Several
          command words are joined with blanks; the whole command line has
          at most 99 characters. The command's standard error stays on the
          server, and its exit status is not transmitted.

    raw   Sends the request bytes (all request words together) as the
          request unit, then the units of -m and -e in the order given, and
          prints one line for every unit that comes back and for each event
          until the connection ends:
              unit length=N flags=T_MORE|0 data=XX XX ...
                  (at most the first 16 bytes, "..." when there are more)
              release           the server's orderly release; spxpeer
                                answers with its own and ends
              disconnect reason=N (text)
              sent release, sent disconnect
                                spxpeer's own closing steps
          Bytes are given in hexadecimal, two digits each; blanks, colons
          and dashes between bytes are ignored, and an empty unit argument
          is a unit of zero bytes. The command code is the first four
          request bytes, big-endian: 000000fc send file, 000000fd remote
          command, 000000fe standard-output copy, 000000ff store a file.
          Unless -c says otherwise, raw closes the way the requested
          service expects: for 000000fc a release and a disconnect after
          the end of the file (-c 2 -d), for 000000fd a release after the
          end of the output (-c 1); for other requests it only answers the
          server's release.

OPTIONS
    -r host       Name of the server in the host address file. Required.
    -h hostfile   Host address file (default ./yellowpages).
    -s socket     Server socket in hexadecimal, replacing the one in the
                  host address file (0 keeps it).
    -t seconds    Give up when the server sends nothing for this many
                  seconds (default 0: wait as long as it takes).
    -c count      raw: send an orderly release once count units without
                  the more-data flag have arrived (the send-file status
                  counts as one; the end of a data stream as another).
    -d            raw: disconnect right after that release, as the
                  send-file service expects.
    -m unit       raw: after the request, send unit with the more-data
                  flag (a data unit). May be repeated.
    -e unit       raw: after the request, send unit without the more-data
                  flag (the end of a data stream). May be repeated.
    --help        Print this text.

HOST ADDRESS FILE
    A text file of records of five fields separated by white space (line
    ends count as white space):
        name  net  node-high  node-low  socket
    net, node-high, node-low and socket are hexadecimal. The node is the
    four bytes of node-high followed by the upper two bytes of node-low. A
    node of 00 00 a b c d is the IPv4 host a.b.c.d, and an all-zero node
    this host; the socket is the TCP port. Example, varneld on port 0x4500
    of 192.0.2.7:
        fileserver 00000000 0000C000 02070000 4500

EXIT STATUS
    0   The service completed: get received the whole file and closed the
        connection the way the daemon expects; rsh copied all output and
        released the connection; raw saw the connection end.
    1   Usage error.
    2   Any other failure: host not found, connection refused or lost, the
        daemon refused the file, a local write failed, a time-out.

EXAMPLES
    spxpeer get -r fileserver /etc/motd motd.copy
    spxpeer rsh -r fileserver 'ls -l /tmp'
    spxpeer raw -r fileserver 000000fc 2f6574632f686f73746e616d6500
    spxpeer raw -r fileserver -m 68656c6c6f0a -e "" 000000fe
)";

[[noreturn]] void UsageExit(const char* why = nullptr) {
    if (why != nullptr)
        fprintf(stderr, "%s: %s\n", titleStr, why);
    fprintf(stderr, usageText, titleStr, titleStr, titleStr, titleStr);
    exit(EXIT_USAGE);
}

// Parses a hexadecimal number of at most max; nullopt when text is no such
// number.
std::optional<unsigned long> ParseHexNumber(const char* text, unsigned long max) {
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+' ||
        isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = strtoul(text, &end, 16);
    if (errno != 0 || *end != '\0' || v > max)
        return std::nullopt;
    return v;
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

Settings ScanArgs(int argc, char** argv) {
    Settings s;
    const std::string_view name = argv[1];
    if (name == "get")
        s.command = Command::Get;
    else if (name == "rsh")
        s.command = Command::Rsh;
    else if (name == "raw")
        s.command = Command::Raw;
    else {
        fprintf(stderr, "%s: unknown command %s\n", titleStr, argv[1]);
        UsageExit();
    }

    // Options stop at the first operand, so a command's own options pass.
    opterr = 0;
    optind = 1;
    int c;
    const int subArgc = argc - 1;
    char** subArgv = argv + 1;
    while ((c = getopt(subArgc, subArgv, "+:r:h:s:t:c:dm:e:")) != -1) {
        switch (c) {
        case 'r':
            s.host = optarg;
            break;
        case 'h':
            s.hostFile = optarg;
            break;
        case 's': {
            const auto v = ParseHexNumber(optarg, 0xFFFF);
            if (!v)
                UsageExit("-s wants a hexadecimal socket number up to ffff");
            s.socket = static_cast<std::uint16_t>(*v);
            break;
        }
        case 't': {
            char* end = nullptr;
            errno = 0;
            const unsigned long v = strtoul(optarg, &end, 10);
            if (optarg[0] < '0' || optarg[0] > '9' || *end != '\0' || errno != 0 || v > 86400)
                UsageExit("-t wants a number of seconds up to 86400");
            s.timeout = static_cast<unsigned>(v);
            break;
        }
        case 'c': {
            char* end = nullptr;
            errno = 0;
            const unsigned long v = strtoul(optarg, &end, 10);
            if (optarg[0] < '1' || optarg[0] > '9' || *end != '\0' || errno != 0 || v > 1000000)
                UsageExit("-c wants a count of at least 1");
            s.closeAfter = static_cast<unsigned>(v);
            break;
        }
        case 'd':
            s.disconnect = true;
            break;
        case 'm':
        case 'e': {
            const auto bytes = ParseHexBytes(optarg);
            if (!bytes)
                UsageExit("units are hexadecimal bytes, two digits each");
            if (bytes->size() > RECEIVE_SIZE)
                UsageExit("a unit has at most 65535 bytes");
            s.units.emplace_back(*bytes, c == 'm' ? T_MORE : 0);
            break;
        }
        case ':': {
            char why[64];
            snprintf(why, sizeof why, "option -%c needs an argument", optopt);
            UsageExit(why);
        }
        default: {
            char why[64];
            snprintf(why, sizeof why, "unknown option -%c", optopt);
            UsageExit(why);
        }
        }
    }
    for (int i = optind; i < subArgc; ++i)
        s.operands.emplace_back(subArgv[i]);

    if (s.host.empty())
        UsageExit("-r host is required");
    if (s.command != Command::Raw && (s.closeAfter != 0 || s.disconnect || !s.units.empty()))
        UsageExit("-c, -d, -m and -e apply to raw only");
    if (s.disconnect && s.closeAfter == 0)
        UsageExit("-d needs -c");
    switch (s.command) {
    case Command::Get:
        if (s.operands.empty() || s.operands.size() > 2)
            UsageExit("get wants a remote file and at most one local file");
        if (s.operands[0].empty() || s.operands[0].size() >= sizeof(sendFile_t::fileName))
            UsageExit("the remote file name must have 1 to 79 characters");
        if (s.operands.size() == 2 && s.operands[1].empty())
            UsageExit("the local file name is empty");
        break;
    case Command::Rsh: {
        if (s.operands.empty())
            UsageExit("rsh wants a command");
        std::string joined;
        for (const auto& w : s.operands)
            joined += (joined.empty() ? "" : " ") + w;
        if (joined.size() >= sizeof(rshData_t::command))
            UsageExit("the command line must have at most 99 characters");
        s.operands = {joined};
        break;
    }
    case Command::Raw: {
        if (s.operands.empty())
            UsageExit("raw wants the request bytes");
        std::string joined;
        for (const auto& w : s.operands)
            joined += (joined.empty() ? "" : " ") + w;
        const auto bytes = ParseHexBytes(joined);
        if (!bytes)
            UsageExit("the request is hexadecimal bytes, two digits each");
        if (bytes->size() > RECEIVE_SIZE)
            UsageExit("the request has at most 65535 bytes");
        s.operands = {joined};
        // Without -c, close the way the requested service expects.
        if (s.closeAfter == 0 && bytes->size() >= 4) {
            const std::uint32_t code =
                spx::GetBE32(std::span<const unsigned char, 4>(bytes->data(), 4));
            if (code == SERV_SEND_FILE) {
                s.closeAfter = 2; // the status, then the end unit
                s.disconnect = true;
            } else if (code == SERV_RSH) {
                s.closeAfter = 1; // the end unit
            }
        }
        break;
    }
    }
    return s;
}

// Text of a disconnect reason.
std::string DisconnectText(int reason) {
    char buf[80];
    if (reason == SPX_DISCON_TERMINATED)
        snprintf(buf, sizeof buf, "reason=%d (connection terminated by remote endpoint)", reason);
    else if (reason == SPX_DISCON_FAILED)
        snprintf(buf, sizeof buf, "reason=%d (connection failed)", reason);
    else
        snprintf(buf, sizeof buf, "reason=%d (0x%04X)", reason, static_cast<unsigned>(reason));
    return buf;
}

// Reports the event pending on fd on standard error, consuming a disconnect
// or a release.
void ReportEvent(int fd) {
    const int ev = t_look(fd);
    if (ev == T_DISCONNECT) {
        t_discon discon{};
        if (t_rcvdis(fd, &discon) == 0) {
            fprintf(stderr, "%s: disconnect %s\n", titleStr, DisconnectText(discon.reason).c_str());
            return;
        }
    } else if (ev == T_ORDREL) {
        if (t_rcvrel(fd) == 0) {
            fprintf(stderr, "%s: the server released the connection early\n", titleStr);
            return;
        }
    } else if (ev >= 0) {
        fprintf(stderr, "%s: unexpected event 0x%X\n", titleStr, static_cast<unsigned>(ev));
        return;
    }
    t_error(" \t ");
}

// Reports a failed transport call: its line, then the library's text or the
// event that got in the way.
void ReportCall(int fd, const char* call) {
    const int err = t_errno;
    fprintf(stderr, "%s: %s failed \n", titleStr, call);
    t_errno = err;
    if (err == TLOOK) {
        t_error(" \t ");
        ReportEvent(fd);
    } else {
        SpxError(fd);
    }
}

// Waits until an event is pending on fd, at most timeout seconds (0: no
// limit). The event, 0 on time-out, -1 when t_look fails.
int AwaitEvent(int fd, unsigned timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    for (;;) {
        const int ev = t_look(fd);
        if (ev != 0)
            return ev;
        if (timeout != 0 && std::chrono::steady_clock::now() >= deadline)
            return 0;
    }
}

// Receives the next unit into buf. The count, or -1 after the failure (a
// time-out, a release or a disconnect instead of data) has been reported.
int ReceiveUnit(int fd, std::span<unsigned char> buf, int& flags, unsigned timeout) {
    if (timeout != 0) {
        const int ev = AwaitEvent(fd, timeout);
        if (ev == 0) {
            fprintf(stderr, "%s: nothing from the server for %u seconds\n", titleStr, timeout);
            return -1;
        }
        if (ev < 0) {
            ReportCall(fd, "t_look");
            return -1;
        }
    }
    flags = 0;
    const int n = t_rcv(fd, buf.data(), static_cast<unsigned>(buf.size()), &flags);
    if (n < 0)
        ReportCall(fd, "t_rcv");
    return n;
}

// Opens an endpoint and connects it to the server named in the settings.
// The endpoint, or -1 after the failure has been reported.
int ConnectToServer(const Settings& s) {
    ipxAddr_t serversAddress{};
    if (GetHostAddress(s.hostFile.c_str(), s.host.c_str(), serversAddress) != 0)
        return -1;
    if (s.socket != 0)
        spx::PutBE16(serversAddress.sock, s.socket);

    t_info info{};
    const int fd = t_open(spxDevice, O_RDWR, &info);
    if (fd < 0) {
        fprintf(stderr, "%s: open of %s failed \n", titleStr, spxDevice);
        SpxError(fd);
        return -1;
    }
    ipxAddr_t bindAddress{};
    struct t_bind bind {};
    bind.addr = {sizeof bindAddress, sizeof bindAddress, reinterpret_cast<char*>(&bindAddress)};
    bind.qlen = 0;
    if (t_bind(fd, &bind, &bind) < 0) {
        ReportCall(fd, "t_bind");
        t_close(fd);
        return -1;
    }
    SPX_OPTS serversId{};
    t_call call{};
    call.addr = {sizeof serversAddress, sizeof serversAddress,
                 reinterpret_cast<char*>(&serversAddress)};
    call.opt = {sizeof serversId, sizeof serversId, reinterpret_cast<char*>(&serversId)};
    call.udata = {0, 0, nullptr};
    if (t_connect(fd, &call, &call) < 0) {
        ReportCall(fd, "t_connect");
        t_close(fd);
        return -1;
    }
    return fd;
}

// Sends one request or data unit; false after the failure has been reported.
bool SendUnit(int fd, std::span<const unsigned char> unit, int flags) {
    if (t_snd(fd, unit.data(), static_cast<unsigned>(unit.size()), flags) < 0) {
        ReportCall(fd, "t_snd");
        return false;
    }
    return true;
}

// Local output gathered into large writes.
class Output {
  public:
    explicit Output(int fd) : fd_(fd) { buf_.reserve(OUTPUT_CHUNK); }
    // Adds bytes; false when a write failed (errno tells why).
    bool Write(std::span<const unsigned char> bytes) {
        buf_.insert(buf_.end(), bytes.begin(), bytes.end());
        return buf_.size() < OUTPUT_CHUNK || Flush();
    }
    // Writes what is gathered; false when a write failed.
    bool Flush() {
        std::size_t done = 0;
        while (done < buf_.size()) {
            const ssize_t w = write(fd_, buf_.data() + done, buf_.size() - done);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += static_cast<std::size_t>(w);
        }
        buf_.clear();
        return true;
    }

  private:
    int fd_;
    std::vector<unsigned char> buf_;
};

// Ends the connection abortively and closes the endpoint.
void Disconnect(int fd) {
    t_snddis(fd, nullptr);
    t_close(fd);
}

// get: the status, the data units into the output, the end unit; then the
// release and the disconnect the service waits for.
int GetFile(const Settings& s) {
    const std::string& remote = s.operands[0];
    const char* local = s.operands.size() == 2 ? s.operands[1].c_str() : nullptr;

    const int fd = ConnectToServer(s);
    if (fd < 0)
        return EXIT_FAILED;

    sendFile_t request{};
    spx::PutBE32(request.spxServPrimType, SERV_SEND_FILE);
    memcpy(request.fileName, remote.data(), remote.size()); // checked < 80
    if (!SendUnit(fd, {reinterpret_cast<const unsigned char*>(&request), sizeof request}, 0)) {
        t_close(fd);
        return EXIT_FAILED;
    }

    std::vector<unsigned char> buf(RECEIVE_SIZE);
    int flags = 0;
    const int n = ReceiveUnit(fd, buf, flags, s.timeout);
    if (n < 0) {
        t_close(fd);
        return EXIT_FAILED;
    }
    if (n != 1 || (flags & T_MORE)) {
        fprintf(stderr, "%s: the server's status reply has %d bytes\n", titleStr, n);
        Disconnect(fd);
        return EXIT_FAILED;
    }
    const int status = buf[0];
    bool ok = status == 0;
    if (!ok)
        fprintf(stderr, "%s: remote open of %s failed: %s\n", titleStr, remote.c_str(),
                strerror(status));

    int outFd = STDOUT_FILENO;
    if (ok && local != nullptr) {
        outFd = open(local, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (outFd < 0) {
            fprintf(stderr, "%s: cannot create %s: %s\n", titleStr, local, strerror(errno));
            Disconnect(fd);
            return EXIT_FAILED;
        }
    }
    Output out(outFd);
    bool writeFailed = false;
    for (;;) {
        const int got = ReceiveUnit(fd, buf, flags, s.timeout);
        if (got < 0) {
            if (ok)
                out.Flush();
            if (outFd != STDOUT_FILENO)
                close(outFd);
            t_close(fd);
            return EXIT_FAILED;
        }
        if (!(flags & T_MORE))
            break; // the end unit: its byte is no data
        if (ok && !writeFailed && !out.Write({buf.data(), static_cast<std::size_t>(got)}))
            writeFailed = true;
    }
    if (ok && !writeFailed && !out.Flush())
        writeFailed = true;
    if (writeFailed)
        fprintf(stderr, "%s: write of %s failed: %s\n", titleStr,
                local != nullptr ? local : "standard output", strerror(errno));
    if (outFd != STDOUT_FILENO && close(outFd) != 0 && !writeFailed) {
        fprintf(stderr, "%s: write of %s failed: %s\n", titleStr, local, strerror(errno));
        writeFailed = true;
    }

    // The service waits for our release, then for our disconnect.
    int result = ok && !writeFailed ? EXIT_DONE : EXIT_FAILED;
    if (t_sndrel(fd) < 0) {
        ReportCall(fd, "t_sndrel");
        result = EXIT_FAILED;
    }
    if (t_snddis(fd, nullptr) < 0) {
        ReportCall(fd, "t_snddis");
        result = EXIT_FAILED;
    }
    t_close(fd);
    return result;
}

// rsh: the command's output to standard output until the end unit, then our
// release; done when the server, having taken it, ends the connection.
int RemoteCommand(const Settings& s) {
    const std::string& command = s.operands[0];
    const int fd = ConnectToServer(s);
    if (fd < 0)
        return EXIT_FAILED;

    rshData_t request{};
    spx::PutBE32(request.spxServPrimType, SERV_RSH);
    memcpy(request.command, command.data(), command.size()); // checked < 100
    if (!SendUnit(fd, {reinterpret_cast<const unsigned char*>(&request), sizeof request}, 0)) {
        t_close(fd);
        return EXIT_FAILED;
    }

    std::vector<unsigned char> buf(RECEIVE_SIZE);
    Output out(STDOUT_FILENO);
    for (;;) {
        int flags = 0;
        const int got = ReceiveUnit(fd, buf, flags, s.timeout);
        if (got < 0) {
            out.Flush();
            t_close(fd);
            return EXIT_FAILED;
        }
        if (!(flags & T_MORE))
            break;
        if (!out.Write({buf.data(), static_cast<std::size_t>(got)})) {
            fprintf(stderr, "%s: write of standard output failed: %s\n", titleStr, strerror(errno));
            Disconnect(fd);
            return EXIT_FAILED;
        }
    }
    if (!out.Flush()) {
        fprintf(stderr, "%s: write of standard output failed: %s\n", titleStr, strerror(errno));
        Disconnect(fd);
        return EXIT_FAILED;
    }
    if (t_sndrel(fd) < 0) {
        ReportCall(fd, "t_sndrel");
        t_close(fd);
        return EXIT_FAILED;
    }
    // The server takes the release and exits; its end is our disconnect.
    const int ev = AwaitEvent(fd, s.timeout);
    int result = EXIT_DONE;
    if (ev == T_DISCONNECT) {
        t_rcvdis(fd, nullptr);
    } else if (ev == 0) {
        fprintf(stderr, "%s: nothing from the server for %u seconds\n", titleStr, s.timeout);
        result = EXIT_FAILED;
    } else {
        if (ev < 0)
            ReportCall(fd, "t_look");
        else
            fprintf(stderr, "%s: unexpected event 0x%X after the end of the output\n", titleStr,
                    static_cast<unsigned>(ev));
        result = EXIT_FAILED;
    }
    t_close(fd);
    return result;
}

// One line for a unit that came back.
void ShowUnit(std::span<const unsigned char> unit, int flags) {
    std::string line = "unit length=" + std::to_string(unit.size()) +
                       ((flags & T_MORE) ? " flags=T_MORE" : " flags=0");
    if (!unit.empty()) {
        line += " data=";
        char hex[4];
        for (std::size_t i = 0; i < unit.size() && i < SHOWN_BYTES; ++i) {
            snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", unit[i]);
            line += hex;
        }
        if (unit.size() > SHOWN_BYTES)
            line += " ...";
    }
    printf("%s\n", line.c_str());
}

// raw: the given units out, then every unit and event that comes back.
int RawExchange(const Settings& s) {
    const int fd = ConnectToServer(s);
    if (fd < 0)
        return EXIT_FAILED;

    const auto request = ParseHexBytes(s.operands[0]).value_or(std::vector<unsigned char>{});
    bool sent = SendUnit(fd, request, 0);
    for (std::size_t i = 0; sent && i < s.units.size(); ++i)
        sent = SendUnit(fd, s.units[i].first, s.units[i].second);
    if (!sent) {
        t_close(fd);
        return EXIT_FAILED;
    }

    std::vector<unsigned char> buf(RECEIVE_SIZE);
    unsigned endUnits = 0;
    bool released = false;
    for (;;) {
        const int ev = AwaitEvent(fd, s.timeout);
        if (ev == 0) {
            printf("timeout\n");
            fprintf(stderr, "%s: nothing from the server for %u seconds\n", titleStr, s.timeout);
            Disconnect(fd);
            return EXIT_FAILED;
        }
        if (ev < 0) {
            ReportCall(fd, "t_look");
            t_close(fd);
            return EXIT_FAILED;
        }
        if (ev == T_DISCONNECT) {
            t_discon discon{};
            if (t_rcvdis(fd, &discon) < 0) {
                ReportCall(fd, "t_rcvdis");
                t_close(fd);
                return EXIT_FAILED;
            }
            printf("disconnect %s\n", DisconnectText(discon.reason).c_str());
            t_close(fd);
            return EXIT_DONE;
        }
        if (ev == T_ORDREL) {
            if (t_rcvrel(fd) < 0) {
                ReportCall(fd, "t_rcvrel");
                t_close(fd);
                return EXIT_FAILED;
            }
            printf("release\n");
            if (!released) {
                if (t_sndrel(fd) < 0) {
                    ReportCall(fd, "t_sndrel");
                    t_close(fd);
                    return EXIT_FAILED;
                }
                printf("sent release\n");
            }
            t_close(fd);
            return EXIT_DONE;
        }
        if (ev != T_DATA) {
            printf("event 0x%X\n", static_cast<unsigned>(ev));
            Disconnect(fd);
            return EXIT_FAILED;
        }
        int flags = 0;
        const int n = t_rcv(fd, buf.data(), static_cast<unsigned>(buf.size()), &flags);
        if (n < 0) {
            if (t_errno == TLOOK)
                continue; // the event is taken by the next pass
            ReportCall(fd, "t_rcv");
            t_close(fd);
            return EXIT_FAILED;
        }
        ShowUnit({buf.data(), static_cast<std::size_t>(n)}, flags);
        if ((flags & T_MORE) || released || s.closeAfter == 0 || ++endUnits < s.closeAfter)
            continue;
        if (t_sndrel(fd) < 0) {
            ReportCall(fd, "t_sndrel");
            t_close(fd);
            return EXIT_FAILED;
        }
        printf("sent release\n");
        released = true;
        if (s.disconnect) {
            if (t_snddis(fd, nullptr) < 0) {
                ReportCall(fd, "t_snddis");
                t_close(fd);
                return EXIT_FAILED;
            }
            printf("sent disconnect\n");
            t_close(fd);
            return EXIT_DONE;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    SetTitle(argc > 0 && argv[0] != nullptr ? argv[0] : "spxpeer");
    SetReportStyle(ReportStyle::Client);

    if (argc < 2)
        UsageExit();
    const std::string_view first = argv[1];
    if (first == "--help" || (argc > 2 && std::string_view(argv[2]) == "--help")) {
        fputs(helpText, stdout);
        return EXIT_DONE;
    }
    const Settings s = ScanArgs(argc, argv);
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
