// The provider's per-process state of an endpoint: its TLI state, its
// module stack, its binding, its connection once it has one and, on a
// listening endpoint, the callers being read.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include <spx/ipx.h>
#include <spx/stropts.h>

#include "carrier.h"

namespace spx {

// The module stack above the driver: "timod" at open. Only "timod" and
// "tirdwr" can be pushed.
class ModuleStack {
  public:
    ModuleStack();
    int Count() const { return count_ + 1; } // modules plus the driver
    std::string_view Top() const;
    bool Pop();
    bool Push(std::string_view name);
    bool TliUsable() const { return count_ > 0 && modules_[count_ - 1] == Module::Timod; }
    bool ReadWrite() const { return count_ > 0 && modules_[count_ - 1] == Module::Tirdwr; }

  private:
    enum class Module : std::uint8_t { Timod, Tirdwr };
    static constexpr int DEPTH = 8;
    std::array<Module, DEPTH> modules_{};
    int count_ = 0;
};

// An endpoint of this process: its TLI state, its module stack, and what
// its carrier keeps for it.
struct Endpoint {
    int fd = -1;
    int state = 0;
    ipxAddr_t local{};
    ModuleStack modules;
    Wait limit = UNTIL_SOMETHING;           // of silence and of waiting for room (spx_setlimit)
    std::unique_ptr<Binding> binding;       // the endpoint's own socket
    std::unique_ptr<Connection> connection; // at fd since a call or an accept
    std::unique_ptr<Listening> listener;

    // A connection now stands at fd: it keeps the endpoint's limit.
    void Take(std::unique_ptr<Connection> c);
    // Whether a connection has nothing more to give: a disconnect is pending.
    bool Ended() const { return connection && connection->Ended(); }
    // Puts queued units on their way (before a wait for the peer, a module
    // change, a push); a failure breaks the connection, and false.
    bool FlushQueued();
};

// The endpoint of fd in this process, or null with t_errno = TBADF.
Endpoint* FindEndpoint(int fd);
// Registers a new endpoint for fd, on binding.
Endpoint& AddEndpoint(int fd, std::unique_ptr<Binding> binding);
// Forgets fd's endpoint.
void RemoveEndpoint(int fd);
// Sends every endpoint's queued units (before fork).
void FlushAll();
// Lets every endpoint go at exit: queued units sent, and a connection this
// process is the last to hold ended.
void ReleaseAll();

} // namespace spx
