// The host's IPX stack: one event loop over the listening Unix socket, its
// clients (one per IPX endpoint), one packet socket per interface, one timer
// for the earliest deadline of every connection and the door, and the
// signals that end it. Single-threaded; every buffer bounded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "door.h"
#include "session.h"
#include "sockets.h"
#include "stack_proto.h"
#include "wire.h"

namespace spx::stack {

// Why the stack itself dropped a packet (beside each connection's own reasons).
enum class Drop : std::uint8_t {
    Undecodable,
    NoSocket,
    NoConnection,
    DoorFull,
    LocalQueueFull,
    Count
};

// A byte buffer of fixed capacity: bytes are appended at the end and taken
// from the front.
class Buffer {
  public:
    explicit Buffer(std::size_t capacity) : capacity_(capacity) {}
    std::span<const std::uint8_t> Data() const { return {bytes_.data() + begin_, end_ - begin_}; }
    std::size_t Size() const { return end_ - begin_; }
    std::size_t Free() const { return capacity_ > Size() ? capacity_ - Size() : 0; }
    // Room at the end for n more bytes (moving what is there to the front).
    // Room at the end: at least `want` bytes where the capacity allows
    // (moving what is there to the front, growing up to the capacity).
    std::span<std::uint8_t> Room(std::size_t want = 1);
    void Grow(std::size_t n) { end_ += n; }
    void Consume(std::size_t n);
    void Append(std::span<const std::uint8_t> b);
    void Clear() { begin_ = end_ = 0; }
    std::uint64_t consumed = 0; // bytes taken from the front, ever

  private:
    std::size_t capacity_;
    std::vector<std::uint8_t> bytes_; // grows up to capacity_ as it is used
    std::size_t begin_ = 0, end_ = 0;
};

struct Client {
    enum class Kind : std::uint8_t { Fresh, Idle, Listener, Calling, Endpoint };
    explicit Client(int f);
    int fd;
    Kind kind = Kind::Fresh;
    Buffer in, out;
    std::deque<std::pair<std::uint64_t, int>> passing; // a descriptor rides at this byte
    std::uint16_t conn = 0;                            // Calling, Endpoint: the connection's id
    std::uint16_t socket = 0;                          // Listener: its socket
    std::size_t partial = 0; // bytes of the data record at the front already sent
    std::uint32_t watching = 0;
    bool blocked = false; // a data record waits for send room
    bool hup = false;     // hung up while its input waited: read on without epoll
    bool eof = false;     // no more input: the stream's end, or a record stream broken
    bool deaf = false;    // its reader is gone: output is dropped
    bool relIn = false, relOut = false;
    bool endAfterFlush = false; // shut down once the output is written
    bool doomed = false;        // closed at the end of this round
    bool registered = true;     // in the epoll set
};

struct Conn {
    explicit Conn(Session session) : s(std::move(session)) {}
    Session s;
    std::uint16_t id = 0, socket = 0;
    std::size_t iface = 0;
    int client = -1;            // the endpoint's client; -1 for none
    std::uint16_t listener = 0; // waiting or reported to this listener
    std::uint32_t sequence = 0; // as reported
    Time started{};
    std::optional<Time> setUp; // when it was established
    std::optional<Time> deadline;
};

struct Listener {
    int client = -1;
    std::uint16_t socket = 0, qlen = 1;
    std::deque<std::uint16_t> waiting;               // set up, not yet reported
    std::map<std::uint32_t, std::uint16_t> reported; // sequence: connection id
    std::uint32_t nextSequence = 1;
};

struct Options {
    bool verbose = false;
};

class Stack {
  public:
    Stack(std::vector<Iface> ifaces, Options options);
    ~Stack();
    // Listens at path: 0, or the exit status with the message printed.
    int Open(const std::string& path);
    // Runs until SIGTERM or SIGINT; the exit status.
    int Run();

  private:
    // The loop's parts.
    void OnEvent(std::uint64_t tag, std::uint32_t events, Time now);
    void AcceptClients();
    // Reads up to `batches` batches of frames from one of interface i's sockets.
    void ReadIface(std::size_t i, int sock, int batches, Time now);
    void OnTimer(Time now);
    void Settle(Time now);
    void ArmTimer();
    void Shutdown(Time now);

    // Packets.
    void Dispatch(const ipx::SpxPacket& p, std::size_t iface, Time now);
    void AtDoor(const ipx::SpxPacket& p, std::size_t iface, Time now);
    void Complete(const HalfOpen& call, const ipx::SpxPacket& first, Time now);
    void SendOne(std::size_t iface, const ipx::SpxPacket& p);
    void FlushOutbox();
    void Pump(Conn& c, Time now);
    void Route(std::size_t iface, std::span<const std::uint8_t> packet,
               std::vector<std::span<const std::uint8_t>>& wire);
    void DrainLocal(Time now);
    void CountDrop(Drop d) { ++drops_[static_cast<std::size_t>(d)]; }

    // Clients.
    void ServeClient(int fd, std::uint32_t events, Time now);
    void ReadClient(Client& c, Time now);
    bool HandleRecords(Client& c, Time now);
    bool HandleRecord(Client& c, const Record& r, Time now);
    bool HandleData(Client& c, const Record& r, Time now);
    void Hello(Client& c, const Record& r);
    void Bind(Client& c, const Record& r);
    void Connect(Client& c, const Record& r, Time now);
    void AcceptCall(Client& c, const Record& r, Time now);
    void Refuse(Client& c, const Record& r, Time now);
    void Info(Client& c);
    void Send(Client& c, Prim prim, std::uint8_t flags, std::span<const std::uint8_t> body);
    void SendError(Client& c, int terr, int err, std::string_view detail, std::uint8_t flags = 0);
    void WriteClient(Client& c);
    void Watch(Client& c);
    void ClientGone(Client& c);
    void Doom(Client& c);
    void CloseClient(int fd, Time now);
    Client* ClientOf(int fd);

    // Connections.
    Conn* Find(std::uint16_t id);
    std::uint16_t NewId();
    void Touch(Conn& c) { dirty_.insert(c.id); }
    void Deliver(Conn& c, Time now);
    void DeliverData(Client& cl, Conn& c);
    void Feed(Conn& c, Time now);
    void Report(Listener& l);
    void Reschedule(Conn& c);
    void Forget(Conn& c, Time now);
    std::string FailureDetail(const Conn& c, int reason, Time now) const;
    std::string PathText(const Conn& c) const;
    Path PathOf(const Conn& c) const;
    void DropListener(Client& c, Time now);

    std::vector<Iface> ifaces_;
    Options options_;
    std::string path_;
    int epoll_ = -1, listen_ = -1, timer_ = -1, signals_ = -1;
    std::unordered_map<int, std::unique_ptr<Client>> clients_;
    std::unordered_map<std::uint16_t, std::unique_ptr<Conn>> conns_;
    std::unordered_map<std::uint16_t, Listener> listeners_;
    SocketTable sockets_;
    Door door_;
    std::set<std::pair<Time, std::uint16_t>> schedule_;
    std::set<std::uint16_t> dirty_;
    std::vector<int> doomed_;
    struct LocalPacket {
        std::size_t iface;
        std::uint16_t length;
        std::array<std::uint8_t, ipx::MAX_PACKET> bytes;
    };
    std::deque<LocalPacket> local_;
    std::vector<LocalPacket> outbox_; // the door's replies, sent in batches
    std::array<std::uint64_t, static_cast<std::size_t>(Drop::Count)> drops_{};
    std::array<std::uint64_t, static_cast<std::size_t>(ipx::DropReason::Count)> connDrops_{};
    std::optional<Time> armed_;
    bool stopping_ = false;
    std::unique_ptr<Received> received_;
};

// "0000ABCD:020000000001:4001".
std::string AddressText(const ipxAddr_t& a);
// One interface: name, network, frame type, MAC address, MTU, link up or down.
std::string IfaceLine(const Iface& i);

} // namespace spx::stack
