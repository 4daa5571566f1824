// The service child: one per connection, forked by the listener.
#pragma once

#include "allow.h"

// Gives up the listening endpoint spxFd, reads one request of caller from
// the service endpoint spxFd2, serves it and ends the process with exit status 0, after
// the abortive disconnect when the request was refused or the service
// failed. The only place a child decides how it ends, but for a switch to
// the run-as account that cannot be proven, which ends it at once
// (EXIT_UNPROVEN, identity.h).
//
// idleSeconds (0: no limit) bounds every wait for a quiet caller once the
// request is in: for each data unit, for room to send, for the caller's
// closing steps. A wait that passes it fails like a failed receive of its
// service. The request itself must come within idleSeconds, or 120 seconds
// without a limit (see Caller::ReceiveRequest).
[[noreturn]] void ServeChild(int spxFd, int spxFd2, const CallerRecord& caller,
                             unsigned idleSeconds);
