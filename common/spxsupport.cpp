// Transport support shared by varneld, varnel and spxpeer: the message
// title, the one report path of every program (a prefixed line, an errno
// report), the reports of failed transport calls, the consumption of pending
// disconnects and orderly releases, and the display of IPX addresses.
//
// Each program picks its reporting style once at start-up. The server style
// prefixes its lines with the title and the child's process id, reports
// every event and consumes disconnects and releases; the client style
// prefixes with the title alone, reports events only when verbose and
// consumes only disconnects, and only when verbose.
#include "spxsupport.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include <spx/tiuser.h>

char titleStr[TITLE_SIZE];
int verbose = 0;
int lastDisconnectReason = -1;
int idno = 0;
const char* const spxDevice = "/dev/nspx";

namespace {

ReportStyle style = ReportStyle::Server;

bool ServerStyle() {
    return style == ReportStyle::Server;
}

// Copies text into titleStr from offset at, cut so that the terminator fits.
void PutTitle(std::size_t at, std::string_view text) {
    const std::span<char, TITLE_SIZE> title{titleStr};
    if (at >= title.size())
        at = title.size() - 1;
    const std::size_t room = title.size() - 1 - at;
    const std::size_t n = text.size() < room ? text.size() : room;
    text.copy(title.data() + at, n);
    title[at + n] = '\0';
}

// Prints one line of these reports: the style's prefix ("%s %d: " in the
// server, the listener included, "%s: " in the client), then text, which
// carries its own line end.
void Line(FILE* stream, const char* text) {
    flockfile(stream);
    if (ServerStyle())
        std::fprintf(stream, "%s %d: ", titleStr, idno);
    else
        std::fprintf(stream, "%s: ", titleStr);
    std::fputs(text, stream);
    funlockfile(stream);
}

// Lines that report a TLI call failing inside this module, and the absence
// of an expected indication: standard output in the server style, standard
// error in the client style.
FILE* FailureStream() {
    return ServerStyle() ? stdout : stderr;
}

// The text of the event line for code; the default line for 0 and for every
// code without a line of its own (in the client style, T_ORDREL too).
// Fixed output, trailing blanks and "TLook default" included: scripts read these lines.
void EventLine(int code) {
    const char* text = nullptr;
    switch (code) {
    case T_LISTEN:
        text = "listen indication arrived \n";
        break;
    case T_CONNECT:
        text = "connect indication arrived \n";
        break;
    case T_DATA:
        text = "data indication arrived \n";
        break;
    case T_EXDATA:
        text = "expedited data indication arrived \n";
        break;
    case T_DISCONNECT:
        text = "disconnect indication arrived \n";
        break;
    case T_ERROR:
        text = "fatal error arrived \n";
        break;
    case T_ORDREL:
        if (ServerStyle())
            text = "orderly release indication arrived \n";
        break;
    default:
        break;
    }
    if (text != nullptr) {
        Line(stdout, text);
        return;
    }
    std::array<char, 48> buf{};
    std::snprintf(buf.data(), buf.size(), "TLook default 0x%X \n", static_cast<unsigned>(code));
    Line(stdout, buf.data());
}

// The line for a disconnect reason.
// Fixed output, trailing blanks included: scripts read these lines.
void ReasonLine(int reason) {
    if (reason == SPX_DISCON_TERMINATED) {
        Line(stdout, "connection terminated by remote endpoint \n");
        return;
    }
    if (reason == SPX_DISCON_FAILED) {
        Line(stdout, "connection failed \n");
        return;
    }
    std::array<char, 48> buf{};
    std::snprintf(buf.data(), buf.size(), "default disconnect reason 0x%04X \n",
                  static_cast<unsigned>(reason));
    Line(stdout, buf.data());
}

// Reports a TLI call that failed inside this module: its line, then the
// library's text. -1.
int CallFailed(const char* text) {
    Line(FailureStream(), text);
    t_error("");
    return -1;
}

// Looks at fd; on failure reports and returns -1.
int LookOrReport(int fd) {
    const int event = t_look(fd);
    return event < 0 ? CallFailed("t_look failed \n") : event;
}

// True when the pending event on fd is expected; otherwise reports the look's
// failure or absentText, leaving the endpoint as it is.
bool Expect(int fd, int expected, const char* absentText) {
    const int event = LookOrReport(fd);
    if (event >= 0 && event != expected)
        Line(FailureStream(), absentText);
    return event == expected;
}

} // namespace

void Report(FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    flockfile(stream);
    if (idno != 0)
        std::fprintf(stream, "%s %d: ", titleStr, idno);
    else
        std::fprintf(stream, "%s: ", titleStr);
    std::vfprintf(stream, format, args);
    funlockfile(stream);
    va_end(args);
}

void ReportErrno(const char* prefix, int err) {
    errno = err;
    std::perror(prefix);
}

bool ShowVersion(int argc, char* argv[], const char* name) {
    if (argc != 2 || std::string_view(argv[1]) != "--version")
        return false;
    std::printf("%s %s\n", name, VARNEL_VERSION);
    return true;
}

void SetTitle(std::string_view text) {
    PutTitle(0, text);
}

void AppendTitle(std::string_view text) {
    PutTitle(strnlen(titleStr, TITLE_SIZE), text);
}

void SetReportStyle(ReportStyle newStyle) {
    style = newStyle;
}

int SpxError(int fd) {
    const int err = t_errno;
    if (ServerStyle())
        // Fixed output, as peers and scripts read it: "t_errno = %d", no prefix.
        std::fprintf(stderr, "t_errno = %d\n", err);
    t_error(" \t ");
    if (err != TLOOK)
        return 0;

    const int retval = t_look(fd);
    if (retval < 0)
        return CallFailed(ServerStyle() ? "SpxError t_look failed \n" : "t_look failed \n");
    if (!ServerStyle() && verbose == 0)
        return retval;

    EventLine(retval);
    if (retval == T_DISCONNECT)
        RecieveDisconnect(fd);
    else if (retval == T_ORDREL && ServerStyle())
        RecieveOrdRel(fd);
    return retval;
}

// Fixed output below, "Recieve" and "stream head" included: scripts read these lines.
int RecieveDisconnect(int fd) {
    if (!Expect(fd, T_DISCONNECT, "no disconnect indication on the stream head \n"))
        return -1;
    t_discon disconInfo{};
    if (t_rcvdis(fd, &disconInfo) < 0)
        return CallFailed("t_rcvdis failed \n");
    lastDisconnectReason = disconInfo.reason;
    if (ServerStyle() || verbose != 0)
        ReasonLine(disconInfo.reason);
    return 0;
}

int RecieveOrdRel(int fd) {
    if (!Expect(fd, T_ORDREL, "no orderly release indication on the stream head \n"))
        return -1;
    if (t_rcvrel(fd) < 0)
        return CallFailed("t_rcvrel failed \n");
    return 0;
}

int TLook(int fd) {
    const int retInt = LookOrReport(fd);
    if (retInt < 0)
        return -1;
    EventLine(retInt);
    return retInt;
}

// Fixed output: the three forms, blanks and "h" as they are, are what scripts read.
void ShowIpxAddress(const ipxAddr_t& addr, AddressForm form) {
    const char* afterNet = form == AddressForm::Blank ? " " : "h ";
    const char* afterNode = form == AddressForm::Blank ? " " : "h ";
    const char* betweenSock = form == AddressForm::Connecting ? " " : "";
    const char* afterSock = form == AddressForm::Blank ? "\n" : "h\n";

    // 24 digits, the separators and the line end: one write keeps the line whole.
    std::array<char, 64> line{};
    std::size_t used = 0;
    auto put = [&](const char* text) {
        const int n = std::snprintf(line.data() + used, line.size() - used, "%s", text);
        if (n > 0)
            used += static_cast<std::size_t>(n) < line.size() - used ? static_cast<std::size_t>(n)
                                                                     : line.size() - used - 1;
    };
    auto putBytes = [&](std::span<const unsigned char> bytes) {
        for (const unsigned char b : bytes) {
            std::array<char, 4> hex{};
            std::snprintf(hex.data(), hex.size(), "%02X", b);
            put(hex.data());
        }
    };
    putBytes(addr.net);
    put(afterNet);
    putBytes(addr.node);
    put(afterNode);
    put(betweenSock);
    putBytes(addr.sock);
    put(afterSock);
    std::fputs(line.data(), stdout);
}
