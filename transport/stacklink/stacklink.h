// The library's side of the IPX stack (nspxd): an IPX endpoint is one
// Unix-domain connection to the stack, and that descriptor is the endpoint's
// descriptor. The stack runs the SPX connection; the library sends TLI's
// requests as records (stack_proto.h) and reads the stack's indications.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "carrier.h"
#include "stack_proto.h"

namespace spx::stacklink {

// When a wait ends; none: when something happens.
using Deadline = std::optional<Clock::time_point>;
Deadline DeadlineOf(Wait wait);

// Where the stack listens: NSPX_STACK, else the default path.
std::string StackPath();

// Records read from a stack connection, with the descriptors that rode
// with them. The front record is whole before it is offered.
class Reader {
  public:
    explicit Reader(std::size_t capacity);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    enum class Got { Bytes, Nothing, End, Failed };
    // Reads what fd has (as much as fits), waiting until deadline for
    // something to come. End: the stack closed its side; Failed: an error
    // (errno) or records that are no records of the interface.
    Got Read(int fd, Deadline deadline);
    // Forgets everything read: a new stack connection starts.
    void Reset();
    // The whole record at the front, if any.
    std::optional<stack::Record> Front() const;
    void Pop();
    // A descriptor that came with the records, oldest first; -1 when none.
    int TakeDescriptor();
    // How much of the front record's body has been taken already (t_rcv's
    // pieces of a data record).
    std::size_t taken = 0;
    // Whether a disconnect, or a release, has come (read, taken or not).
    bool DisconnectCame() const { return discon_; }
    bool ReleaseCame() const { return ordrel_; }

  private:
    // Notes the disconnect and the release among the heads read.
    void Scan();

    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t capacity_, pos_ = 0, end_ = 0, scan_ = 0;
    bool bad_ = false, discon_ = false, ordrel_ = false;
    std::deque<int> fds_;
};

// Writes one record whose body is contiguous.
SysResult WriteRecord(int fd, stack::Prim prim, std::uint8_t flags,
                      std::span<const std::uint8_t> body, Deadline deadline);

// A new stack connection that has said HELLO together with its first
// request (prim, body): its descriptor, or -1 with errno (ENOENT or
// ECONNREFUSED: no stack runs there).
int OpenStack(stack::Prim prim, std::span<const std::uint8_t> body);
// Waits for the stack's answer to the first request, after its HELLO: the
// record (valid until the next read), or none with errno and the detail set
// (another version, a stack that ended). Records that aside takes (true)
// before the answer are its.
using Aside = std::function<bool(const stack::Record&)>;
std::optional<stack::Record> AwaitAnswer(int fd, Reader& in, const Aside& aside = {});

// An IPX endpoint's connection through the stack.
class StackLink final : public Connection {
  public:
    // A link on fd, which is a stack connection past its set-up with path.
    StackLink(int fd, const stack::Path& path);

    int Peek() override;
    std::size_t DataReady() const override;
    std::size_t DataLeft() const override { return DataReady(); }
    std::size_t TakeData(std::span<unsigned char> out, int& flags) override;
    void TakeOrdRel() override;
    int TakeDisconnect() override;
    bool Ended() const override;
    bool Fill(Wait wait) override;

    SysResult QueueUnit(std::span<const unsigned char> data, bool more) override;
    SysResult Flush() override;
    SysResult SendOrdRel() override;
    void Disconnect() override;
    void Broke() override;
    void SetLimit(Wait limit) override { limit_ = sending_.limit = limit; }
    void Release() override {}
    ipxAddr_t Local() const override { return path_.local; }
    std::string_view Detail() const override { return detail_; }
    void Path(spx_path& path) const override;

    // The stack's answer to a call: connected (CONN_CON), a disconnect
    // pending (DISCON_IND: TLOOK), or a failure (its t_errno; notIpx when
    // the network is on none of the stack's interfaces).
    struct Answer {
        stack::Prim prim = stack::Prim::ErrorAck;
        TliResult result;
        bool notIpx = false;
    };
    Answer AwaitCall();
    // The connection now stands at fd (the endpoint's descriptor).
    void MoveTo(int fd) { fd_ = fd; }
    const stack::Path& GetPath() const { return path_; }

  private:
    // Takes what the stack has sent; a stack that ended is a disconnect.
    bool Take(Deadline deadline);
    // The disconnect at the front of what came, if it is there.
    void Ends(int reason, std::string_view detail);

    int fd_;
    stack::Path path_{};
    Reader in_;
    Wait limit_ = UNTIL_SOMETHING;
    SendClock sending_;
    // Small units gathered into one write (records, heads included): they go
    // out when no more fit and whenever the endpoint flushes them.
    static constexpr std::size_t GATHER = 64 * 1024;
    std::unique_ptr<std::uint8_t[]> gather_;
    std::size_t gathered_ = 0;
    bool sentRel_ = false, gotRel_ = false;
    // A disconnect that did not come as a record (a stack that ended, a
    // send that broke): pending after everything read before it.
    std::optional<int> lost_;
    std::string detail_;
};

// The callers of a listening endpoint on IPX socket `socket` of the stack.
class StackListening final : public Listening {
  public:
    StackListening(std::uint16_t socket, unsigned qlen) : socket_(socket), qlen_(qlen), in_(4096) {}
    ~StackListening() override;
    // Binds the socket in the stack: done, the t_errno of its failure, or
    // none when there is no IPX here now (no stack, no interface, a stack
    // that ended: asked again later).
    std::optional<TliResult> Bind();

    bool Serve(Wait wait) override;
    std::optional<Clock::time_point> FirstReady() const override;
    Call Report() override;
    bool Reported(int sequence) const override;
    bool Outstanding() const override { return !reported_.empty(); }
    Joined Accept(int sequence, int fd) override;
    void Refuse(int sequence) override;
    int PollFd() const override { return fd_; }
    Wait Due() const override;
    void Share(int, int watchFd) override { watchFd_ = watchFd; }
    bool OnIpx() const override { return fd_ >= 0; }

  private:
    struct Indication {
        Clock::time_point arrived;
        std::uint32_t stackSequence = 0;
        Call call;
    };
    // Takes the caller indications at the front of what came; one record
    // when it is one (true).
    void TakeIndications();
    bool TakeIndication(const stack::Record& r);
    // The stack ended: its callers are gone, and it is watched no more.
    void Lost();
    // Sends a request about a reported caller and waits for its answer.
    std::optional<stack::Record> Ask(stack::Prim prim, std::uint32_t stackSequence);
    std::vector<Indication>::iterator Find(int sequence);

    // Waits for the answer to the bind, as Bind says.
    std::optional<TliResult> AwaitBound();

    int fd_ = -1; // the stack connection; -1 while no stack has the socket
    int watchFd_ = -1;
    std::uint16_t socket_;
    unsigned qlen_;
    Clock::time_point retry_{}; // when a stack is asked again
    Reader in_;
    std::deque<Indication> ready_;
    std::vector<Indication> reported_;
};

} // namespace spx::stacklink
