// The IPX carrier's shell: the packet sockets, the epoll set, the timer and
// the clock around the pure core (packets, frames, the filter, the SPX
// connection). An IPX endpoint's descriptor is an epoll set holding its
// packet socket and a timerfd armed for the connection's next deadline, so
// that a program polling the endpoint wakes for packets and for SPX timers
// alike and then calls t_look or t_rcv, which run the connection.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "carrier.h"
#include "ipx/conf.h"
#include "ipx/frame.h"
#include "ipx/packet.h"
#include "ipx/spx_connection.h"

namespace spx {

// The interfaces an interface file names.
struct InterfaceFile {
    std::vector<ipx::IpxInterface> interfaces;
};

} // namespace spx

namespace spx::ipx {

// An interface of the interface file, as this host has it.
struct Port {
    IpxInterface conf;
    int index = 0; // the kernel's interface index
    Mac mac{};
    int mtu = 1500; // the largest frame payload
};

// This host's side of an interface of the file; false with the detail set.
bool PortOf(const IpxInterface& conf, Port& port);
// An endpoint's own address on port.
ipxAddr_t AddressOf(const Port& port, std::uint16_t socket);

// A packet socket on port's interface that receives only what filter lets
// through (close-on-exec; receives are non-blocking, sends wait for room).
// CAP_NET_RAW is raised for the call when it is only permitted, and then
// given up. -1 with errno and the detail set.
int OpenPacketSocket(const Port& port, const std::vector<sock_filter>& filter);

// Holds IPX socket `socket` on port's interface for this endpoint and its
// copies after fork: the descriptor of the hold, or -1 with errno
// (EADDRINUSE: another endpoint of this host holds it).
int HoldSocket(const Port& port, std::uint16_t socket);
// Holds a socket of the dynamic range (0x4000 to 0x7FFF); -1 when none is free.
int HoldDynamicSocket(const Port& port, std::uint16_t& socket);

// An unpredictable connection id, never 0 or FFFF.
std::uint16_t NewConnId();

// Receives the frames waiting on sock (a bounded number of batches) and
// hands each to take. Whether any came.
bool ReceiveFrames(int sock, const std::function<void(std::span<const std::uint8_t>)>& take);
// Sends IPX packets as frames of port's type, each to the node its header
// names, in batches. False when the socket refused them.
bool SendPackets(int sock, const Port& port,
                 std::span<const std::span<const std::uint8_t>> packets);

// One endpoint's SPX connection over an interface.
class IpxLink final : public Link {
  public:
    IpxLink(int fd, Interfaces file) : fd_(fd), file_(std::move(file)) {}
    ~IpxLink() override;

    // An answering endpoint for a connection request that came to a
    // listener on port: a socket of its own, the reply queued. 0 or a
    // t_errno value.
    int Answer(const Port& port, const SpxPacket& request);

    // An endpoint binds on TCP; it comes to IPX when it connects or is
    // accepted there, and goes back to TCP when it is unbound.
    int Bind(std::uint16_t, bool, ipxAddr_t&) override;
    std::unique_ptr<Listening> Listen() override { return nullptr; }
    int Unbind() override { return 0; }
    int Connect(const ipxAddr_t& to, SPX_OPTS& theirs, ipxAddr_t& peer) override;
    ipxAddr_t Local() const override { return local_; }
    SPX_OPTS Options() const override;

    int Peek() override;
    std::size_t DataReady() const override;
    std::size_t DataLeft() const override { return DataReady(); }
    std::size_t TakeData(std::span<unsigned char> out, int& flags) override;
    void TakeOrdRel() override;
    int TakeDisconnect() override;
    bool Ended() const override;
    bool Fill(Wait wait) override;
    void Poll() override;

    int QueueUnit(std::span<const unsigned char> data, bool more) override;
    int Flush() override;
    int SendOrdRel() override;
    void Disconnect() override;
    void Broke() override;
    void SetLimit(Wait limit) override { limit_ = limit; }
    void Linger() override;
    void Release() override;
    bool Ipx() const override { return true; }
    void Path(spx_path& path) const override;

  private:
    // The packet socket for socket_ and connId_, the timer, and the epoll
    // set holding them on fd_. False with errno (and the detail) set.
    bool Open(const Port& port);
    // Packets in, timers, packets out, the timer armed anew.
    void Service();
    void Pump(Time now);
    void Arm();
    // Services the connection until done() or wait has passed; done()'s last
    // answer.
    bool WaitUntil(const std::function<bool()>& done, Wait wait);

    int fd_;
    Interfaces file_; // whose interface a connect goes out on
    Port port_;
    std::uint16_t socket_ = 0;
    std::uint16_t connId_ = 0;
    ipxAddr_t local_{};
    int sock_ = -1, timer_ = -1, hold_ = -1;
    Time armed_ = Time::min(); // what the timer is set for; min: nothing
    Time serviced_{};          // the last Service (the clock's epoch: never)
    // Every process holding the connection holds holders_[1]; the last to
    // let go sees the read end hang up, and ends the connection.
    int holders_[2] = {-1, -1};
    std::optional<SpxConnection> conn_;
    bool failed_ = false; // broken here: a disconnect (237) is pending
    Wait limit_ = UNTIL_SOMETHING;
    std::uint64_t dropped_ = 0; // frames the decoders refused
};

// The callers on one IPX socket of every interface of the file.
class IpxListening final : public Listening {
  public:
    ~IpxListening() override;
    // Opens the socket on every interface of file. 0 or a t_errno value.
    int Open(const InterfaceFile& file, std::uint16_t socket);

    bool Serve(Wait wait) override;
    std::optional<Time> FirstReady() const override;
    Call Report() override;
    bool Reported(int sequence) const override;
    bool Outstanding() const override { return !reported_.empty(); }
    int Accept(int sequence, Endpoint& res) override;
    void Refuse(int sequence) override;
    int PollFd() const override { return set_; }
    void Share(int, int) override {}

  private:
    struct Door {
        Port port;
        int sock = -1, hold = -1;
    };
    struct Request {
        Time arrived;
        Call call;
        std::size_t door = 0;
        SpxPacket packet; // the connection request (it carries no data)
    };
    // Takes a frame that came to door: a new connection request joins ready_.
    void Take(std::size_t door, std::span<const std::uint8_t> frame, Time now);
    bool Known(const SpxPacket& p) const;
    std::vector<Request>::iterator Find(int sequence);

    std::vector<Door> doors_;
    int set_ = -1;
    std::uint16_t socket_ = 0;
    std::deque<Request> ready_;
    std::vector<Request> reported_;
    std::deque<Request> answered_; // recent: a repeated request is no new caller
    std::uint64_t dropped_ = 0;
};

} // namespace spx::ipx
