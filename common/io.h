// Writing a whole buffer to a descriptor: stored files, pipes, standard
// output.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <string_view>

#include "limit.h"

// Writes all of data to fd, going on after short writes and interruptions.
// A non-blocking fd that takes nothing for the limit of wait fails with
// ETIMEDOUT. False with errno set when any of it could not be written (a
// full disk, the file-size limit, a reader that has gone or stopped reading).
inline bool WriteAll(int fd, std::span<const unsigned char> data, Limit wait = NO_LIMIT) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int r = poll(&p, 1, PollTimeout(wait));
            if (r == 0)
                errno = ETIMEDOUT;
            if (r > 0 || (r < 0 && errno == EINTR))
                continue;
            return false;
        }
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

inline bool WriteAll(int fd, std::string_view text) {
    return WriteAll(fd, {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

// Opens /dev/null on any of descriptors 0 to 2 that is closed, so that no
// connection or file opened later takes its number and receives what is
// printed there.
inline void OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            break;
}
