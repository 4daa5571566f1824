// The services of varneld's child and the child's two ways to end.
#pragma once

#include <span>

#include "spxproto.h"

// The child's request and data buffer.
using DataBuffer = std::span<unsigned char, SPX_MAX_DATA>;

// Ends the child abortively: "in abort", a disconnect on spxFd2, exit 0.
[[noreturn]] void Abort(int spxFd2);

// Stores the file a client sends (0xFF). 0 when the stream was stored to its
// end, -1 when the service failed (the caller then reports and aborts).
int ReceiveFile(int spxFd, receiveFile_t* fileDataPtr);

// Sends a server file to the client (0xFC). Ends the process.
[[noreturn]] void SendFile(int spxFd2, DataBuffer dataBuffer, int flags);

// Runs a shell command and sends its standard output (0xFD). Ends the process.
[[noreturn]] void RemoteShell(int spxFd2, DataBuffer dataBuffer, int flags);

// Copies the data the client sends to standard output (0xFE). Ends the process.
[[noreturn]] void ReceiveStdout(int spxFd2, DataBuffer dataBuffer, int flags);
