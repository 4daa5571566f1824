// The pure parts, each a table: request bytes to a request or a refusal, allow-file text to
// entries or a line's error, a source's bytes to units, received units to writes.
#include <fcntl.h>
#include <sys/stat.h>

#include <bit>
#include <map>
#include <cstring>
#include <sstream>

#include "allow.h"
#include "address.h"
#include "gathered.h"
#include "peer.h"
#include "policy.h"
#include "request.h"
#include "services/outgoing.h"

namespace {

using namespace harness;
using peer::BE, peer::Record, peer::ReceiveRecord;

// Sizes in order, runs of one size as "534x3": "534x3 100".
std::string Sizes(const std::vector<std::size_t>& sizes) {
    std::string s;
    for (std::size_t i = 0, run = 1; i < sizes.size(); i += run, run = 1) {
        while (i + run < sizes.size() && sizes[i + run] == sizes[i])
            ++run;
        s += (s.empty() ? "" : " ") + std::to_string(sizes[i]) +
             (run > 1 ? "x" + std::to_string(run) : "");
    }
    return s;
}

// A request taken for another service, read past its unit or its field, a name the unit ended in
// taken whole, or a name shown so that it could forge a log line.
TEST(Pure, DecodeRequest) {
    const std::string c99(99, 'c'), c100(100, 'c'), n80(80, 'n');
    // Kind (0 too small, 1 unrecognized, 2 send, 3 run, 4 copy, 5 store), size, the name as
    // shown, t: terminated, c: cut short, then ulimit and permissions.
    const std::pair<std::string, std::string> rows[] = {
        {BE(SERV_RECV_STDOUT, 4), "4 4 - 0 0"},      // no field to cut
        {Record(SERV_RECV_STDOUT, "x", 80, BE(7, 4) + BE(0, 4) + BE(0600, 4)), "4 96 - 0 0"},
        {BE(SERV_RECV_FILE, 4), "5 4 c 0 0"},        // the zero fill ends no name
        {BE(1, 4) + "zz", "1 6 - 0 0"},
        {ReceiveRecord(n80, 0644), "5 96 " + n80 + " - 0 420"}, // unterminated, whole
        {Record(SERV_SEND_FILE, "f", 80), "2 84 f t 0 0"},
        {Record(SERV_SEND_FILE, "f", 80).substr(0, 5), "2 5 f c 0 0"},
        {Record(SERV_SEND_FILE, "f", 80).substr(0, 6), "2 6 f t 0 0"}, // whole, the unit short
        {Record(SERV_RSH, c99, 100), "3 104 " + c99 + " t 0 0"},
        {Record(SERV_RSH, c100, 200), "3 204 " + c99 + " - 0 0"},               // the zero after it
        {Record(SERV_RSH, "ls", 100, std::string(999, 'x')), "3 534 ls t 0 0"}, // long
    };
    for (const auto& [unit, want] : rows) {
        const Request r =
            DecodeRequest({reinterpret_cast<const unsigned char*>(unit.data()), unit.size()});
        const std::string flags = std::string(r.terminated ? "t" : "") + (r.cut ? "c" : "");
        EXPECT_EQ(std::to_string(static_cast<int>(r.kind)) + " " + std::to_string(r.size) + " " +
                      r.Shown() + (r.Shown().empty() ? "" : " ") + (flags.empty() ? "-" : flags) +
                      " " + std::to_string(r.newUlimit) + " " + std::to_string(r.permissions),
                  want);
    }
}

// An allow file read otherwise than it says: a wrong entry or services, a bad line let through or
// blamed on another line, a repeated entry not named, a byte that could forge a log line.
TEST(Pure, ParseAllowFile) {
    // Entries as "network/prefix:services", then repeats as "line=earlier"; or "line: error".
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {"# nobody\n\n  \t\n", ""},
        {"192.0.2.7", "192.0.2.7/32:15 "},
        {"10.0.0.0/8 store\tfetch\r\n# the rest", "10.0.0.0/8:3 "},
        {"0.0.0.0/0 copy command copy", "0.0.0.0/0:12 "},
        {"10.1.0.0/16\n10.1.0.0/16 copy\n10.1.0.0/24", "10.1.0.0/16:15 10.1.0.0/16:8 "
                                                       "10.1.0.0/24:15 2=1 "},
        {"10.0.0.0/8 #" + std::string(500, '#'), "10.0.0.0/8:15 "},
        {"10.0.0.0/8 #" + std::string(501, '#'), "1: line longer than 512 bytes"},
        {"\n10.0.0.256 store", "2: not an IPv4 address: \"10.0.0.256\""},
        {"10.0.0 store", "1: not an IPv4 address: \"10.0.0\""},
        {"10.0.0.01", "1: not an IPv4 address: \"10.0.0.01\""},
        {"1.2.3.4.5", "1: not an IPv4 address: \"1.2.3.4.5\""},
        {"10.0.0.0/08", "1: not a prefix length: \"08\""},
        {"10.0.0.0/", "1: not a prefix length: \"\""},
        {"# all\n10.0.0.1 store mail", "2: unknown service \"mail\""},
        {"10.0.0.1 Store", "1: unknown service \"Store\""},
        {"10.0.0.1/8", "1: address with bits outside its /8 prefix"},
        {"\x01\x02.0.0.1", "1: not an IPv4 address: \"??.0.0.1\""},
        {"0000abcd store\n0000ABCD:020000000002 copy\n0000ABCD", "0000ABCD:* 1 0000ABCD:"
         "020000000002 8 0000ABCD:* 15 3=1 "},
        {"10.0.0.0/8\n0000000A", "10.0.0.0/8:15 0000000A:* 15 "}, // the same number, apart
        {"00000000", "1: IPX network 00000000 is reserved"},
        {"FFFFFFFF:020000000002", "1: IPX network FFFFFFFF is reserved"},
        {"0000ABC", "1: not an IPv4 address or IPX network: \"0000ABC\""},
        {"0000ABCD:0200000000", "1: not an IPX node (12 hexadecimal digits): \"0200000000\""},
        {"0000ABCD:02000000000G", "1: not an IPX node (12 hexadecimal digits): \"02000000000G\""},
    };
    for (const auto& [text, want] : rows) {
        const AllowFile f = ParseAllowFile(text);
        std::string got = f.error.empty() ? "" : std::to_string(f.errorLine) + ": " + f.error;
        for (const AllowEntry& e : f.entries) {
            char ipx[32];
            std::snprintf(ipx, sizeof ipx, "%08X:", e.network);
            for (const unsigned char b : e.node)
                std::snprintf(ipx + std::strlen(ipx), 3, "%02X", b);
            got += e.ipx ? (e.anyNode ? std::string(ipx, 9) + "* " : std::string(ipx) + " ")
                         : ShowIPv4(e.network) + "/" + std::to_string(std::popcount(e.mask)) + ":";
            got += std::to_string(e.services) + " ";
        }
        for (const auto& [line, earlier] : f.repeats)
            got += std::to_string(line) + "=" + std::to_string(earlier) + " ";
        EXPECT_EQ(got, want) << text.substr(0, 40);
    }
}

// A source's data cut into other units than SPX_MAX_DATA reads would make: data held back or
// lost, an empty unit missing or doubled, the wrong end byte or result.
TEST(Pure, OutgoingCutsUnits) {
    // Bytes written before each Pump ("-1": the writer closes first, "dir": a directory for the
    // source; "fail": every send fails); each Pump's units and result (dry, ended, read failed,
    // send failed); last the end byte (the data is a, b, ... z, a, ...; '#': the one given).
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"-1"}, "0 e|#"},              // an empty file: one empty unit
        {{"1068", "-1"}, "534x2 d|0 e|o"}, // a full unit last: an empty one follows
        {{"535", "-1"}, "534 1 d|e|o"},
        {{"1068", "100", "-1"}, "534x2 d|100 d|e|c"},
        {{"534", "0", "-1"}, "534 d|d|0 e|a"},
        {{"1168", "0", "10", "-1"}, "534x2 100 d|d|10 d|e|y"}, // what is there goes at once
        {{"70000", "-1"}, "534x131 46 d|e|o"}, // 64 KiB a read, the rest after the next
        {{"dir"}, "r|#"},
        {{"fail", "534"}, "534 s|a"},
    };
    for (const auto& [pieces, want] : rows) {
        int fds[2] = {-1, -1};
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
        const int src = pieces[0] == "dir" ? open(".", O_RDONLY | O_CLOEXEC) : fds[0];
        Outgoing out;
        std::vector<std::size_t> sizes;
        std::string got, sent, written;
        const auto send = [&](Outgoing::Unit u) {
            sizes.push_back(u.size()), sent.append(u.begin(), u.end());
            return pieces[0] != "fail";
        };
        for (const std::string& piece : pieces) {
            if (piece == "-1") {
                close(std::exchange(fds[1], -1));
            } else if (piece == "fail") {
                continue;
            } else if (piece != "dir") {
                const std::size_t n = std::stoul(piece);
                for (std::size_t i = 0; i < n; ++i)
                    written += static_cast<char>('a' + written.size() % 26);
                ASSERT_EQ(write(fds[1], written.data() + written.size() - n, n), long(n));
            }
            const auto result = static_cast<std::size_t>(out.Pump(src, send));
            const std::string units = Sizes(std::exchange(sizes, {}));
            got += units + (units.empty() ? "" : " ") + "ders"[result] + "|";
        }
        EXPECT_EQ(got + static_cast<char>(out.EndByte('#')), want);
        EXPECT_TRUE(sent == written.substr(0, sent.size())) << want;
        for (const int fd : {fds[0], fds[1], src == fds[0] ? -1 : src})
            close(fd);
    }
}

// Received units written otherwise than in 64 KiB pieces on the file's 64 KiB boundaries, held
// back while the sender pauses, lost to a failure after them, or an end unit taken for data.
TEST(Pure, GatheredWrites) {
    // Bytes in the file before ("full": /dev/full); the units: "534x3" three of 534 bytes with
    // T_MORE, "p" the sender pauses, "e9" an end unit of 9 bytes ("E9": kept, as data), "!" a
    // failed receive; the writes, then the result (all, receive failed, write failed).
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"0", "534x130 e0", "65536 3884 a"},
        {"100", "534x130 e0", "65436 3984 a"},
        {"65546", "534x130 e0", "65526 3894 a"},
        {"0", "534x3 p 534x2 e9", "1602 1068 a"},
        {"0", "534x3 p 0 E5", "1602 5 a"},
        {"0", "534 65535 e0", "65536 533 a"}, // a unit of a whole frame
        {"0", "534x3 !", "1602 r"},
        {"full", "534 e0", "w"},
    };
    for (const auto& [start, units, want] : rows) {
        TempDir dir;
        const fs::path file = start == "full" ? "/dev/full" : dir / "f";
        const std::string before = start == "full" ? "" : std::string(std::stoul(start), 's');
        WriteFile(file, before);
        const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
        lseek(fd, 0, SEEK_END);         // where the writes start
        std::vector<std::string> steps; // one per unit: "p" before a paused one
        std::istringstream words(units);
        for (std::string w; words >> w;)
            for (std::size_t i = 0, n = w.find('x') + 1 ? std::stoul(w.substr(w.find('x') + 1)) : 1;
                 i < n; ++i)
                steps.push_back(w.substr(0, w.find('x')));
        std::vector<std::size_t> writes;
        std::string data = before;
        std::size_t next = 0, seen = before.size();
        const auto grown = [&] {
            const std::size_t size = start == "full" ? 0 : fs::file_size(file);
            if (size > seen)
                writes.push_back(size - seen);
            seen = size;
        };
        const auto waiting = [&] { return grown(), steps.at(next) != "p"; };
        const auto receive = [&](std::span<unsigned char> room, int& flags) {
            grown();
            next += steps.at(next) == "p";
            const std::string step = steps.at(next++);
            if (step == "!")
                return t_errno = TSYSERR, errno = ECONNRESET, -1;
            const bool end = step[0] == 'e' || step[0] == 'E';
            const std::string bytes = Pattern(std::stoul(step.substr(end)), next);
            std::copy(bytes.begin(), bytes.end(), room.begin());
            flags = end ? 0 : T_MORE;
            data += end && step[0] == 'e' ? "" : bytes;
            return static_cast<int>(bytes.size());
        };
        Gathered g(fd);
        const Received result = g.Gather(waiting, receive, units.find('E') != units.npos);
        grown();
        EXPECT_EQ(Sizes(writes) + (writes.empty() ? "" : " ") + "arw"[static_cast<int>(result)],
                  want);
        EXPECT_TRUE(start == "full" || ReadFile(file) == data) << units;
        EXPECT_TRUE(result != Received::ReceiveFailed ||
                    (t_errno == TSYSERR && errno == ECONNRESET));
        close(fd);
    }
}

} // namespace

namespace {

// An address from "network node" in hexadecimal ("0000ABCD 020000000002"), socket 4500.
ipxAddr_t Address(std::string_view text) {
    ipxAddr_t a{};
    const std::string hex =
        std::string(text.substr(0, 8)) + std::string(text.substr(9, 12)) + "4500";
    for (std::size_t i = 0; i < sizeof a; ++i)
        reinterpret_cast<unsigned char*>(&a)[i] =
            static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return a;
}

} // namespace

// A MAC address that passes for an IPv4 host, an IPv4 entry (0.0.0.0/0 too) that lets in an IPX
// caller or an IPX entry a TCP one, a node's entry that lets in the other nodes of its network.
TEST(Pure, WhoIsLetIn) {
    const AllowFile f = ParseAllowFile("10.9.9.9 store\n0000ABCD:00000A090909 fetch\n"
                                       "0000ABCD command\n0.0.0.0/0 copy\n0000000A copy store\n");
    const std::pair<const char*, unsigned> rows[] = {
        {"00000000 00000A090909", SERVICE_STORE},   // over TCP from 10.9.9.9
        {"00000000 00000A090908", SERVICE_COPY},    // over TCP from another host
        {"0000ABCD 00000A090909", SERVICE_FETCH},   // the MAC address 00:00:0a:09:09:09
        {"0000ABCD 020000000002", SERVICE_COMMAND}, // another node of its network
        {"0000ABCE 00000A090909", 0},               // another network
        {"0000000A 000000000000", SERVICE_COPY | SERVICE_STORE},
    };
    for (const auto& [who, services] : rows)
        EXPECT_EQ(AllowedServices(f.entries, CallerKey(Address(who))), services) << who;
    // The start-up line for 0.0.0.0/0 only where no IPX entry says what IPX callers get.
    EXPECT_EQ(EveryIPv4Only(f.entries), 0u);
}

// Children counted against the wrong address, a waiting caller served out of turn or past its
// share, the wrong caller giving way in a full room (or one that holds as much as the most); a
// pause that does not grow, has no bound or outlives a success; refusals logged more often than
// once in ten seconds, or a count lost.
TEST(Pure, ListenerPolicy) {
    // Callers as letters: A and B over TCP, X an IPX node whose MAC address reads as Y's IPv4.
    const std::map<char, ipxAddr_t> who = {{'A', Address("00000000 00007F000001")},
                                           {'B', Address("00000000 00007F000002")},
                                           {'X', Address("0000ABCD 00000A090909")},
                                           {'Y', Address("00000000 00000A090909")}};
    // Waiting callers, children, -c, -p, a newcomer; then the place served next and the one that
    // gives way to the newcomer ('-': none).
    const std::tuple<std::string, std::string, std::size_t, unsigned, char, std::string> rows[] = {
        {"AAB", "A", 3, 1, 'X', "2 1"}, {"AAB", "", 3, 2, 'A', "0 -"},
        {"AB", "AB", 2, 1, 'B', "- -"}, {"XY", "X", 4, 1, 'Y', "1 0"},
        {"", "", 2, 1, 'A', "- -"},     {"BAA", "B", 2, 2, 'X', "0 2"},
        {"BAAB", "", 1, 1, 'B', "0 -"},
    };
    for (const auto& [waiting, children, maxChildren, share, newcomer, want] : rows) {
        ChildTable table;
        pid_t pid = 100;
        for (const char c : children)
            table.Add(pid++, CallerKey(who.at(c)));
        WaitingRoom room(waiting.size());
        for (const char c : waiting)
            room.Push({-1, who.at(c), ""});
        const auto show = [](std::optional<std::size_t> place) {
            return place ? std::to_string(*place) : std::string("-");
        };
        EXPECT_EQ(show(room.Next(table, maxChildren, share)) + " " +
                      show(room.GivesWay(CallerKey(who.at(newcomer)), table)),
                  want)
            << waiting << " " << children;
    }
    ChildTable table;
    table.Add(1, CallerKey(who.at('A'))), table.Add(2, CallerKey(who.at('A'))), table.Remove(1);
    table.Add(2, CallerKey(who.at('B'))), table.Remove(3); // neither changes anything
    EXPECT_TRUE(table.Size() == 1 && table.Of(CallerKey(who.at('A'))) == 1 &&
                table.Of(CallerKey(who.at('B'))) == 0);

    using namespace std::chrono;
    const PolicyTime t0 = PolicyTime{} + hours(1);
    Backoff backoff;
    std::string pauses;
    for (int i = 0; i < 7; ++i, backoff.Failed(t0))
        pauses += std::to_string(duration_cast<milliseconds>(backoff.RetryAt() - t0).count()) + " ";
    EXPECT_EQ(pauses, "-3600000 250 500 1000 2000 4000 8000 ");
    EXPECT_TRUE(backoff.Paused(t0 + 7999ms) && !backoff.Paused(t0 + 8s));
    backoff.Succeeded();
    EXPECT_TRUE(!backoff.Paused(t0) && backoff.InRow() == 0);

    // Refusals ("a@0": caller a at second 0) and flushes ("@10") in turn: the lines logged.
    RefusalLog log("why");
    std::string lines;
    for (const std::string event :
         {"a@0", "b@1", "c@2", "@9", "@10", "d@11", "@19", "@20", "e@31"}) {
        const auto at = t0 + seconds(std::stoi(event.substr(event.find('@') + 1)));
        const auto line = event[0] == '@' ? log.Flush(at) : log.Refused(event.substr(0, 1), "", at);
        lines += line.value_or("");
    }
    EXPECT_EQ(lines, "caller a refused: why\n2 more callers refused: why (the last c)\n"
                     "1 more callers refused: why (the last d)\ncaller e refused: why\n");
}
