// The transport support routines in both reporting styles, run against real
// pending events on real provider endpoints: an endpoint accepted in this
// process, whose far side is a raw caller speaking the provider's frames.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "harness.h"
#include "peer.h"
#include "spxsupport.h"

namespace {

using namespace std::chrono_literals;

// What a call printed and returned.
struct Report {
    int result = 0;
    std::string out;
    std::string err;
};

std::string ReadAll(FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

// Runs call with descriptors 1 and 2 redirected to temporary files.
Report Capture(const std::function<int()>& call) {
    std::fflush(stdout);
    std::fflush(stderr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int saved1 = dup(1);
    const int saved2 = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    Report r;
    r.result = call();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved1, 1);
    dup2(saved2, 2);
    close(saved1);
    close(saved2);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

// What t_error writes for err with the prefix SpxError gives it.
std::string TError(int err, const char* prefix = " \t ") {
    std::string p = prefix;
    return (p.empty() ? "" : p + ": ") + t_strerror(err) + "\n";
}

// Waits until t_look on fd reports something; returns it (0 on time-out).
int WaitEvent(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int ev = 0;
    while ((ev = t_look(fd)) == 0 && std::chrono::steady_clock::now() < deadline) {
    }
    return ev;
}

// A listening endpoint on a free loopback port.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
            fd = t_open("/dev/nspx", O_RDWR, nullptr);
            port = harness::FreePort();
            ipxAddr_t a = peer::LocalAddress(port);
            struct t_bind b {};
            b.addr = {sizeof a, sizeof a, reinterpret_cast<char*>(&a)};
            b.qlen = 1;
            if (t_bind(fd, &b, &b) < 0) {
                t_close(fd);
                fd = -1;
            }
        }
    }
    ~Listener() {
        if (fd >= 0)
            t_close(fd);
    }
};

// A connection accepted onto fd in this process; caller is its far side.
struct Connection {
    Listener listener;
    std::unique_ptr<peer::RawCaller> caller;
    int fd = -1;

    Connection() {
        caller = std::make_unique<peer::RawCaller>(listener.port);
        if (!caller->ok() || !caller->SendConnect())
            return;
        ipxAddr_t addr{};
        SPX_OPTS opts{};
        struct t_call call {};
        call.addr = {sizeof addr, 0, reinterpret_cast<char*>(&addr)};
        call.opt = {sizeof opts, 0, reinterpret_cast<char*>(&opts)};
        if (t_listen(listener.fd, &call) < 0)
            return;
        fd = t_open("/dev/nspx", O_RDWR, nullptr);
        ipxAddr_t any{};
        struct t_bind b {};
        b.addr = {sizeof any, sizeof any, reinterpret_cast<char*>(&any)};
        if (fd < 0 || t_bind(fd, &b, &b) < 0 || t_accept(listener.fd, fd, &call) < 0) {
            if (fd >= 0)
                t_close(fd);
            fd = -1;
        }
    }
    ~Connection() {
        if (fd >= 0)
            t_close(fd);
    }
    // Receives on fd, which fails with TLOOK once a release or a disconnect
    // is next: the failed call that SpxError reports.
    int FailedReceive() {
        char buf[16];
        int flags = 0;
        const int n = t_rcv(fd, buf, sizeof buf, &flags);
        return n < 0 ? t_errno : 0;
    }
};

// Makes a call fail with an error other than TLOOK (unbinding an endpoint
// that is not bound) and returns its t_errno.
int UnbindFailure() {
    const int fd = t_open("/dev/nspx", O_RDWR, nullptr);
    const int failed = t_unbind(fd);
    const int err = t_errno;
    t_close(fd);
    t_errno = err;
    return failed < 0 ? err : -1;
}

class SpxSupport : public ::testing::Test {
  protected:
    void SetUp() override { Style(ReportStyle::Server, 0); }
    void Style(ReportStyle style, int verb) {
        SetReportStyle(style);
        verbose = verb;
        SetTitle("T");
        idno = 7;
    }
};

// A report of a failure other than TLOOK names the error only (the server
// with its number first) and never touches a pending event.
TEST_F(SpxSupport, FailureOtherThanLookOnlyNamesTheError) {
    for (const auto style : {ReportStyle::Server, ReportStyle::Client}) {
        Style(style, 1);
        Connection c;
        ASSERT_GE(c.fd, 0);
        ASSERT_TRUE(c.caller->SendDiscon(236));
        ASSERT_EQ(WaitEvent(c.fd), T_DISCONNECT);
        const int err = UnbindFailure();
        ASSERT_NE(err, TLOOK);
        const Report r = Capture([&] { return SpxError(c.fd); });
        const std::string number = "t_errno = " + std::to_string(err) + "\n";
        EXPECT_EQ(r.err, (style == ReportStyle::Server ? number : "") + TError(err));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(t_look(c.fd), T_DISCONNECT);
    }
}

// SpxError after TLOOK: which event lines each style prints, and which
// pending events it takes (server: disconnects and releases, always;
// client: disconnects, only when verbose).
TEST_F(SpxSupport, PendingEventsPerStyle) {
    struct Case {
        ReportStyle style;
        int verbose;
        bool release; // the caller sends a release (else a disconnect)
        const char* out;
        int leftPending;
    };
    const Case cases[] = {
        {ReportStyle::Server, 0, false,
         "T 7: disconnect indication arrived \nT 7: connection terminated by remote endpoint \n",
         0},
        {ReportStyle::Client, 0, false, "", T_DISCONNECT},
        {ReportStyle::Client, 1, false,
         "T: disconnect indication arrived \nT: connection terminated by remote endpoint \n", 0},
        {ReportStyle::Server, 0, true, "T 7: orderly release indication arrived \n", 0},
        {ReportStyle::Client, 0, true, "", T_ORDREL},
        {ReportStyle::Client, 1, true, "T: TLook default 0x80 \n", T_ORDREL},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.out);
        Style(k.style, k.verbose);
        Connection c;
        ASSERT_GE(c.fd, 0);
        ASSERT_TRUE(k.release ? c.caller->SendOrdrel() : c.caller->SendDiscon(236));
        ASSERT_EQ(c.FailedReceive(), TLOOK);
        const Report r = Capture([&] { return SpxError(c.fd); });
        EXPECT_EQ(r.result, k.release ? T_ORDREL : T_DISCONNECT);
        EXPECT_EQ(r.out, k.out);
        EXPECT_EQ(r.err, (k.style == ReportStyle::Server ? "t_errno = 9\n" : "") + TError(TLOOK));
        EXPECT_EQ(t_look(c.fd), k.leftPending);
        if (k.release && k.leftPending == 0) {
            EXPECT_EQ(t_getstate(c.fd), T_INREL);
        }
    }
}

// Disconnect reasons: the two known ones by name, every other in hex, at
// least four digits and never cut; the quiet client takes the disconnect
// without a line.
TEST_F(SpxSupport, DisconnectReasons) {
    const std::pair<std::uint32_t, std::string> cases[] = {
        {236, "T 7: connection terminated by remote endpoint \n"},
        {237, "T 7: connection failed \n"},
        {5, "T 7: default disconnect reason 0x0005 \n"},
        {0x1234, "T 7: default disconnect reason 0x1234 \n"},
        {0x12345, "T 7: default disconnect reason 0x12345 \n"},
    };
    for (const auto& [reason, line] : cases) {
        Connection c;
        ASSERT_GE(c.fd, 0);
        ASSERT_TRUE(c.caller->SendDiscon(reason));
        ASSERT_EQ(WaitEvent(c.fd), T_DISCONNECT);
        const Report r = Capture([&] { return RecieveDisconnect(c.fd); });
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.out, line);
        EXPECT_EQ(r.err, "");
    }
    // A connection torn down by a reset is a failed one.
    Style(ReportStyle::Client, 1);
    Connection reset;
    ASSERT_GE(reset.fd, 0);
    reset.caller->Reset();
    ASSERT_EQ(WaitEvent(reset.fd), T_DISCONNECT);
    EXPECT_EQ(Capture([&] { return RecieveDisconnect(reset.fd); }).out, "T: connection failed \n");

    Style(ReportStyle::Client, 0);
    Connection quiet;
    ASSERT_GE(quiet.fd, 0);
    ASSERT_TRUE(quiet.caller->SendDiscon(236));
    ASSERT_EQ(WaitEvent(quiet.fd), T_DISCONNECT);
    const Report r = Capture([&] { return RecieveDisconnect(quiet.fd); });
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(t_look(quiet.fd), 0);
}

// The consume routines report an absent indication (server: standard
// output; client: standard error) and leave whatever is pending.
TEST_F(SpxSupport, AbsentIndicationLeavesWhatIsPending) {
    Connection c;
    ASSERT_GE(c.fd, 0);
    Report r = Capture([&] { return RecieveDisconnect(c.fd); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "T 7: no disconnect indication on the stream head \n");
    EXPECT_EQ(t_getstate(c.fd), T_DATAXFER);

    ASSERT_TRUE(c.caller->SendData("x", false));
    ASSERT_TRUE(c.caller->SendOrdrel());
    ASSERT_EQ(WaitEvent(c.fd), T_DATA);
    r = Capture([&] { return RecieveDisconnect(c.fd); });
    EXPECT_EQ(r.out, "T 7: no disconnect indication on the stream head \n");
    r = Capture([&] { return RecieveOrdRel(c.fd); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "T 7: no orderly release indication on the stream head \n");
    char buf[4];
    int flags = 0;
    ASSERT_EQ(t_rcv(c.fd, buf, sizeof buf, &flags), 1);
    EXPECT_EQ(buf[0], 'x');

    ASSERT_EQ(WaitEvent(c.fd), T_ORDREL);
    Style(ReportStyle::Client, 0);
    r = Capture([&] { return RecieveDisconnect(c.fd); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "T: no disconnect indication on the stream head \n");
    EXPECT_EQ(t_look(c.fd), T_ORDREL);

    Style(ReportStyle::Server, 0);
    r = Capture([&] { return RecieveOrdRel(c.fd); });
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(t_getstate(c.fd), T_INREL);
}

// TLook names the pending event without taking it; an event gone by the
// time of any look shows as the default 0x0 (quiet client: nothing).
TEST_F(SpxSupport, LookNamesWithoutConsuming) {
    Connection c;
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(Capture([&] { return TLook(c.fd); }).out, "T 7: TLook default 0x0 \n");
    ASSERT_TRUE(c.caller->SendData("ab", false));
    ASSERT_EQ(WaitEvent(c.fd), T_DATA);
    Report r = Capture([&] { return TLook(c.fd); });
    EXPECT_EQ(r.result, T_DATA);
    EXPECT_EQ(r.out, "T 7: data indication arrived \n");
    EXPECT_EQ(t_look(c.fd), T_DATA);

    peer::RawCaller second(c.listener.port);
    ASSERT_TRUE(second.SendConnect());
    ASSERT_EQ(WaitEvent(c.listener.fd), T_LISTEN);
    EXPECT_EQ(Capture([&] { return TLook(c.listener.fd); }).out,
              "T 7: listen indication arrived \n");

    Connection gone;
    ASSERT_GE(gone.fd, 0);
    ASSERT_TRUE(gone.caller->SendDiscon(236));
    ASSERT_EQ(gone.FailedReceive(), TLOOK);
    ASSERT_EQ(t_rcvdis(gone.fd, nullptr), 0);
    for (const auto& [style, verb, out] :
         {std::tuple{ReportStyle::Server, 0, "T 7: TLook default 0x0 \n"},
          std::tuple{ReportStyle::Client, 0, ""},
          std::tuple{ReportStyle::Client, 1, "T: TLook default 0x0 \n"}}) {
        Style(style, verb);
        t_errno = TLOOK; // as the failed receive left it
        r = Capture([&] { return SpxError(gone.fd); });
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.out, out);
    }
}

// A look that fails inside the module is reported on the style's failure
// stream with the library's text, never taken for an event.
TEST_F(SpxSupport, FailingLookIsReported) {
    Listener l;
    ASSERT_GE(l.fd, 0);
    const int dead = dup(l.fd);
    close(dead); // a descriptor that is no endpoint

    Report r = Capture([&] { return RecieveDisconnect(dead); });
    const int err = t_errno;
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "T 7: t_look failed \n");
    EXPECT_EQ(r.err, TError(err, ""));
    EXPECT_EQ(Capture([&] { return RecieveOrdRel(dead); }).out, "T 7: t_look failed \n");
    EXPECT_EQ(Capture([&] { return TLook(dead); }).result, -1);
    t_errno = TLOOK;
    r = Capture([&] { return SpxError(dead); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "T 7: SpxError t_look failed \n");
    EXPECT_EQ(r.err, "t_errno = 9\n" + TError(TLOOK) + TError(err, ""));

    Style(ReportStyle::Client, 0);
    t_errno = TLOOK;
    r = Capture([&] { return SpxError(dead); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, TError(TLOOK) + "T: t_look failed \n" + TError(err, ""));
}

// The title never overflows its 100 bytes, however long the name or the
// text appended.
TEST(SpxTitle, CutToFit) {
    SetTitle(std::string(300, 'a'));
    EXPECT_EQ(std::string(titleStr), std::string(TITLE_SIZE - 1, 'a'));
    AppendTitle(": more");
    EXPECT_EQ(std::string(titleStr), std::string(TITLE_SIZE - 1, 'a'));
    SetTitle(std::string(95, 'b'));
    AppendTitle(": 01/02/03");
    EXPECT_EQ(std::string(titleStr), std::string(95, 'b') + ": 01");
    SetTitle("varneld");
    AppendTitle(": ");
    AppendTitle("x");
    EXPECT_STREQ(titleStr, "varneld: x");
}

// Address display: bytes in stored (network) order, upper-case hex, and
// the separators of each form.
TEST(SpxAddress, ThreeForms) {
    const ipxAddr_t a{{0x00, 0x00, 0x12, 0x34}, {0x00, 0x00, 0x1B, 0x2C, 0x3D, 0x4E}, {0x80, 0x60}};
    auto show = [](const ipxAddr_t& x, AddressForm f) {
        return Capture([&] { return ShowIpxAddress(x, f), 0; }).out;
    };
    EXPECT_EQ(show(a, AddressForm::Standard), "00001234h 00001B2C3D4Eh 8060h\n");
    EXPECT_EQ(show(a, AddressForm::Blank), "00001234 00001B2C3D4E 8060\n");
    EXPECT_EQ(show(a, AddressForm::Connecting), "00001234h 00001B2C3D4Eh  8060h\n");
    EXPECT_EQ(show(ipxAddr_t{}, AddressForm::Standard), "00000000h 000000000000h 0000h\n");
}

} // namespace
