// The caller of a service child, as the child and its services talk to it:
// the service endpoint and how long the child waits for it. A service speaks to its caller only
// through this object, so that each one reads as its protocol: the steps a peer sees, in the order
// it sees them.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <span>

#include "gathered.h"
#include "limit.h"
#include "spxproto.h"

// How a service ends the child: exit status 0, or the abortive disconnect
// first.
enum class ServiceEnd { Exit, Abort };

// The closing steps a service takes with its caller, in the order its peer
// expects them, and the line each failed step reports (on stream, with the
// child's prefix). A step without a line is not taken.
struct Closing {
    std::FILE* stream;
    const char* ourRelease = nullptr;      // our orderly release, first
    const char* theirRelease = nullptr;    // then the caller's, waited for
    const char* theirDisconnect = nullptr; // then its disconnect, waited for
    bool dropData = false;                 // data the caller sends before its release is dropped
    // A release of the caller's that cannot be taken ends the child
    // abortively; otherwise only one that did not come within the idle limit
    // (a disconnect in its place is an end).
    bool strict = false;
};

// How long a caller may take to send its whole request when no idle limit
// is set: a caller that connects and never asks keeps no child.
inline constexpr Limit REQUEST_WAIT = std::chrono::seconds(120);

class Caller {
  public:
    // Takes the service endpoint fd; idle bounds every wait for a quiet
    // caller once the request is in (each unit, room to send, the closing
    // steps) and for the files and devices a service reads or writes for
    // it; NO_LIMIT: a caller whose end is alive may be quiet as long as it
    // likes. The request itself is bounded in all (ReceiveRequest).
    Caller(int fd, Limit idle);
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    Limit Idle() const { return idle_; }

    // The caller's slot in a poll(2) beside other sources, with events.
    pollfd PollSlot(short events) const { return {fd_, events, 0}; }

    // Receives the whole request unit into record, which is zero-filled
    // before: every piece up to the one without T_MORE, those that do not
    // fit read and dropped, so that no byte of the request is ever taken for
    // the data that follows it. The whole request must come within the idle
    // limit, or REQUEST_WAIT without one. The bytes kept (at most
    // SPX_MAX_DATA), or -1 when a receive failed or the time ran out
    // (t_errno tells why).
    int ReceiveRequest(std::span<unsigned char, SPX_MAX_DATA> record);

    // Whether the caller has gone: its end of the connection is closed (a
    // disconnect comes with the close) or failed. Does not wait.
    bool Gone() const;

    // The caller's end, as poll(2) watches it beside something else: its
    // hang-up, and any news. Gone(watched) tells a hang-up or a disconnect
    // from other news after the poll, the same way on every carrier: the
    // descriptor's hang-up, or news that t_look says is a disconnect.
    pollfd Watched() const;
    bool Gone(const pollfd& watched) const;

    // The units a peer sees, each true when it was sent. The status reply
    // and the end unit go out with no flag (the flags a whole request came
    // with), data units with T_MORE. The end unit's one byte means nothing to
    // the peer, but each service sends the byte it always has (see
    // Outgoing::EndByte).
    bool SendStatus(unsigned char status);
    bool SendUnit(std::span<const unsigned char> unit);
    bool SendEnd(unsigned char endByte);

    // Puts every unit sent so far on its way now: before the child waits
    // for anything but its caller. False when the connection broke.
    bool Push();

    // Receives units into gathered, up to the first without T_MORE, which is
    // written too with keepEnd (see Gathered::ReceiveStream).
    Received Receive(Gathered& gathered, bool keepEnd) {
        return gathered.ReceiveStream(fd_, keepEnd);
    }

    // The event pending now (t_look): 0 when none, -1 when the look failed.
    int Look() const;

    // Waits, within the idle limit, until an event is pending: the event,
    // 0 when the limit passed, -1 when the look failed.
    int Await();

    // Reads and drops a piece of data the caller sent beyond its request.
    // False when the receive failed for another reason than an event next.
    bool DropData();

    // Waits as Await does, reading and dropping the data the caller sends
    // before its next event of another kind.
    int AwaitDroppingData();

    // The report of a transport call on the endpoint that just failed: line
    // (with the child's prefix), then SpxError. Always false.
    bool Failed(std::FILE* stream, const char* line);

    // Takes the closing steps of rule. Abort when a step that the rule
    // holds for the end of the conversation failed (reported), Exit else.
    ServiceEnd Close(const Closing& rule);

    // Ends the child with exit status 0. With Abort the caller is told
    // first with the abortive disconnect. Everything sent is pushed and the
    // output streams flushed here, before the process ends, so nothing
    // depends on what a normal exit would do.
    [[noreturn]] void End(ServiceEnd how);

  private:
    int fd_;
    Limit idle_;
};
