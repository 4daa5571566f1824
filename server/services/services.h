// The four services of a service child. Each switches to the run-as
// account, serves one request through its caller and tells the child how to
// end: the child alone ends the process.
#pragma once

#include <cstring>

#include "caller.h"
#include "request.h"

// Store a file (0xFF). Abort when the service failed (the child then
// reports the file).
ServiceEnd ReceiveFile(Caller& caller, const Request& request);

// Send a server file to the client (0xFC).
ServiceEnd SendFile(Caller& caller, const Request& request);

// Run a shell command and send its standard output (0xFD).
ServiceEnd RemoteShell(Caller& caller, const Request& request);

// Copy the data the client sends to standard output (0xFE).
ServiceEnd ReceiveStdout(Caller& caller);

// The first byte of the request record as the child has always kept it,
// the command code in host order: what an end unit carries when no data
// went before it (see Outgoing::EndByte).
inline unsigned char RecordByte(const Request& request) {
    unsigned char first = 0;
    std::memcpy(&first, &request.command, 1);
    return first;
}
