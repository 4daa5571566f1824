// A make-believe system for the fuzz targets that run varneld's service
// code: while a World is active, the system calls that create files, run
// commands, change identity or end the process (linked with -Wl,--wrap)
// act on this record instead of the real system. Nothing is created, run
// or changed; what the code asked for is kept here for the checks.
//
// Outside an active World every wrapped call goes to the real one, so the
// fuzzer's own files and output work as usual.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <csetjmp>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace world {

// Descriptor numbers the make-believe hands out; never real descriptors.
inline constexpr int FILE_FD = 1001;   // the file open() created
inline constexpr int PIPE_READ = 1002; // the command's output pipe
inline constexpr int PIPE_WRITE = 1003;
inline constexpr pid_t COMMAND_PID = 424242;

struct Account {
    const char* name;
    uid_t uid;
    gid_t gid;
};

// Accounts getpwnam knows: the run-as account, the first fallback, and an
// account whose group is not its own user number.
inline constexpr Account ACCOUNTS[] = {
    {"fuzzuser", 1000, 1000},
    {"spxhost", 1001, 1001},
    {"otheruser", 1002, 50},
};

struct State {
    // --- set up before a run
    std::optional<std::string> runIdFile; // "./.spxrunid" content; nullopt: missing
    int openError = 0;                    // nonzero: open() and fopen() of other files fail so
    std::string readableFile;             // what fopen() of any other file reads
    std::string commandOutput;            // what the command's pipe delivers
    std::size_t diskSpace = 1 << 20;      // bytes the created file may grow to (then ENOSPC)
    std::size_t writeChunk = 0;           // nonzero: write() takes at most this many bytes
    bool setgidFails = false;

    // --- what the code did
    std::vector<std::string> openedPaths; // paths given to open() and fopen() (run-id file aside)
    bool fileCreated = false;
    bool fileClosed = false;
    bool writeFailed = false;
    std::string fileContent;
    std::string stdoutData; // bytes written to descriptor 1
    bool commandStarted = false;
    bool runIdRead = false;                  // "./.spxrunid" opened (once, first)
    std::optional<std::string> lookedUpName; // last getpwnam() argument
    rlim_t fileSizeLimit = ~rlim_t{0};
    uid_t uid = 0, euid = 0;
    gid_t gid = 0, egid = 0;
    int exitStatus = -1;
};

// The World's state; valid while active and until the next Begin().
State& Now();

// Starts a make-believe run: fresh state, stubs on, and the standard
// output and error streams of the code under test going nowhere.
void Begin(State initial);
// Stubs off, the streams back; closes whatever streams the run left open
// (a run that ends through exit() never closes them).
void End();
bool Active();

// exit() during an active run jumps here (set with setjmp by the caller
// before running the code) with the exit status + 1 as the value.
extern std::jmp_buf exitJump;
extern bool exitArmed;

// Sets up the server's reporting as a service child has it (style, title
// with a timestamp, process id), for the targets that run server code.
void ServerReporting();

// Reports a failed check on the fuzzer's own output and aborts.
[[noreturn]] void Fail(const char* target, const char* what);

} // namespace world
