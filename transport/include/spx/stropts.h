// The module stack of an SPX endpoint.
//
// Every endpoint carries a stack of modules over the driver "nspx", with
// "timod" pushed at open. While "tirdwr" is on top, spx_write sends plain
// data as units with T_MORE set, and the t_ calls other than t_close fail
// until "timod" is back on top.
#pragma once

#include <sys/types.h>

inline constexpr unsigned long SPX_STR = ('S' << 8);
inline constexpr unsigned long I_PUSH = SPX_STR | 02;  // arg: module name
inline constexpr unsigned long I_POP = SPX_STR | 03;   // arg: unused
inline constexpr unsigned long I_LOOK = SPX_STR | 04;  // arg: char[FMNAMESZ + 1]
inline constexpr unsigned long I_LIST = SPX_STR | 025; // arg: null (count only)

inline constexpr int FMNAMESZ = 8;

// The module operations above on endpoint fd. I_LIST with a null argument
// returns the number of modules plus the driver; the others return 0. On
// failure -1 with errno set (EINVAL for a module other than "timod" or
// "tirdwr", or nothing to pop; EBADF for a descriptor that is no endpoint).
int spx_ioctl(int fd, unsigned long request, ...);

// A plain write on endpoint fd while "tirdwr" is on top: n > 0 bytes go as
// one unit with T_MORE set. Returns n, 0 for n == 0, or -1 with errno
// (EPROTO when "tirdwr" is not on top, EPIPE when the connection is gone).
ssize_t spx_write(int fd, const void* buf, size_t n);
