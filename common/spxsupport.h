// Transport support shared by varneld, varnel and spxpeer: the process-wide
// message settings, the one report path of every program, the reports of
// failed transport calls, the consumption of pending disconnects and
// releases, and the display of IPX addresses.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include <spx/ipx.h>

// Process-wide settings read by every message.
inline constexpr std::size_t TITLE_SIZE = 100;
extern char titleStr[TITLE_SIZE]; // message title: invocation name [": " time]
extern int verbose;               // nonzero with -v
extern int idno;                  // server child's process id; 0 in the listener and the client
extern const char* const spxDevice; // "/dev/nspx"

// --version: when it is the program's one argument, prints "<name>
// <version>" on standard output and says so.
bool ShowVersion(int argc, char* argv[], const char* name);

// Sets titleStr to text, cut to fit.
void SetTitle(std::string_view text);
// Appends text to titleStr, cut to fit.
void AppendTitle(std::string_view text);

// The two reporting styles; chosen once at start-up, before any report.
enum class ReportStyle { Server, Client };
void SetReportStyle(ReportStyle style);

// The one way every program prints a line of its own: the prefix, then the
// message of format, which brings its own line end (or none, when a report
// on the same line follows). The prefix is "%s %d: " (titleStr, idno) in a
// service child (idno set), "%s: " (titleStr) in the listener, varnel and
// spxpeer. The lines of the transport reports below keep the prefix of the
// style instead, which in the listener shows the process id 0.
void Report(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The standard error report of a failed system call, for the error number
// err (saved by the caller before anything could change errno): prefix,
// ": " unless prefix is empty, the system's text, a line end, on standard
// error. errno is err afterwards.
void ReportErrno(const char* prefix, int err);

// Reports a failed TLI call on fd (called right after it) and, when t_errno
// is TLOOK, names the pending event and consumes it as the style says.
// Returns the event code, 0 when none was pending any more, -1 when the
// look failed.
int SpxError(int fd);

// Consumes the pending disconnect on fd and reports its reason.
// 0 when consumed, -1 otherwise (the endpoint is then unchanged).
int RecieveDisconnect(int fd);
// The reason of the disconnect RecieveDisconnect consumed last; -1 before.
extern int lastDisconnectReason;

// Server style: consumes the pending orderly release on fd. 0 or -1.
int RecieveOrdRel(int fd);

// Server style: names the pending event on fd without consuming it.
// Returns t_look's result.
int TLook(int fd);

// The three printed forms of an address.
enum class AddressForm {
    Standard,   // 00001234h 00001B2C3D4Eh 8060h
    Blank,      // 00001234 00001B2C3D4E 8060
    Connecting, // 00001234h 00001B2C3D4Eh  8060h
};

// Prints addr in the given form, line end included, to standard output.
void ShowIpxAddress(const ipxAddr_t& addr, AddressForm form);
