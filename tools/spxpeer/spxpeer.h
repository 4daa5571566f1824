// spxpeer: a peer of varneld for the services varnel does not use, and a
// raw probe of the service protocol. One file per verb; this header holds
// what the verbs share: the checked command line and the connection steps.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <spx/ipx.h>
#include <spx/tiuser.h>

inline constexpr int EXIT_DONE = 0;   // the service completed
inline constexpr int EXIT_USAGE = 1;  // bad command line
inline constexpr int EXIT_FAILED = 2; // anything else went wrong

// The largest piece of a unit taken in one receive (one provider piece), and
// of a unit given on the command line.
inline constexpr std::size_t RECEIVE_SIZE = T_MAX_PIECE - 1;

enum class Command { Get, Rsh, Raw };

// The command line, checked.
struct Settings {
    Command command = Command::Get;
    std::string host;                       // -r
    std::string hostFile = "./yellowpages"; // -h
    std::uint16_t socket = 0;               // -s, 0: the host file's socket
    unsigned timeout = 0;                   // -t seconds of silence, 0: none
    unsigned closeAfter = 0;                // raw -c: release after this many end units
    bool disconnect = false;                // raw -d: disconnect after the release
    std::vector<std::string> operands;      // get: remote [local]; rsh, raw: the words joined
    std::vector<unsigned char> request;     // the request unit
    // raw -m and -e: units sent after the request, in the order given.
    std::vector<std::pair<std::vector<unsigned char>, int>> units;
};

// The verbs: each returns the exit status.
int GetFile(const Settings& s);
int RemoteCommand(const Settings& s);
int RawExchange(const Settings& s);

// Connects to the server named in the settings and sends the request unit.
// The endpoint, or -1 after the failure has been reported.
int StartService(const Settings& s);

// Reports a failed transport call: its line, then the library's text or the
// event that got in the way (consumed), then, when they leave it unsaid,
// why. A failed t_connect gives the address called and how long it took.
void ReportCall(int fd, const char* call, const ipxAddr_t* called = nullptr,
                std::chrono::milliseconds waited = {});

// Reports that -t ran out: timeout seconds without a word from the server.
void ReportTimeout(unsigned timeout);

// Reports the failed call, closes the endpoint: EXIT_FAILED.
int GiveUp(int fd, const char* call);

// Sends one unit; false after the failure has been reported.
bool SendUnit(int fd, std::span<const unsigned char> unit, int flags);

// Receives the next unit into buf, waiting at most timeout seconds (0: no
// limit). The count, or -1 after the failure (a time-out, a release or a
// disconnect instead of data) has been reported.
int ReceiveUnit(int fd, std::span<unsigned char> buf, int& flags, unsigned timeout);

// Receives a stream of data units into outFd up to the end unit, whose byte
// is no data (see Gathered). EXIT_DONE, or EXIT_FAILED after the failure has
// been reported (what came before a failed receive is written first); after
// a failed write the connection is ended abortively. name says what outFd is.
// With progress, shows the progress on standard error when it is a terminal.
int ReceiveData(int fd, int outFd, const char* name, unsigned timeout, bool progress = false);

// Waits for an event as AwaitEvent does, for at most timeout seconds.
int AwaitServer(int fd, unsigned timeout);

// Ends the connection abortively and closes the endpoint.
void Disconnect(int fd);

// The text of a disconnect reason: "reason=N (...)".
std::string DisconnectText(int reason);
