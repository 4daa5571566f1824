// The service child's request: the one unit a child reads from its
// connection, and its dispatch to a service.
#pragma once

// Receives the request on the service endpoint spxFd2 and serves it. Never
// returns: the child ends with exit status 0, after its service or through
// the abortive disconnect.
[[noreturn]] void ServeRequest(int spxFd2);
