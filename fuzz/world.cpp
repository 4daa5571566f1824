// The make-believe system of world.h: the -Wl,--wrap replacements of the
// system calls that varneld's services make.

#include "world.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include "spxsupport.h"

namespace world {

std::jmp_buf exitJump;
bool exitArmed = false;

namespace {

bool active = false;
State state;
// Streams handed out during the run, closed by End() if the run did not.
std::vector<FILE*> streams;
passwd entry{};
FILE* savedOut = nullptr;
FILE* savedErr = nullptr;

const char* const runNameFile = "./.spxrunid";

// A stream reading text (fmemopen cannot read an empty buffer).
FILE* ReadStream(const std::string& text);

} // namespace

State& Now() { return state; }
bool Active() { return active; }

void Begin(State initial) {
    state = std::move(initial);
    streams.clear();
    static FILE* const devNull = std::fopen("/dev/null", "w");
    savedOut = stdout;
    savedErr = stderr;
    stdout = devNull;
    stderr = devNull;
    active = true;
}

void ServerReporting() {
    SetReportStyle(ReportStyle::Server);
    SetTitle("varneld: 01/02/24 10:11:12 AM :");
    idno = 4321;
}

void Fail(const char* target, const char* what) {
    std::fprintf(savedErr != nullptr ? savedErr : stderr, "%s: %s\n", target, what);
    std::abort();
}

} // namespace world

extern "C" {

int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_close(int fd);
ssize_t __real_write(int fd, const void* buf, size_t n);
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fopen64(const char* path, const char* mode);
int __real_fclose(FILE* fp);
FILE* __real_fdopen(int fd, const char* mode);
int __real_pipe2(int fds[2], int flags);
pid_t __real_fork();
pid_t __real_waitpid(pid_t pid, int* status, int options);
int __real_kill(pid_t pid, int sig);
int __real_setuid(uid_t uid);
int __real_setgid(gid_t gid);
int __real_initgroups(const char* user, gid_t group);
uid_t __real_getuid();
uid_t __real_geteuid();
gid_t __real_getgid();
gid_t __real_getegid();
passwd* __real_getpwnam(const char* name);
void __real_setpwent();
void __real_endpwent();
int __real_setrlimit(int resource, const rlimit* rl);
sighandler_t __real_signal(int sig, sighandler_t handler);
[[noreturn]] void __real_exit(int status);

} // extern "C"

namespace world {

namespace {

FILE* ReadStream(const std::string& text) {
    FILE* fp = text.empty() ? __real_fopen("/dev/null", "r")
                            : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (fp != nullptr)
        streams.push_back(fp);
    return fp;
}

// Only the make-believe descriptors and the standard ones exist in a run;
// anything else means the code used a descriptor it never got.
[[noreturn]] void Unexpected(const char* what) {
    const std::string text = std::string("unexpected ") + what + " during a run";
    Fail("fuzz world", text.c_str());
}

int Error(int err) {
    errno = err;
    return -1;
}

int OpenFile(const char* path, int flags) {
    state.openedPaths.emplace_back(path);
    if ((flags & O_CREAT) == 0 || (flags & O_ACCMODE) != O_WRONLY)
        Unexpected("open mode");
    if (state.openError != 0)
        return Error(state.openError);
    if (state.fileCreated && !state.fileClosed)
        Unexpected("second open");
    state.fileCreated = true;
    state.fileContent.clear();
    return FILE_FD;
}

} // namespace

void End() {
    active = false;
    exitArmed = false;
    std::fflush(stdout);
    std::fflush(stderr);
    stdout = savedOut;
    stderr = savedErr;
    for (FILE* fp : streams)
        __real_fclose(fp);
    streams.clear();
}

} // namespace world

using world::state;

extern "C" {

// The mode argument of open() is there only when a file may be created.
#define OPEN_MODE(flags, mode)                                                                  \
    mode_t mode = 0;                                                                            \
    if (((flags) & (O_CREAT | O_TMPFILE)) != 0) {                                              \
        va_list ap;                                                                             \
        va_start(ap, flags);                                                                    \
        mode = static_cast<mode_t>(va_arg(ap, int));                                            \
        va_end(ap);                                                                             \
    }

int __wrap_open(const char* path, int flags, ...) {
    OPEN_MODE(flags, mode);
    return world::Active() ? world::OpenFile(path, flags) : __real_open(path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...) {
    OPEN_MODE(flags, mode);
    return world::Active() ? world::OpenFile(path, flags) : __real_open64(path, flags, mode);
}

#undef OPEN_MODE

int __wrap_close(int fd) {
    if (!world::Active())
        return __real_close(fd);
    if (fd == world::FILE_FD && state.fileCreated && !state.fileClosed) {
        state.fileClosed = true;
        return 0;
    }
    if (fd == world::PIPE_WRITE)
        return 0;
    if (fd < 0)
        return world::Error(EBADF);
    world::Unexpected("close");
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (!world::Active())
        return __real_write(fd, buf, n);
    const auto* bytes = static_cast<const char*>(buf);
    if (fd == STDOUT_FILENO) {
        state.stdoutData.append(bytes, n);
        return static_cast<ssize_t>(n);
    }
    if (fd == STDERR_FILENO)
        return static_cast<ssize_t>(n);
    if (fd != world::FILE_FD || !state.fileCreated || state.fileClosed)
        return world::Error(EBADF);
    if (state.writeChunk != 0)
        n = std::min(n, state.writeChunk);
    const std::size_t limit =
        std::min<std::size_t>(state.diskSpace, static_cast<std::size_t>(std::min<rlim_t>(
                                                   state.fileSizeLimit, rlim_t{1} << 40)));
    const std::size_t room = limit > state.fileContent.size() ? limit - state.fileContent.size() : 0;
    if (n > 0 && room == 0) {
        state.writeFailed = true;
        return world::Error(state.fileContent.size() >= state.fileSizeLimit ? EFBIG : ENOSPC);
    }
    n = std::min(n, room);
    state.fileContent.append(bytes, n);
    return static_cast<ssize_t>(n);
}

FILE* __wrap_fopen(const char* path, const char* mode) {
    if (!world::Active())
        return __real_fopen(path, mode);
    // The run-as switch reads the run-id file first; a service may open
    // that path again as a file of its own.
    if (std::strcmp(path, world::runNameFile) == 0 && !state.runIdRead) {
        state.runIdRead = true;
        if (!state.runIdFile) {
            errno = ENOENT;
            return nullptr;
        }
        return world::ReadStream(*state.runIdFile);
    }
    state.openedPaths.emplace_back(path);
    if (mode[0] != 'r')
        world::Unexpected("fopen mode");
    if (state.openError != 0) {
        errno = state.openError;
        return nullptr;
    }
    return world::ReadStream(state.readableFile);
}

FILE* __wrap_fopen64(const char* path, const char* mode) {
    if (!world::Active())
        return __real_fopen64(path, mode);
    return __wrap_fopen(path, mode);
}

int __wrap_fclose(FILE* fp) {
    auto& s = world::streams;
    s.erase(std::remove(s.begin(), s.end(), fp), s.end());
    return __real_fclose(fp);
}

FILE* __wrap_fdopen(int fd, const char* mode) {
    if (!world::Active())
        return __real_fdopen(fd, mode);
    if (fd != world::PIPE_READ)
        world::Unexpected("fdopen");
    return world::ReadStream(state.commandOutput);
}

int __wrap_pipe2(int fds[2], int flags) {
    if (!world::Active())
        return __real_pipe2(fds, flags);
    fds[0] = world::PIPE_READ;
    fds[1] = world::PIPE_WRITE;
    return 0;
}

// The parent's side of a fork: the command "runs" (its output is
// commandOutput); no process is made.
pid_t __wrap_fork() {
    if (!world::Active())
        return __real_fork();
    state.commandStarted = true;
    return world::COMMAND_PID;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
    if (!world::Active())
        return __real_waitpid(pid, status, options);
    if (pid != world::COMMAND_PID)
        world::Unexpected("waitpid");
    if (status != nullptr)
        *status = 0;
    return pid;
}

int __wrap_kill(pid_t pid, int sig) {
    if (!world::Active())
        return __real_kill(pid, sig);
    if (pid != world::COMMAND_PID)
        world::Unexpected("kill");
    return 0;
}

int __wrap_setuid(uid_t uid) {
    if (!world::Active())
        return __real_setuid(uid);
    if (state.euid == 0 || uid == state.uid) {
        state.uid = state.euid = uid;
        return 0;
    }
    return world::Error(EPERM);
}

int __wrap_setgid(gid_t gid) {
    if (!world::Active())
        return __real_setgid(gid);
    if (state.setgidFails || (state.euid != 0 && gid != state.gid))
        return world::Error(EPERM);
    state.gid = state.egid = gid;
    return 0;
}

int __wrap_initgroups(const char* user, gid_t group) {
    if (!world::Active())
        return __real_initgroups(user, group);
    return state.euid == 0 ? 0 : world::Error(EPERM);
}

uid_t __wrap_getuid() { return world::Active() ? state.uid : __real_getuid(); }
uid_t __wrap_geteuid() { return world::Active() ? state.euid : __real_geteuid(); }
gid_t __wrap_getgid() { return world::Active() ? state.gid : __real_getgid(); }
gid_t __wrap_getegid() { return world::Active() ? state.egid : __real_getegid(); }

passwd* __wrap_getpwnam(const char* name) {
    if (!world::Active())
        return __real_getpwnam(name);
    state.lookedUpName = name;
    for (const auto& a : world::ACCOUNTS) {
        if (std::strcmp(a.name, name) == 0) {
            world::entry = passwd{};
            world::entry.pw_name = const_cast<char*>(a.name);
            world::entry.pw_passwd = const_cast<char*>("x");
            world::entry.pw_uid = a.uid;
            world::entry.pw_gid = a.gid;
            world::entry.pw_dir = const_cast<char*>("/nonexistent");
            world::entry.pw_shell = const_cast<char*>("/usr/sbin/nologin");
            return &world::entry;
        }
    }
    return nullptr;
}

void __wrap_setpwent() {
    if (!world::Active())
        __real_setpwent();
}

void __wrap_endpwent() {
    if (!world::Active())
        __real_endpwent();
}

int __wrap_setrlimit(int resource, const rlimit* rl) {
    if (!world::Active())
        return __real_setrlimit(resource, rl);
    if (resource != RLIMIT_FSIZE)
        world::Unexpected("setrlimit");
    state.fileSizeLimit = rl->rlim_cur;
    return 0;
}

// The fuzzer's own signal handling stays as it is.
sighandler_t __wrap_signal(int sig, sighandler_t handler) {
    if (!world::Active())
        return __real_signal(sig, handler);
    return SIG_DFL;
}

void __wrap_exit(int status) {
    if (world::Active() && world::exitArmed) {
        state.exitStatus = status;
        world::exitArmed = false;
        std::longjmp(world::exitJump, 1);
    }
    __real_exit(status);
}

// What must never happen in a run: a program started for real.
#define NEVER_IN_A_RUN(ret, name, params, args)                                                    \
    ret __real_##name params;                                                                      \
    ret __wrap_##name params {                                                                     \
        if (world::Active())                                                                       \
            world::Unexpected(#name);                                                              \
        return __real_##name args;                                                                 \
    }

NEVER_IN_A_RUN(FILE*, popen, (const char* c, const char* m), (c, m))
NEVER_IN_A_RUN(int, system, (const char* c), (c))
NEVER_IN_A_RUN(int, execv, (const char* p, char* const a[]), (p, a))
NEVER_IN_A_RUN(int, execvp, (const char* p, char* const a[]), (p, a))
NEVER_IN_A_RUN(int, execve, (const char* p, char* const a[], char* const e[]), (p, a, e))
NEVER_IN_A_RUN(int, close_range, (unsigned a, unsigned b, int f), (a, b, f))

// execl is variadic: only its first argument is checked before it fails.
int __wrap_execl(const char* path, const char* arg, ...) {
    (void)arg;
    if (world::Active())
        world::Unexpected("execl");
    errno = ENOSYS;
    std::fprintf(stderr, "fuzz world: execl(%s) outside a run is not supported\n", path);
    return -1;
}

} // extern "C"
