// A make-believe SPX provider for the fuzz targets that run varneld's
// service code: one connected endpoint whose peer's units and events are
// scripted, and which keeps what the service sent. The calls keep the
// provider's contract (units in pieces with T_MORE, TLOOK when a release or
// disconnect is next, nothing sent after one's own disconnect), and a
// disconnect always comes at the end, so no wait of the service can last.
#pragma once

#include <string>
#include <vector>

namespace faketli {

// The service endpoint's descriptor.
inline constexpr int ENDPOINT = 7;

struct Event {
    enum Kind { Data, OrdRel, Discon } kind = Data;
    std::string bytes; // Data: the unit
    bool more = false; // Data: sent with T_MORE
    int reason = 236;  // Discon
};

struct Sent {
    std::string bytes;
    int flags = 0;
};

struct Piece {
    std::string bytes;
    int flags = 0; // as t_rcv returned them
};

struct Connection {
    std::vector<Event> inbound; // from the peer, in order; ends in a Discon
    std::size_t next = 0;       // first inbound event not yet taken
    std::size_t taken = 0;      // bytes of inbound[next] already received
    std::vector<Piece> received; // what t_rcv returned, in order
    std::vector<Sent> sent;      // units the service sent
    bool releaseSent = false;
    bool disconnectSent = false;
    bool closed = false;
};

// Starts a connection whose peer sends events (a Discon is added at the end
// when the script has none).
void Connect(std::vector<Event> events);
Connection& Conn();

} // namespace faketli
