// The host address file: a stream of white-space separated fields, five to
// a record (host name, net, node bytes 0-3, node bytes 4-5 in the upper
// half of the field, socket; the numbers in hexadecimal). Line ends carry
// no meaning.
#pragma once

#include <cstdio>
#include <string_view>

#include <spx/ipx.h>

// Reads records from fp until one is named hostName and its numbers read;
// fills addr from it. 0 when found, -1 at the end of the stream. Prints
// nothing; keeps nothing past any field.
int FindHostRecord(std::FILE* fp, std::string_view hostName, ipxAddr_t& addr);

// Looks hostName up in the host address file hostFile, opened for reading
// and update, and fills *ipxAddrPtr. 0 when found; -1 (address untouched,
// message printed) when the file cannot be opened or holds no such host.
int GetIpxAddress(const char* hostFile, const char* hostName, ipxAddr_t* ipxAddrPtr);
