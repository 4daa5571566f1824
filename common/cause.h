// The line that says why a connection failed, where the fixed lines of a
// failed call (its own line, then the transport library's text) leave the
// cause unsaid: who refused or did not answer, which time limit ran out,
// which peer vanished. Built from what the provider tells: t_errno, errno,
// the disconnect reason and the provider's detail (spx_detail).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include <spx/ipx.h>

// Where in a connection's life the call failed.
enum class FailedStep {
    Connect,  // t_connect: nothing was connected
    Exchange, // a call on the connection: request, data, release, the wait for an event
};

// A failed transport call and what is known of its cause.
struct Failure {
    FailedStep step = FailedStep::Exchange;
    int terrno = 0;                        // t_errno of the failed call
    int err = 0;                           // errno then (ETIMEDOUT: a time limit ran out)
    int reason = -1;                       // the reason of the disconnect it left; -1 when none
    std::string detail;                    // the provider's detail then, "" when none
    ipxAddr_t called{};                    // Connect: the address called
    std::chrono::milliseconds waited{0};   // Connect: how long the call took; a
                                           // limit that ran out: its length
    std::string_view limit = "time limit"; // the limit's name, as its user knows it
    std::string_view peer = "server";      // who is on the other side
};

// The program's names for NoteFailure: its limit of silence ("-t limit")
// and its peer ("caller"). Set once at start-up.
extern std::string_view silenceLimitName;
extern std::string_view peerName;

// The line (without prefix or line end); empty when the lines printed
// already say why: a system error's text, or the detail t_error printed
// in its place.
std::string FailureCause(const Failure& f);

// Right after a failed call on fd: t_errno, errno, the provider's detail
// and, when it timed out, fd's limit of silence.
Failure NoteFailure(int fd, FailedStep step);
// After the call's own report: the reason of the disconnect it left on fd,
// taken now without a line when it is still pending (the endpoint is then
// idle), or the one the report took.
void TakeReason(int fd, Failure& f);
// Prints the cause line, when there is one, on standard error.
void ReportCause(const Failure& f);
