// The module stack of an endpoint and the plain writes of "tirdwr".
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <spx/stropts.h>
#include <spx/tiuser.h>

#include "endpoint.h"

using namespace spx;

namespace {

int Errno(int err) {
    errno = err;
    return -1;
}

} // namespace

int spx_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    const int savedTerrno = t_errno;
    Endpoint* ep = FindEndpoint(fd);
    t_errno = savedTerrno;
    if (ep == nullptr)
        return Errno(EBADF);
    ModuleStack& m = ep->modules;
    switch (request) {
    case I_LOOK: {
        if (arg == nullptr || m.Count() == 1)
            return Errno(EINVAL);
        auto* out = static_cast<char*>(arg);
        std::string_view top = m.Top();
        std::memcpy(out, top.data(), top.size());
        out[top.size()] = '\0';
        return 0;
    }
    case I_LIST:
        if (arg != nullptr)
            return Errno(EINVAL);
        return m.Count();
    case I_POP:
        // Units written through the module leave with it, rather than wait
        // for the next call that waits for the peer.
        ep->FlushQueued();
        return m.Pop() ? 0 : Errno(EINVAL);
    case I_PUSH: {
        if (arg == nullptr)
            return Errno(EINVAL);
        const auto* name = static_cast<const char*>(arg);
        return m.Push({name, strnlen(name, FMNAMESZ + 1)}) ? 0 : Errno(EINVAL);
    }
    default:
        return Errno(EINVAL);
    }
}

ssize_t spx_write(int fd, const void* buf, size_t n) {
    const int savedTerrno = t_errno;
    Endpoint* ep = FindEndpoint(fd);
    t_errno = savedTerrno;
    if (ep == nullptr)
        return Errno(EBADF);
    if (!ep->modules.ReadWrite() || (ep->state != T_DATAXFER && ep->state != T_INREL))
        return Errno(EPROTO);
    if (n == 0)
        return 0;
    if (buf == nullptr)
        return Errno(EFAULT);
    if (ep->Ended())
        return Errno(EPIPE);
    std::span<const unsigned char> data(static_cast<const unsigned char*>(buf), n);
    if (const SysResult queued = ep->connection->QueueUnit(data, true)) {
        ep->connection->Broke();
        return Errno(queued.err);
    }
    return static_cast<ssize_t>(n);
}
