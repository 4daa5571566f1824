// The four services of a service child. Each switches to the run-as
// account, serves one request on the service endpoint and tells the child
// how to end: the child alone ends the process.
#pragma once

#include <span>

#include "request.h"
#include "spxproto.h"

// The child's request and data buffer: the request record as received
// (command code in host order); the services reuse it for their data.
using DataBuffer = std::span<unsigned char, SPX_MAX_DATA>;

// How a service ends the child: exit status 0, or the abortive disconnect
// first.
enum class ServiceEnd { Exit, Abort };

// Store a file (0xFF). 0 when the stream was stored to its end, -1 when the
// service failed (the child then reports the file and aborts).
int ReceiveFile(int spxFd, const Request& request);

// Send a server file to the client (0xFC).
ServiceEnd SendFile(int spxFd2, const Request& request, DataBuffer dataBuffer, int flags);

// Run a shell command and send its standard output (0xFD).
ServiceEnd RemoteShell(int spxFd2, const Request& request, DataBuffer dataBuffer, int flags);

// Copy the data the client sends to standard output (0xFE).
ServiceEnd ReceiveStdout(int spxFd2);
