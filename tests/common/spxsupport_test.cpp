// The transport reporting routines in both styles, against real events from a raw caller.
#include "cause.h"
#include "path.h"
#include "peer.h"
#include "progress.h"
#include "spxsupport.h"

using namespace peer;

// What a call returned, and printed on standard output and standard error.
using Printed = std::tuple<int, std::string, std::string>;
using testing::internal::CaptureStderr, testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr, testing::internal::GetCapturedStdout;

// SpxError's first lines: t_errno's number (server only) and what t_error prints.
static std::string Failed(ReportStyle style, int error = TLOOK) {
    return (style == ReportStyle::Server ? "t_errno = " + std::to_string(error) + "\n" : "") +
           " \t : " + t_strerror(error) + "\n";
}

// An endpoint accepted here from a raw caller; a second caller may call too.
struct Accepted {
    Listener listener;
    RawCaller caller{listener.port()}, second{listener.port()};
    int fd = caller.SendConnect() && WaitEvent(listener.fd) == T_LISTEN ? listener.Accept() : -1;
    ~Accepted() { t_close(fd); }
};

constexpr auto S = ReportStyle::Server, C = ReportStyle::Client;
constexpr int GONE = 0x4000, DEAD = 0x8000; // a disconnect taken already; no endpoint at all

// Guards against a wrong line, stream, result or reason, and events wrongly taken or left.
TEST(SpxSupport, EventsAndTheirLinesInBothStyles) {
    enum Call { Error, Other, Look, Discon, OrdRel }; // Other: SpxError after TOUTSTATE
    int (*const calls[])(int) = {SpxError, SpxError, TLook, RecieveDisconnect, RecieveOrdRel};
    struct Case {
        Call call;
        ReportStyle style;
        int verbose, pending; // what the far side left: an event, GONE or DEAD
        Printed want;
        int left;                              // the event pending afterwards
        long reason = SPX_DISCON_TERMINATED;   // of a disconnect; -1: a reset
    };
    const std::string ended = "connection terminated by remote endpoint \n";
    const std::string discS = "T 7: disconnect indication arrived \nT 7: " + ended;
    const std::string discC = "T: disconnect indication arrived \nT: " + ended;
    const std::string noDis = "no disconnect indication on the stream head \n";
    const std::string relS = "T 7: orderly release indication arrived \n";
    const std::string noRel = "T 7: no orderly release indication on the stream head \n";
    const std::string lookFailed = "T 7: t_look failed \n";
    const std::string bad = t_strerror(TBADF) + std::string("\n");
    const Case cases[] = {
        {Error, S, 0, T_DISCONNECT, {T_DISCONNECT, discS, Failed(S)}, 0},
        {Error, C, 0, T_DISCONNECT, {T_DISCONNECT, "", Failed(C)}, T_DISCONNECT},
        {Error, C, 1, T_DISCONNECT, {T_DISCONNECT, discC, Failed(C)}, 0},
        {Error, S, 0, T_ORDREL, {T_ORDREL, relS, Failed(S)}, 0},
        {Error, C, 0, T_ORDREL, {T_ORDREL, "", Failed(C)}, T_ORDREL},
        {Error, C, 1, T_ORDREL, {T_ORDREL, "T: TLook default 0x80 \n", Failed(C)}, T_ORDREL},
        {Error, S, 0, GONE, {0, "T 7: TLook default 0x0 \n", Failed(S)}, 0},
        {Error, S, 0, DEAD, {-1, "T 7: SpxError t_look failed \n", Failed(S) + bad}, 0},
        {Error, C, 0, DEAD, {-1, "", Failed(C) + "T: t_look failed \n" + bad}, 0},
        {Other, S, 1, T_DISCONNECT, {0, "", Failed(S, TOUTSTATE)}, T_DISCONNECT},
        {Look, S, 0, 0, {0, "T 7: TLook default 0x0 \n", ""}, 0},
        {Look, S, 0, T_DATA, {T_DATA, "T 7: data indication arrived \n", ""}, T_DATA},
        {Look, S, 0, T_LISTEN, {T_LISTEN, "T 7: listen indication arrived \n", ""}, T_LISTEN},
        {Look, S, 0, DEAD, {-1, lookFailed, bad}, 0},
        {Discon, S, 0, T_DATA, {-1, "T 7: " + noDis, ""}, T_DATA},
        {Discon, C, 0, T_ORDREL, {-1, "", "T: " + noDis}, T_ORDREL},
        {Discon, S, 0, DEAD, {-1, lookFailed, bad}, 0},
        {Discon, S, 0, T_DISCONNECT, {0, "T 7: connection failed \n", ""}, 0, 237},
        {Discon, S, 0, T_DISCONNECT, {0, "T 7: default disconnect reason 0x1234A \n", ""}, 0,
         0x1234A}, // never cut
        {Discon, C, 1, T_DISCONNECT, {0, "T: connection failed \n", ""}, 0, -1},
        {Discon, C, 0, T_DISCONNECT, {0, "", ""}, 0},
        {OrdRel, S, 0, T_DATA, {-1, noRel, ""}, T_DATA},
        {OrdRel, S, 0, T_ORDREL, {0, "", ""}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "call " << c.call << ", pending " << c.pending);
        SetReportStyle(c.style), SetTitle("T"), verbose = c.verbose, idno = 7; // child 7 or client
        Accepted a;
        ASSERT_GE(a.fd, 0);
        const int fd = c.pending == T_LISTEN ? a.listener.fd : c.pending == DEAD ? dup(a.fd) : a.fd;
        if (c.pending == DEAD)
            close(fd); // a descriptor that is no endpoint
        ASSERT_TRUE(c.pending == T_DATA                 ? a.caller.SendData("ab", false)
                    : c.pending == T_ORDREL             ? a.caller.SendFrame(4, 0, {})
                    : c.pending == T_LISTEN             ? a.second.SendConnect()
                    : c.reason < 0                      ? (a.caller.Reset(), true)
                    : c.pending & (T_DISCONNECT | GONE) ? a.caller.SendFrame(5, 0, BE(c.reason, 4))
                                                        : true);
        ASSERT_NE(c.pending == 0 || c.pending == DEAD ? 1 : WaitEvent(fd), 0);
        if (c.pending == GONE)
            t_rcvdis(fd, nullptr);
        CaptureStdout(), CaptureStderr();
        t_errno = c.call == Other ? TOUTSTATE : TLOOK; // as the failed call left it
        const Printed got{calls[c.call](fd), GetCapturedStdout(), GetCapturedStderr()};
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(c.pending == DEAD ? 0 : t_look(fd), c.left) << "the event left pending";
    }
}

// Guards against the title overflowing its 100 bytes.
TEST(SpxSupport, TitleIsCutToFit) {
    const std::tuple<std::string, std::string, std::string> titles[] = {
        {std::string(300, 'a'), ": more", std::string(TITLE_SIZE - 1, 'a')},
        {std::string(95, 'b'), ": 01/02/03", std::string(95, 'b') + ": 01"},
    };
    for (const auto& [title, appended, want] : titles)
        EXPECT_EQ((SetTitle(title), AppendTitle(appended), std::string(titleStr)), want);
}

// A failure whose cause goes unsaid, said twice, or said wrongly: the wrong peer, limit, time or
// reason, a refusal taken for silence, a system error's detail repeated after t_error's line.
TEST(SpxSupport, CauseLines) {
    using std::chrono::milliseconds;
    const ipxAddr_t at{{0, 0, 0xAB, 0xCD}, {2, 0, 0, 0, 0, 9}, {0x45, 0}};
    const ipxAddr_t sock0{{0, 0, 0xAB, 0xCE}, {2, 0, 0, 0, 0, 1}, {0, 0}};
    const FailedStep C = FailedStep::Connect, X = FailedStep::Exchange;
    struct Row {
        FailedStep step;
        int terrno, err, reason;
        std::string detail;
        ipxAddr_t called;
        long ms;
        std::string want;
    };
    for (const auto& r : std::vector<Row>{
             {C, TLOOK, 0, 237, "", at, 15500,
              "nobody answered the call to 0000ABCDh 020000000009h 4500h within 15.5 s "
              "(reason 237)"},
             {C, TLOOK, 0, 236, "", at, 20,
              "0000ABCDh 020000000009h 4500h refused the call (reason 236)"},
             {C, TBADADDR, 0, -1, "", sock0, 0, "socket 0 cannot be called"},
             {C, TSYSERR, ENODEV, -1, "eth1: no such Ethernet interface on this host", at, 0, ""},
             {C, TSYSERR, ETIMEDOUT, -1, "", at, 0, ""},
             {X, TLOOK, 0, 237, "", at, 0, "the caller stopped answering (reason 237)"},
             {X, TLOOK, 0, 237, "eth1 is down", at, 0,
              "the caller stopped answering: eth1 is down (reason 237)"},
             {X, TLOOK, 0, 0x1234, "", at, 0, "the caller ended the connection (reason 0x1234)"},
             {X, TOUTSTATE, 0, -1, "", at, 0, ""}}) {
        Failure f{r.step,   r.terrno,           r.err,      r.reason, r.detail,
                  r.called, milliseconds(r.ms), "-t limit", "caller"};
        EXPECT_EQ(FailureCause(f), r.want) << r.want;
    }
}

// What -v and a terminal show of a connection: the wrong carrier, interface, address or rate.
TEST(SpxSupport, PathAndProgressLines) {
    const ipxAddr_t local{{0, 0, 0xAB, 0xCD}, {2, 0, 0, 0, 0, 2}, {0x40, 1}},
        remote{{0, 0, 0xAB, 0xCD}, {2, 0, 0, 0, 0, 1}, {0x45, 0}};
    const spx_path ipx{SPX_CARRIER_IPX, "eth0", 1, local, remote, 0, 0, 0, 0};
    spx_path tcp{SPX_CARRIER_TCP, "", 1, {}, {}, 0x7F000001, 40312, 0xC0000201, 17664};
    EXPECT_EQ(PathLine("connection", ipx),
              "connection over IPX on eth0: local 0000ABCDh "
              "020000000002h 4001h, peer 0000ABCDh 020000000001h 4500h");
    EXPECT_EQ(PathLine("connection", tcp),
              "connection over TCP: local 127.0.0.1 port 40312, peer 192.0.2.1 port 17664");
    tcp.connected = 0, tcp.localInet = 0;
    EXPECT_EQ(PathLine("listener", tcp), "listener over TCP: local 0.0.0.0 port 40312");
    using std::chrono::milliseconds;
    EXPECT_EQ(ProgressLine(1 << 20, milliseconds(2000)), "1048576 bytes, 2.0 s, 512.0 KiB/s");
    EXPECT_EQ(ProgressLine(100, milliseconds(0)), "100 bytes, 0.0 s, 0.0 B/s");
    EXPECT_EQ(ProgressLine(3ull << 30, milliseconds(1500)), "3221225472 bytes, 1.5 s, 2.0 GiB/s");
}
