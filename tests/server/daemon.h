// What the daemon's tests share: the heads of its lines, a daemon started
// through a wrapper command, one store through a TLI client, a look into /proc.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "harness.h"
#include "peer.h"

namespace srv {

using namespace harness;
using Strings = std::vector<std::string>;

inline const std::string kTitle = Bin("varneld").string();

// The message after a line's head: argv[0], when stamped the accept time
// (": MM/DD/YY hh:mm:ss AM :"), in a child " <pid>", then ": ". Marked if another.
inline std::string Body(std::string_view line, bool stamped = true, bool child = true) {
    const auto digit = [&](auto i) { return i < line.size() && std::isdigit(line[i] & 0xFF); };
    const std::string shape = std::string(stamped ? ": ##/##/## ##:##:## @M :" : "") +
                              (child ? " ~" : "") + ": "; // #: a digit, ~: digits, @: A or P
    std::size_t at = kTitle.size();
    if (!line.starts_with(kTitle))
        return "head? " + std::string(line);
    for (const char s : shape) {
        const char c = at < line.size() ? line[at] : '\0';
        if (s == '#' || s == '~' ? !digit(at) : s == '@' ? c != 'A' && c != 'P' : c != s)
            return "head? " + std::string(line);
        for (++at; s == '~' && digit(at);)
            ++at;
    }
    return std::string(line.substr(at));
}

// The messages of the lines of text that contain part.
inline Strings Said(std::string_view text, std::string_view part, bool stamped = true,
                    bool child = true) {
    Strings out;
    for (const auto& l : LinesWith(text, part))
        out.push_back(Body(l, stamped, child));
    return out;
}

// varneld run through a wrapper (a command that runs the rest of its arguments) in
// a fresh directory naming the run-as account; killed by process group id at scope end.
struct Wrapped {
    TempDir dir;
    int port = FreePort();
    std::optional<Process> p;
    bool started = false;
    explicit Wrapped(Strings argv, const Strings& extra = {}) {
        WriteFile(dir / ".spxrunid", RunAsAccount() + "\n");
        fs::permissions(dir / ".spxrunid", fs::perms(0666)); // opened for update
        argv.insert(argv.end(), {kTitle, "-s", HexPort(port)});
        argv.insert(argv.end(), extra.begin(), extra.end());
        started = p.emplace(argv, Options{dir.path(), std::nullopt}).WaitForOutput("spxfd", true);
    }
    std::string why() const { return p->Stdout() + p->Stderr(); }
};

// The run-as account, and the wrapper that runs a superuser's daemon as it.
inline const passwd& Account() {
    static const passwd pw = *getpwnam(RunAsAccount().c_str());
    return pw;
}
inline Strings AsRunAsAccount() {
    if (geteuid() != 0)
        return {};
    return {"/usr/bin/setpriv", "--reuid=" + std::to_string(Account().pw_uid),
            "--regid=" + std::to_string(Account().pw_gid), "--clear-groups"};
}

// One store: the request, on status 0 the units with T_MORE and the end unit. What the
// client saw: the status byte, the server's release, the disconnect ("0 released 236").
inline std::string Store(int port, const std::string& request, const Strings& units = {},
                         const std::string& endUnit = "") {
    peer::Conn c(port);
    const auto st = c.ok() && c.Send(request) ? c.Recv(1) : std::nullopt;
    if (!st || st->data.size() != 1)
        return "no status";
    const int status = static_cast<unsigned char>(st->data[0]);
    for (std::size_t i = 0; status == 0 && i <= units.size(); ++i)
        if (!c.Send(i < units.size() ? units[i] : endUnit, i < units.size() ? T_MORE : 0))
            break;
    int ev = c.SkipToEvent();
    const bool released = ev == T_ORDREL && c.ReceiveRelease();
    ev = released ? c.WaitEvent() : ev;
    return std::to_string(status) + (released ? " released " : " ") +
           std::to_string(ev == T_DISCONNECT ? c.ReceiveDisconnect() : -1);
}

// data cut into units of 534 bytes.
inline Strings Units(const std::string& data) {
    Strings out;
    for (std::size_t at = 0; at < data.size(); at += SPX_MAX_DATA)
        out.push_back(data.substr(at, SPX_MAX_DATA));
    return out;
}

// Waits for the listener's nth state line (2 a connection, 1 more in t_listen).
inline bool Passes(const Process& p, std::size_t n) {
    return WaitUntil([&] { return LinesWith(p.Stderr(), "spxfd = ").size() >= n; });
}

// The children of a process, and a signal set ("SigIgn", "SigBlk") of one.
inline std::vector<int> Children(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> out;
    for (int c = 0; in >> c;)
        out.push_back(c);
    return out;
}
inline unsigned long long Signals(int pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key + ":"))
            return std::stoull(line.substr(key.size() + 1), nullptr, 16);
    return ~0ull; // unreadable
}

} // namespace srv
