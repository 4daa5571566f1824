// spxpeer raw: send a hand-made request (and units) and print what comes
// back, one line per unit and event, for diagnosis and tests.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <spx/tiuser.h>

#include "spxpeer.h"
#include "spxsupport.h"

namespace {

// raw prints at most this many bytes of each unit.
constexpr std::size_t SHOWN_BYTES = 16;

// Fixed output, every line raw prints on standard output: scripts and the tests parse it.
// One line for a unit that came back.
void ShowUnit(std::span<const unsigned char> unit, int flags) {
    std::string line = "unit length=" + std::to_string(unit.size()) +
                       ((flags & T_MORE) ? " flags=T_MORE" : " flags=0");
    if (!unit.empty()) {
        line += " data=";
        char hex[4];
        for (std::size_t i = 0; i < unit.size() && i < SHOWN_BYTES; ++i) {
            snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", unit[i]);
            line += hex;
        }
        if (unit.size() > SHOWN_BYTES)
            line += " ...";
    }
    printf("%s\n", line.c_str());
}

// The end of the exchange at the server's disconnect or release (answered
// with ours unless we have released already): the exit status.
int Closed(int fd, int ev, bool released) {
    if (ev == T_DISCONNECT) {
        t_discon discon{};
        if (t_rcvdis(fd, &discon) < 0)
            return GiveUp(fd, "t_rcvdis");
        printf("disconnect %s\n", DisconnectText(discon.reason).c_str());
    } else {
        if (t_rcvrel(fd) < 0)
            return GiveUp(fd, "t_rcvrel");
        printf("release\n");
        if (!released) {
            if (t_sndrel(fd) < 0)
                return GiveUp(fd, "t_sndrel");
            printf("sent release\n");
        }
    }
    t_close(fd);
    return EXIT_DONE;
}

// Our release after the end unit that -c counts to, then with -d our
// disconnect: the exit status when that ends the exchange.
std::optional<int> Release(int fd, const Settings& s) {
    if (t_sndrel(fd) < 0)
        return GiveUp(fd, "t_sndrel");
    printf("sent release\n");
    if (!s.disconnect)
        return std::nullopt;
    if (t_snddis(fd, nullptr) < 0)
        return GiveUp(fd, "t_snddis");
    printf("sent disconnect\n");
    t_close(fd);
    return EXIT_DONE;
}

} // namespace

// raw: the given units out, then every unit and event that comes back.
int RawExchange(const Settings& s) {
    const int fd = StartService(s);
    if (fd < 0)
        return EXIT_FAILED;

    bool sent = true;
    for (std::size_t i = 0; sent && i < s.units.size(); ++i)
        sent = SendUnit(fd, s.units[i].first, s.units[i].second);
    if (!sent) {
        t_close(fd);
        return EXIT_FAILED;
    }

    std::vector<unsigned char> buf(RECEIVE_SIZE);
    unsigned endUnits = 0;
    bool released = false;
    for (;;) {
        const int ev = AwaitServer(fd, s.timeout);
        if (ev == 0) {
            printf("timeout\n");
            ReportTimeout(s.timeout);
            Disconnect(fd);
            return EXIT_FAILED;
        }
        if (ev < 0)
            return GiveUp(fd, "t_look");
        if (ev == T_DISCONNECT || ev == T_ORDREL)
            return Closed(fd, ev, released);
        if (ev != T_DATA) {
            printf("event 0x%X\n", static_cast<unsigned>(ev));
            Disconnect(fd);
            return EXIT_FAILED;
        }
        int flags = 0;
        const int n = t_rcv(fd, buf.data(), static_cast<unsigned>(buf.size()), &flags);
        if (n < 0) {
            if (t_errno == TLOOK)
                continue; // the event is taken by the next pass
            return GiveUp(fd, "t_rcv");
        }
        ShowUnit({buf.data(), static_cast<std::size_t>(n)}, flags);
        if ((flags & T_MORE) || released || s.closeAfter == 0 || ++endUnits < s.closeAfter)
            continue;
        released = true;
        if (const auto end = Release(fd, s))
            return *end;
    }
}
