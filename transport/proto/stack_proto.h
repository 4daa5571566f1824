// The provider's interface to the IPX stack (nspxd): what the TLI library
// and the stack say to each other over a Unix-domain stream socket, one such
// connection per IPX endpoint. It is the STREAMS transport provider
// interface cut down to what SPX needs: the library sends requests (bind,
// connect, data, release, disconnect), the stack answers them and sends
// indications (a caller, data, the peer's release, a disconnect). The
// connection's descriptor is the endpoint's descriptor:
//
//   - readable when a record is waiting; every record the stack sends on
//     its own (an indication) is a TLI event, so t_look has one;
//   - writable while the socket takes more: the stack reads a data request
//     only as far as the SPX connection has room for it, so a full window
//     leaves the library's writes waiting;
//   - hang-up once the connection has ended: after its disconnect
//     indication, or after both releases, the stack shuts the socket down;
//   - its last close (any process, any way, SIGKILL included) ends the SPX
//     connection with an informed disconnect after the data already sent.
//
// Records: an 8-byte head, then `length` bytes of body. All numbers are
// big-endian. A record of an unknown primitive, a body longer than the
// primitive allows, or a head whose reserved bytes are not zero is a
// protocol error: the stack closes the connection.
//
// Conversation:
//   library                          stack
//   HELLO (version)             ->
//                               <-   HELLO (version) | ERROR_ACK, close
//   BIND_REQ (socket, qlen)     ->                      (a listener)
//                               <-   BIND_ACK | ERROR_ACK
//                               <-   CONN_IND ...       (callers, set up)
//   CONN_RES (sequence)         ->
//                               <-   CONN_RES_ACK + the new descriptor
//                                    (SCM_RIGHTS) | ERROR_ACK
//   DISCON_REQ (sequence)       ->   refuses a caller  <- OK_ACK | ERROR_ACK
//   CONN_REQ (to, socket)       ->                      (a caller)
//                               <-   CONN_CON | DISCON_IND | ERROR_ACK
//   DATA_REQ / ORDREL_REQ       ->   (no answer)
//   DISCON_REQ (0)              ->   (no answer; the stack shuts down)
//                               <-   DATA_IND / ORDREL_IND / DISCON_IND
//   INFO_REQ                    ->
//                               <-   INFO_ACK ... (text), then an empty one
//
// HELLO must be the first record on a connection the library opened; a
// descriptor received in CONN_RES_ACK is already past it. A library may send
// HELLO and its first request together.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <spx/ipx.h>

namespace spx::stack {

// "NSPX" and the version of this interface. A stack answers a HELLO of
// another version with ERROR_ACK (TSYSERR, EPROTONOSUPPORT, its own version
// in the text) and closes.
inline constexpr std::array<std::uint8_t, 4> MAGIC = {'N', 'S', 'P', 'X'};
inline constexpr std::uint16_t VERSION = 1;

// Where the stack listens: NSPX_STACK when set, else this.
inline constexpr std::string_view DEFAULT_PATH = "/run/nspx/stack";

enum class Prim : std::uint8_t {
    // library to stack
    Hello = 1,     // magic[4], version u16, 0 u16
    BindReq = 2,   // socket u16 (0: the stack chooses), qlen u16 (> 0)
    ConnReq = 3,   // to ipxAddr_t, socket u16 (0: dynamic), 0 u16
    ConnRes = 4,   // sequence u32
    DisconReq = 5, // sequence u32 (0: this connection)
    DataReq = 6,   // flags MORE; the unit's bytes
    OrdrelReq = 7, // empty
    InfoReq = 8,   // empty
    // stack to library
    OkAck = 32,      // empty
    ErrorAck = 33,   // t_errno u16, errno u16, detail text
    BindAck = 34,    // socket u16, 0 u16
    ConnInd = 35,    // sequence u32, Path (the caller as remote)
    ConnCon = 36,    // Path
    ConnResAck = 37, // Path; the connection's descriptor rides with it
    DataInd = 38,    // flags MORE; bytes of one unit
    OrdrelInd = 39,  // empty
    DisconInd = 40,  // reason u16, 0 u16, detail text
    InfoAck = 41,    // text; an empty one ends the answer
};

// Head flags.
inline constexpr std::uint8_t FLAG_MORE = 0x01;    // DATA_*: the unit goes on
inline constexpr std::uint8_t FLAG_NOT_IPX = 0x02; // ERROR_ACK to CONN_REQ: the
                                                   // network is on no interface

struct Head {
    std::uint8_t prim;
    std::uint8_t flags;
    std::uint8_t reserved[2];
    std::uint8_t length[4]; // of the body
};
static_assert(sizeof(Head) == 8 && offsetof(Head, prim) == 0 && offsetof(Head, flags) == 1 &&
              offsetof(Head, reserved) == 2 && offsetof(Head, length) == 4);

// The largest data body: a DATA_REQ or DATA_IND carries at most this much of
// a unit; longer units go as several records with FLAG_MORE.
inline constexpr std::size_t MAX_DATA = 65536;
// The largest body of any other record (detail and info texts included).
inline constexpr std::size_t MAX_CONTROL = 1024;
inline constexpr std::size_t MAX_RECORD = sizeof(Head) + MAX_DATA;

// Where a connection runs: both ends' addresses and SPX options, and the
// interface it uses (NUL-padded; empty for a connection within the host).
struct Path {
    ipxAddr_t local;
    ipxAddr_t remote;
    SPX_OPTS localOptions;
    SPX_OPTS remoteOptions;
    char interface[16];
};
static_assert(sizeof(Path) == 48 && offsetof(Path, remote) == 12 &&
              offsetof(Path, localOptions) == 24 && offsetof(Path, remoteOptions) == 28 &&
              offsetof(Path, interface) == 32);

// One decoded record: its primitive, flags and body (a view into the buffer
// it was decoded from).
struct Record {
    Prim prim;
    std::uint8_t flags;
    std::span<const std::uint8_t> body;
};

// The first record in `bytes`: the record and the bytes it took; no record
// and 0 when more bytes are needed; no record and SIZE_MAX when the bytes
// are no record of this interface (unknown primitive, reserved bytes set,
// body too long for its primitive, body too short for its fixed fields).
struct Decoded {
    std::optional<Record> record;
    std::size_t used = 0;
};
Decoded DecodeRecord(std::span<const std::uint8_t> bytes);

// Appends a record to out. The body must fit the primitive's limit.
void AppendRecord(std::vector<std::uint8_t>& out, Prim prim, std::uint8_t flags,
                  std::span<const std::uint8_t> body);
// Writes just the head (for a data record sent with its body from elsewhere,
// as in a writev).
Head MakeHead(Prim prim, std::uint8_t flags, std::size_t bodyLength);

// Fixed bodies, encoded and read back. Each Read returns empty when the body
// is too short.
std::array<std::uint8_t, 8> HelloBody();
std::optional<std::uint16_t> ReadHello(std::span<const std::uint8_t> body); // the version
std::array<std::uint8_t, 4> BindBody(std::uint16_t socket, std::uint16_t qlen);
std::array<std::uint8_t, 16> ConnReqBody(const ipxAddr_t& to, std::uint16_t socket);
std::array<std::uint8_t, 4> SequenceBody(std::uint32_t sequence);
std::optional<std::uint32_t> ReadSequence(std::span<const std::uint8_t> body);
std::optional<Path> ReadPath(std::span<const std::uint8_t> body);

struct ErrorInfo {
    int terr = 0;
    int err = 0;
    std::string_view detail;
};
std::vector<std::uint8_t> ErrorBody(int terr, int err, std::string_view detail);
std::optional<ErrorInfo> ReadError(std::span<const std::uint8_t> body);

struct DisconInfo {
    int reason = 0;
    std::string_view detail;
};
std::vector<std::uint8_t> DisconBody(int reason, std::string_view detail);
std::optional<DisconInfo> ReadDiscon(std::span<const std::uint8_t> body);

} // namespace spx::stack
