// nspxd end to end, without the library: a stack in a network namespace of
// this test's own (a veth pair), spoken to in its records. A listener and a
// caller on the same stack (delivered within the host): data both ways, the
// orderly release, a last close giving an informed disconnect; then the
// command line: -t, -s, --version, a second stack, SIGTERM.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "harness.h"
#include <spx/byteorder.h>

#include "stack_proto.h"

using namespace spx::stack;
using Bytes = std::vector<std::uint8_t>;

namespace {

// One connection to the stack, or a descriptor it passed.
class Peer {
  public:
    explicit Peer(int fd) : fd_(fd), ok_(fd >= 0) {
        timeval t{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }
    explicit Peer(const std::string& path) : Peer(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un sun{AF_UNIX, {}};
        path.copy(sun.sun_path, sizeof sun.sun_path - 1);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
    }
    ~Peer() { Close(); }
    void Close() { close(std::exchange(fd_, -1)); }
    bool ok() const { return ok_; }
    int fd() const { return fd_; }
    void Send(Prim prim, std::span<const std::uint8_t> body = {}, std::uint8_t flags = 0) {
        Bytes b;
        AppendRecord(b, prim, flags, body);
        Write(b);
    }
    void Write(const Bytes& b) {
        ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // The next record (its primitive 0 at the end of the stream).
    std::pair<Prim, Bytes> Next(std::uint8_t* flags = nullptr) {
        for (;;) {
            const Decoded d = DecodeRecord(in_);
            if (d.record) {
                std::pair<Prim, Bytes> r{d.record->prim,
                                         Bytes(d.record->body.begin(), d.record->body.end())};
                if (flags)
                    *flags = d.record->flags;
                in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(d.used));
                return r;
            }
            std::array<std::uint8_t, 65536> buf;
            iovec iov{buf.data(), buf.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr m{nullptr, 0, &iov, 1, control, sizeof control, 0};
            const ssize_t n = recvmsg(fd_, &m, MSG_CMSG_CLOEXEC);
            if (n <= 0)
                return {Prim{0}, {}};
            if (cmsghdr* c = CMSG_FIRSTHDR(&m); c && c->cmsg_type == SCM_RIGHTS)
                std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
            in_.insert(in_.end(), buf.begin(), buf.begin() + n);
        }
    }
    Prim NextPrim() { return Next().first; }
    // A whole unit of DATA_IND records; lastPiece: the size of its last.
    std::string Unit() {
        std::string s;
        for (std::uint8_t flags = FLAG_MORE; flags & FLAG_MORE;) {
            auto [prim, body] = Next(&flags);
            if (prim != Prim::DataInd)
                return s + "<" + std::to_string(int(prim)) + ">";
            s.append(body.begin(), body.end());
            lastPiece = body.size();
        }
        return s;
    }
    std::size_t lastPiece = 0;
    int passed = -1;

  private:
    int fd_;
    bool ok_ = false;
    Bytes in_;
};

std::span<const std::uint8_t> AsBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Sends a unit in DATA_REQ records of up to MAX_DATA bytes.
void SendUnit(Peer& p, std::string_view unit, bool more = false) {
    do {
        const auto n = std::min(unit.size(), MAX_DATA);
        p.Send(Prim::DataReq, AsBytes(unit.substr(0, n)), more || n < unit.size() ? FLAG_MORE : 0);
        unit.remove_prefix(n);
    } while (!unit.empty());
}

// A call from caller (fresh) to the listener, accepted: the paths the caller
// and the listener were given.
std::pair<Bytes, Bytes> Call(Peer& listener, Peer& caller, const ipxAddr_t& to,
                             std::uint16_t socket) {
    caller.Send(Prim::Hello, HelloBody());
    caller.Send(Prim::ConnReq, ConnReqBody(to, socket));
    EXPECT_EQ(caller.NextPrim(), Prim::Hello);
    const auto [ind, call] = listener.Next();
    listener.Send(Prim::ConnRes, std::span(call).first(std::min<std::size_t>(call.size(), 4)));
    const auto [ack, accepted] = listener.Next();
    const auto [con, path] = caller.Next();
    EXPECT_TRUE(ind == Prim::ConnInd && ack == Prim::ConnResAck && con == Prim::ConnCon);
    return {path, accepted};
}

} // namespace

TEST(Nspxd, LocalConnectionAndCommandLine) {
    if (getuid() != 0 || unshare(CLONE_NEWNET) != 0 ||
        system("ip link add d0 type veth peer d1 && ip link set d0 address 02:00:00:00:00:01 up "
               "&& ip link set d1 up") != 0)
        GTEST_SKIP() << "needs the superuser, network namespaces and iproute2";
    signal(SIGPIPE, SIG_IGN); // a stack that closes on us is a failed write, not the end
    harness::TempDir dir;
    harness::WriteFile(dir / "nspx.conf", "d0 0000ABCD ethernet_ii\n");
    const std::string path = dir / "run" / "stack"; // the directory is made by the stack
    const harness::Strings env = {"/usr/bin/env", "NSPX_STACK=" + path,
                                  "NSPX_CONF=" + (dir / "nspx.conf").string()};
    const auto nspxd = [&](harness::Strings args) {
        args.insert(args.begin(), env.begin(), env.end());
        return args.insert(args.begin() + 3, harness::Bin("nspxd")), args;
    };
    const auto notRunning = "nspxd: the IPX stack is not running (looked for at " + path + ")\n";
    EXPECT_EQ(harness::Run(nspxd({"-s"})).err, notRunning);
    harness::Process stack(nspxd({"-v"}));
    ASSERT_TRUE(harness::WaitUntil([&] { return Peer(path).ok(); })) << stack.Stderr();

    // The listener, then a caller to this host's own address.
    Peer listener(path), caller(path);
    const auto hello = HelloBody();
    listener.Send(Prim::Hello, hello);
    listener.Send(Prim::BindReq, BindBody(0x9000, 2));
    EXPECT_EQ(listener.NextPrim(), Prim::Hello);
    EXPECT_EQ(listener.Next(), std::make_pair(Prim::BindAck, Bytes{0x90, 0, 0, 0}));
    ipxAddr_t to{};
    spx::PutBE32(to.net, 0xABCD);
    to.node[0] = 2, to.node[5] = 1;
    spx::PutBE16(to.sock, 0x9000);
    // A call to a socket nobody listens on: it fails when the retries are out
    // (checked at the end).
    Peer unanswered(path);
    ipxAddr_t nobody = to;
    spx::PutBE16(nobody.sock, 0x9999);
    unanswered.Send(Prim::Hello, hello);
    unanswered.Send(Prim::ConnReq, ConnReqBody(nobody, 0));
    const auto [path2, accepted] = Call(listener, caller, to, 0);
    const auto callerPath = ReadPath(path2), answerPath = ReadPath(accepted);
    ASSERT_TRUE(callerPath && answerPath && listener.passed >= 0);
    // The caller's peer is the socket the reply came from, of the dynamic
    // range on the listener's node, where the answer runs.
    const auto same = [](const ipxAddr_t& a, const ipxAddr_t& b, std::size_t n = sizeof a) {
        return std::memcmp(&a, &b, n) == 0;
    };
    EXPECT_TRUE(same(callerPath->remote, to, offsetof(ipxAddr_t, sock)) &&
                spx::GetBE16(callerPath->remote.sock) >= 0x4000 &&
                spx::GetBE16(callerPath->remote.sock) <= 0x7FFF);
    EXPECT_TRUE(same(answerPath->local, callerPath->remote) &&
                same(answerPath->remote, callerPath->local));
    EXPECT_STREQ(callerPath->interface, ""); // within the host
    Peer answer(listener.passed);

    // Data both ways: a unit larger than a record ended by an empty piece (which
    // arrives as a piece of its own: the programs' end unit), units kept apart,
    // an empty unit.
    const std::string big = harness::Pattern(300000);
    SendUnit(caller, big, true);
    caller.Send(Prim::DataReq);
    SendUnit(caller, "second");
    caller.Send(Prim::DataReq);
    EXPECT_TRUE(answer.Unit() == big && answer.lastPiece == 0);
    EXPECT_EQ(answer.Unit(), "second");
    EXPECT_EQ(answer.Unit(), "");
    SendUnit(answer, "back");
    EXPECT_EQ(caller.Unit(), "back");

    const auto status = harness::Run(nspxd({"-s"}));
    const std::string ifLine =
        "interface d0 network 0000ABCD frame ethernet_ii mac 02:00:00:00:00:01 mtu 1500 link up";
    EXPECT_EQ(status.status, 0) << status.err << stack.Stderr();
    // The unanswered call's requests are counted: no listener on their socket.
    for (const auto& [line, n] : {std::pair{ifLine.c_str(), 1u},
                                  {"listener socket 9000 qlen 2", 1u},
                                  {" established allocation ", 2u},
                                  {"dropped undecodable frame 0, no such socket ", 1u},
                                  {"no such socket 0,", 0u}})
        EXPECT_EQ(harness::LinesWith(status.out, line).size(), n) << line << "\n" << status.out;

    // The orderly release both ways: each side sees it, then the end of its stream.
    caller.Send(Prim::OrdrelReq);
    EXPECT_EQ(answer.NextPrim(), Prim::OrdrelInd);
    answer.Send(Prim::OrdrelReq);
    EXPECT_EQ(caller.NextPrim(), Prim::OrdrelInd);
    EXPECT_TRUE(caller.NextPrim() == Prim{0} && answer.NextPrim() == Prim{0});

    // A second call whose caller closes after sending more than the window and
    // the buffers hold while the other side reads nothing: all of it, then 236.
    Peer caller2(path);
    const auto [path3, accepted2] = Call(listener, caller2, to, 0x5555);
    EXPECT_EQ(ReadPath(path3)->local.sock[0], 0x55); // the socket asked for
    Peer answer2(listener.passed);
    const std::string last = harness::Pattern(3 << 20, 2);
    int room = 8 << 20; // megabytes in the socket: the writes return at once
    setsockopt(caller2.fd(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
    SendUnit(caller2, last);
    caller2.Close();
    EXPECT_TRUE(answer2.Unit() == last);
    const auto [dis, reason] = answer2.Next();
    EXPECT_TRUE(dis == Prim::DisconInd && ReadDiscon(reason)->reason == SPX_DISCON_TERMINATED);

    // Requests refused at once: a network on no interface, a socket in use, a
    // library of another version.
    ipxAddr_t elsewhere = to;
    spx::PutBE32(elsewhere.net, 0x1234);
    const auto c1 = ConnReqBody(elsewhere, 0), c2 = ConnReqBody(to, 0x9000);
    const auto b1 = BindBody(0x9000, 1);
    const std::tuple<Prim, Bytes, std::uint8_t, std::string> refusals[] = {
        {Prim::ConnReq, {c1.begin(), c1.end()}, FLAG_NOT_IPX, "network 00001234 is on no IPX "
                                                              "interface"},
        {Prim::ConnReq, {c2.begin(), c2.end()}, 0, "IPX socket 9000 is in use"},
        {Prim::BindReq, {b1.begin(), b1.end()}, 0, "IPX socket 9000 is in use"},
        {Prim::InfoReq, {}, 0, "the IPX stack speaks version 1 of its interface, not 2"},
    };
    for (const auto& [request, body, flags, detail] : refusals) {
        Peer p(path);
        auto version = hello; // the last row's library speaks version 2
        version[5] = request == Prim::InfoReq ? 2 : version[5];
        Bytes both; // in one write: a stack that refuses the hello closes at once
        AppendRecord(both, Prim::Hello, 0, version);
        AppendRecord(both, request, 0, body);
        p.Write(both);
        EXPECT_TRUE(version != hello || p.NextPrim() == Prim::Hello);
        std::uint8_t got = 0;
        const auto [prim, answer] = p.Next(&got);
        EXPECT_TRUE(prim == Prim::ErrorAck && got == flags) << int(prim) << " " << int(got);
        EXPECT_EQ(ReadError(answer)->detail, detail);
    }

    timeval patience{20, 0};
    setsockopt(unanswered.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    EXPECT_EQ(unanswered.NextPrim(), Prim::Hello);
    const auto [gaveUp, why] = unanswered.Next();
    const auto discon = ReadDiscon(why);
    EXPECT_TRUE(gaveUp == Prim::DisconInd && discon->reason == SPX_DISCON_FAILED &&
                discon->detail.starts_with("nobody answered on d0 after 15."))
        << int(gaveUp) << " " << discon->detail;

    // The command line beside a running stack, then its end.
    const std::tuple<harness::Strings, int, std::string, std::string> rows[] = {
        {{"--version"}, 0, "nspxd 0.1.0\n", ""},
        {{"-t"}, 0, ifLine + "\n", ""},
        {{}, 1, "", "nspxd: a stack is already running at " + path + "\n"},
        {{"-x"}, 1, "", "usage: nspxd [-v] | -t | -s | --version\n"},
    };
    for (const auto& [args, status, out, err] : rows) {
        const auto got = harness::Run(nspxd(args));
        EXPECT_TRUE(got.status == status && got.out == out && got.err == err)
            << args.size() << " " << got.status << " " << got.out << got.err;
    }
    kill(stack.pid(), SIGTERM);
    EXPECT_EQ(stack.Wait(), 0);
    EXPECT_TRUE(listener.NextPrim() == Prim{0} && !harness::fs::exists(path)); // the stack's end
    EXPECT_EQ(harness::Run(nspxd({"-s"})).err, notRunning);
}
