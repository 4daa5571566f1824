// The transport reporting routines in both styles, against real events from a raw caller.
#include "peer.h"
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
