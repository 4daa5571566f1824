// Writing a whole buffer to a descriptor: stored files, pipes, standard
// output.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <span>
#include <string_view>

// Writes all of data to fd, going on after short writes and interruptions.
// False with errno set when any of it could not be written (a full disk, the
// file-size limit, a reader that has gone).
inline bool WriteAll(int fd, std::span<const unsigned char> data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
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
