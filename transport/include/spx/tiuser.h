// The Transport Layer Interface of the SPX provider.
//
// The calls keep the System V TLI contract (states, events, t_errno). Each
// endpoint is one real descriptor; each SPX connection travels over one TCP
// connection, or as IPX packets on an interface the interface file names
// (docs/transport.md has both wire formats). No call raises a
// signal, throws, or writes to standard output or standard error, except
// t_error, which writes to standard error.
#pragma once

#include <spx/ipx.h>

// A counted buffer handed to and filled by the calls.
struct netbuf {
    unsigned int maxlen; // room in buf
    unsigned int len;    // bytes used in buf
    char* buf;
};

struct t_bind {
    struct netbuf addr; // ipxAddr_t
    unsigned int qlen;  // > 0: a listening endpoint
};

struct t_call {
    struct netbuf addr;  // ipxAddr_t of the peer
    struct netbuf opt;   // SPX_OPTS
    struct netbuf udata; // connect user data: not supported, len must be 0
    int sequence;        // identifies a connect indication on a listener
};

struct t_discon {
    struct netbuf udata; // disconnect user data: none is ever delivered
    int reason;          // SPX_DISCON_TERMINATED, SPX_DISCON_FAILED, or the peer's
    int sequence;
};

struct t_info {
    long addr;     // size of an address: 12
    long options;  // size of the options: 4
    long tsdu;     // largest unit: unlimited (-1)
    long etsdu;    // expedited data: not supported (-2)
    long connect;  // connect user data: not supported (-2)
    long discon;   // disconnect user data: not supported (-2)
    long servtype; // T_COTS_ORD
};

// The error number of the last failed call (not thread-local: the programs
// are single-threaded).
extern int t_errno;

// Flags of t_snd and t_rcv.
inline constexpr int T_MORE = 0x001;
inline constexpr int T_EXPEDITED = 0x002;

// Events reported by t_look.
inline constexpr int T_LISTEN = 0x0001;
inline constexpr int T_CONNECT = 0x0002;
inline constexpr int T_DATA = 0x0004;
inline constexpr int T_EXDATA = 0x0008;
inline constexpr int T_DISCONNECT = 0x0010;
inline constexpr int T_ERROR = 0x0020;
inline constexpr int T_UDERR = 0x0040;
inline constexpr int T_ORDREL = 0x0080;

// Service types.
inline constexpr long T_COTS = 1;
inline constexpr long T_COTS_ORD = 2;
inline constexpr long T_CLTS = 3;

// Endpoint states (t_getstate).
inline constexpr int T_UNBND = 1;
inline constexpr int T_IDLE = 2;
inline constexpr int T_OUTCON = 3;
inline constexpr int T_INCON = 4;
inline constexpr int T_DATAXFER = 5;
inline constexpr int T_OUTREL = 6;
inline constexpr int T_INREL = 7;

// t_errno values.
inline constexpr int TBADADDR = 1;
inline constexpr int TBADOPT = 2;
inline constexpr int TACCES = 3;
inline constexpr int TBADF = 4;
inline constexpr int TNOADDR = 5;
inline constexpr int TOUTSTATE = 6;
inline constexpr int TBADSEQ = 7;
inline constexpr int TSYSERR = 8;
inline constexpr int TLOOK = 9;
inline constexpr int TBADDATA = 10;
inline constexpr int TBUFOVFLW = 11;
inline constexpr int TFLOW = 12;
inline constexpr int TNODATA = 13;
inline constexpr int TNODIS = 14;
inline constexpr int TNOUDERR = 15;
inline constexpr int TBADFLAG = 16;
inline constexpr int TNOREL = 17;
inline constexpr int TNOTSUPPORT = 18;
inline constexpr int TSTATECHNG = 19;
inline constexpr int TNOSTRUCTYPE = 20;
inline constexpr int TBADNAME = 21;
inline constexpr int TBADQLEN = 22;
inline constexpr int TADDRBUSY = 23;

// Opens an endpoint on the provider named by path ("/dev/nspx"). Returns the
// endpoint's descriptor (close-on-exec), or -1 with t_errno set.
int t_open(const char* path, int oflag, struct t_info* info);

// Binds fd to req's address (socket 0: the provider chooses one; net and node
// are ignored) with req's queue length. Writes the bound address and queue
// length into ret when given. 0, or -1 with t_errno (TADDRBUSY when taken).
int t_bind(int fd, struct t_bind* req, struct t_bind* ret);

// Undoes t_bind. 0, or -1 (TOUTSTATE unless the endpoint is idle).
int t_unbind(int fd);

// Waits for the next caller that has sent a valid connect request and fills
// call (addr, opt, sequence). 0, or -1 with t_errno. A signal caught while
// it waits ends the wait: -1 with TSYSERR and errno EINTR (whatever the
// handler's SA_RESTART), and the callers being read stay for the next call.
int t_listen(int fd, struct t_call* call);

// Accepts the caller named by call->sequence onto resfd, which keeps its
// descriptor number. 0, or -1 with t_errno.
int t_accept(int fd, int resfd, struct t_call* call);

// Connects to sndcall->addr. On success fills rcvcall (addr, opt) when given.
// Refused or unanswered: -1 with TLOOK and a disconnect left pending.
int t_connect(int fd, struct t_call* sndcall, struct t_call* rcvcall);

// The endpoint's state (T_UNBND ... T_INREL), or -1 with t_errno.
int t_getstate(int fd);

// Sends one unit of nbytes (flags 0 or T_MORE). nbytes, or -1 with t_errno
// (TLOOK once a disconnect has arrived). With a limit on fd (spx_setlimit),
// a send that finds no room for that long breaks the connection: TLOOK,
// with a disconnect (reason 237) pending.
int t_snd(int fd, const void* buf, unsigned int nbytes, int flags);

// The most bytes of a unit one t_rcv returns, whatever room it is given: a
// receive never returns bytes of two of the provider's pieces of a unit.
// A program that offers at least this much room takes each piece whole.
inline constexpr unsigned int T_MAX_PIECE = 65536;

// Receives up to nbytes of the next unit; *flags gets T_MORE when more of
// the unit follows or the unit carried T_MORE. Blocks until data arrives.
// The count, or -1 with t_errno (TLOOK when a release or disconnect is
// next). A frame the connection's end cut short is never data: it is a
// disconnect (237), after any pieces of it already received. With a limit
// on fd (spx_setlimit), a receive that hears nothing for that long
// fails with TSYSERR and ETIMEDOUT; the time counts from the last byte that
// came, so a long unit arriving slowly is not cut.
int t_rcv(int fd, void* buf, unsigned int nbytes, int* flags);

// The next pending event, 0 when none is pending, -1 with t_errno.
int t_look(int fd);

// Sends an orderly release. 0, or -1 with t_errno.
int t_sndrel(int fd);

// Takes the peer's orderly release. 0, or -1 with t_errno (TNOREL when none
// is there, TLOOK when something else is next).
int t_rcvrel(int fd);

// Sends a disconnect (reason 236); on a listener with call given, refuses
// the caller named by call->sequence. 0, or -1 with t_errno.
int t_snddis(int fd, struct t_call* call);

// Takes a disconnect that has arrived, discarding what is unread before it.
// Fills discon->reason when given. 0, or -1 with t_errno (TNODIS).
int t_rcvdis(int fd, struct t_discon* discon);

// Frees the descriptor and this process's state for it; sends nothing. The
// connection ends when the last process holding it closes it or exits.
int t_close(int fd);

// Writes msg, ": " and the text of t_errno (for TSYSERR also errno's text,
// or in its place the provider's detail, spx_detail) and a line end to
// standard error; with an empty or null msg only the text.
void t_error(const char* msg);

// The text of a t_errno value.
const char* t_strerror(int errnum);

// A call of this provider's own, beside TLI: puts every unit held for fd on
// its way to the peer now. Units sent with T_MORE (and plain writes through
// "tirdwr") are gathered into large writes to the connection; they leave
// when 64 KiB have come together, before any call that waits for the peer,
// with a unit sent without T_MORE, a release or a disconnect, before a fork,
// at t_close and at a normal exit. A sender that is about to wait for
// anything else (a file, a pipe, a process) pushes first, so that what it
// has sent does not wait with it. Works whatever module is on top; waits for
// room as a send does. 0 (also when nothing is held or fd is not connected),
// or -1 with t_errno: TBADF, or TLOOK when the connection broke (its
// disconnect is then pending).
int spx_push(int fd);

// Calls of this provider's own: the limit of an endpoint's waits for its
// peer, in milliseconds (0: none). A receive that hears nothing for that
// long fails with TSYSERR and ETIMEDOUT; a send that finds no room for that
// long breaks the connection (TLOOK, a disconnect of reason 237 pending).
// Kept by the endpoint on every carrier, across connections and fork.
// spx_setlimit returns 0 or -1 with t_errno; spx_getlimit the limit, or -1
// with t_errno (TBADF).
int spx_setlimit(int fd, long ms);
long spx_getlimit(int fd);

// A call of this provider's own: what an endpoint travels on. Path 0 is the
// endpoint's own: its connection's once connected or accepted (local and
// peer), otherwise its binding (local only). A listening endpoint has one
// more path for each IPX interface it takes callers on (local only), in
// the order of the interface file. Every address is as it is on the
// carrier: an IPX address with the interface's network and MAC address, a
// TCP one with 00000000 and 00 00 + the IPv4 address; a TCP path also
// gives the IPv4 addresses and ports (host order). 0, or -1 with t_errno:
// TBADF, or TNOADDR when there is no path of that index.
enum { SPX_CARRIER_TCP = 1, SPX_CARRIER_IPX = 2 };
struct spx_path {
    int carrier;            // SPX_CARRIER_TCP or SPX_CARRIER_IPX
    char interface[16];     // IPX: the interface's name; empty for TCP
    int connected;          // 1 when peer holds the peer's address
    ipxAddr_t local;        // this endpoint's address on the carrier
    ipxAddr_t peer;         // the peer's, when connected
    unsigned int localInet; // TCP: IPv4 addresses and ports, host order
    unsigned short localPort;
    unsigned int peerInet;
    unsigned short peerPort;
};
int spx_getpath(int fd, unsigned int index, struct spx_path* path);

// A call of this provider's own: what the provider knows about the last
// failed call beyond t_errno ("" when nothing): a refused or unanswered
// connect, the interface file's line and fault. t_error prints it in place
// of the system's error text of TSYSERR; after any other t_errno it is the
// caller's to print. Valid until the next call of the provider.
const char* spx_detail(void);
