// The request a service child reads: one unit of at most SPX_MAX_DATA
// bytes, decoded without touching the system. Bytes in, a decoded request
// or a refusal out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "spxproto.h"

// What the decoder made of a request unit.
enum class RequestKind {
    TooSmall,     // fewer than 4 bytes: no command code
    Unrecognized, // a command code no service answers to
    SendFile,     // SERV_SEND_FILE: text is the file name
    RunCommand,   // SERV_RSH: text is the command line
    CopyOutput,   // SERV_RECV_STDOUT: no field is used
    StoreFile,    // SERV_RECV_FILE: text is the file name
};

// The largest name field of any record (the command line's).
inline constexpr std::size_t REQUEST_TEXT_SIZE = sizeof(rshData_t::command);

struct Request {
    RequestKind kind = RequestKind::TooSmall;
    std::size_t size = 0;      // bytes received
    std::uint32_t command = 0; // the command code in host order
    // The request's name field (file name or command line) up to its
    // terminator, and whether the terminator lay inside the field among the
    // bytes the unit carried: the zero fill of bytes it did not carry ends
    // no text. An unterminated field holds its first bytes, cut to fit, for
    // messages only: it is never a name to act on. cut: unterminated because
    // the unit ended inside (or before) the field; the request is then no
    // whole request at all.
    std::array<char, REQUEST_TEXT_SIZE> text{};
    bool terminated = false;
    bool cut = false;
    std::uint32_t newUlimit = 0;   // StoreFile: ulimit blocks, 0: unchanged
    std::uint32_t permissions = 0; // StoreFile: as sent, 0: the default mode

    std::string_view Text() const { return {text.data()}; }
    // The text as a log line may show it: bytes outside printable ASCII as
    // \ooo, a backslash as \\, so that a caller cannot forge a line.
    std::string Shown() const;
};

// Decodes one request unit (at most SPX_MAX_DATA bytes; more is ignored).
Request DecodeRequest(std::span<const unsigned char> unit);
