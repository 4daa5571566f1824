// The host address file: records of five white-space separated fields,
//   name  net  node-high  node-low  socket
// with the numbers in hexadecimal; the node is the four bytes of node-high
// followed by the upper two bytes of node-low. Line ends are white space
// like any other.
#pragma once

#include <spx/ipx.h>

// Looks hostName up in hostFile (read as varnel reads it, but opened for
// reading only) and fills addr from its first well-formed record of that
// name. 0 when found; -1 after a message on standard error when the file
// cannot be read or holds no such record (addr is then untouched).
int GetHostAddress(const char* hostFile, const char* hostName, ipxAddr_t& addr);
