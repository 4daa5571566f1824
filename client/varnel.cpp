// varnel, the sending client: connects to varneld, asks it to store a file
// (-f) or to copy the data to its standard output, streams one local file
// over the connection and reports the transfer.
//
// Exit status: 0 when the server confirmed the transfer with its orderly
// release; 1 on a usage error or a refused argument; 2 when the transfer
// failed after start-up (bind, lookup, connect, request, remote open, read,
// write, end unit, or a server that ended without releasing); 255 when the
// endpoint or the source file cannot be opened, or the source file cannot
// be closed; 254 when a stream module operation fails.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>

#include <spx/byteorder.h>
#include <spx/stropts.h>
#include <spx/tiuser.h>

#include "cause.h"
#include "connection.h"
#include "hostfile.h"
#include "io.h"
#include "path.h"
#include "settings.h"
#include "spxproto.h"
#include "spxsupport.h"
#include "statistics.h"

namespace {

// The settings from the command line, read by every step of the run.
Settings settings;

// How a run ends.
enum class RunEnd {
    Confirmed,      // the server released the connection: the data was taken
    NotConfirmed,   // a failure reported on the way; the closing steps follow
    SourceUnopened, // exit status -1 at once, without the closing steps
    ModuleFailed,   // exit status -2 at once, without the closing steps
};

// The source file is read in blocks of this size and cut into chunks of
// packetSize; each chunk is one write on the connection.
inline constexpr std::size_t READ_BLOCK = 64 * 1024;
std::array<unsigned char, READ_BLOCK> tranbuf;

// Reports a failed TLI call on spxfd: the line naming it, then SpxError,
// then, when they leave it unsaid, why. Always false.
bool Failed(int spxfd, const char* line, FailedStep step = FailedStep::Exchange,
            const ipxAddr_t* called = nullptr, std::chrono::milliseconds waited = {}) {
    Failure f = NoteFailure(spxfd, step);
    if (called != nullptr) {
        f.called = *called;
        f.waited = waited;
    }
    Report(stderr, "%s", line);
    SpxError(spxfd);
    TakeReason(spxfd, f);
    ReportCause(f);
    return false;
}

// Binds spxfd to an address the provider chooses. False when it failed
// (reported).
bool BindEndpoint(int spxfd) {
    ipxAddr_t bindAddress{};
    if (BindAnySocket(spxfd, bindAddress) < 0)
        return Failed(spxfd, "t_bind failed \n");
    if (verbose) {
        Report(stdout, "clients local address: ");
        ShowIpxAddress(bindAddress, AddressForm::Blank);
    }
    return true;
}

// Finds the server's address in the host address file, with the -s
// override applied. False when it is not there (reported).
bool LookUpServer(ipxAddr_t& serversAddress) {
    const char* remoteName = settings.remoteName.data();
    const char* addressFile = settings.addressFile.data();
    if (GetIpxAddress(addressFile, remoteName, &serversAddress) != 0) {
        Report(stderr, "get ipx address of %s from %s failed \n", remoteName, addressFile);
        return false;
    }
    if (settings.destSocket != 0)
        std::memcpy(serversAddress.sock, &settings.destSocket, sizeof serversAddress.sock);
    if (verbose) {
        Report(stdout, "connecting to %s at:  ", remoteName);
        ShowIpxAddress(serversAddress, AddressForm::Connecting);
    }
    return true;
}

// A server that sends nothing and takes nothing for this long is taken for
// gone: the wait that notices it fails, and the run ends with status 2.
constexpr std::chrono::seconds SERVER_SILENCE_LIMIT{120};

// Connects spxfd to serversAddress. False when it failed (reported).
bool Connect(int spxfd, ipxAddr_t& serversAddress) {
    SPX_OPTS serversId{};
    const ipxAddr_t called = serversAddress;
    const auto start = std::chrono::steady_clock::now();
    if (ConnectTo(spxfd, serversAddress, serversId) < 0)
        return Failed(spxfd, "t_connect failed \n", FailedStep::Connect, &called,
                      std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start));
    SetIdleLimit(spxfd, SERVER_SILENCE_LIMIT);
    if (verbose) {
        Report(stdout, "servers IPX address: ");
        ShowIpxAddress(serversAddress, AddressForm::Standard);
        const unsigned connectionId = spx::GetBE16(serversId.spx_connectionID);
        const unsigned allocationNumber = spx::GetBE16(serversId.spx_allocationNumber);
        Report(stdout, "servers connection number:  %04Xh \n", connectionId);
        Report(stdout, "servers allocation number:  %04Xh \n", allocationNumber);
        ShowPaths(stdout, spxfd, "connection");
    }
    return true;
}

// Sends the request record and, for a file, takes the server's status.
// True when the server is ready; false otherwise (reported).
bool Request(int spxfd) {
    receiveFile_t request{};
    if (settings.fileTran) {
        spx::PutBE32(request.spxServPrimType, SERV_RECV_FILE);
        // ParseArgs refused any name that does not fit the field.
        const std::size_t nameLength =
            strnlen(settings.filename.data(), sizeof request.filename - 1);
        std::memcpy(request.filename, settings.filename.data(), nameLength);
        spx::PutBE32(request.newUlimit, settings.newULimit);
        spx::PutBE32(request.permissions, settings.newPermissions);
    } else {
        spx::PutBE32(request.spxServPrimType, SERV_RECV_STDOUT);
    }
    if (t_snd(spxfd, &request, sizeof request, 0) < 0)
        return Failed(spxfd, "t_snd file request failed \n");

    unsigned char status = 0;
    if (settings.fileTran) {
        int flags = 0;
        if (t_rcv(spxfd, &status, 1, &flags) < 0)
            return Failed(spxfd, "t_rcv failed \n");
    }
    if (status != 0) {
        // The server's error number, told in this host's words.
        Report(stderr, "remote open of %s failed \n", request.filename);
        ReportErrno("", status);
        return false;
    }
    return true;
}

// The stream module operations; each reports its failure and returns false
// (the run then ends with -2). Their lines, on success and on failure, are
// fixed output that scripts parse, odd words ("Nasty", "The rotten ...")
// and all: printed in every mode, never tidied.
bool ListModules(int spxfd, const char* failPrefix) {
    const int nummods = spx_ioctl(spxfd, I_LIST, nullptr);
    if (nummods < 0) {
        const int err = errno;
        std::fputs("I_LIST of spxfd failed.\n", stderr);
        ReportErrno(failPrefix, err);
        return false;
    }
    std::printf("# modules = %d\n", nummods);
    return true;
}

// Pops the top module (module nullptr) or pushes module.
bool ChangeModule(int spxfd, const char* module) {
    if (spx_ioctl(spxfd, module == nullptr ? I_POP : I_PUSH, module) >= 0)
        return true;
    const int err = errno;
    if (module == nullptr)
        std::fprintf(stderr, "I_POP of tirdwr failed! errno = %d\n", err);
    else
        std::fprintf(stderr, "I_PUSH of %s failed miserably\n", module);
    ReportErrno(module == nullptr ? "The rotten ..." : "Misery ...", err);
    return false;
}

// Replaces timod by tirdwr, so that the data moves with plain writes.
bool PushReadWrite(int spxfd) {
    std::array<char, FMNAMESZ + 1> jbuf{};
    if (spx_ioctl(spxfd, I_LOOK, jbuf.data()) < 0) {
        const int err = errno;
        std::fputs("I_LOOK of spxfd failed.\n", stderr);
        ReportErrno("Nasty Little I_LOOK", err);
        return false;
    }
    jbuf.back() = '\0';
    std::printf("top module: %s\n", jbuf.data()); // fixed output, as above
    return ListModules(spxfd, "Nasty I_LIST") && ChangeModule(spxfd, nullptr) &&
           ChangeModule(spxfd, "tirdwr") && ListModules(spxfd, "Nasty, Nasty I_LIST");
}

// Puts timod back on top for the end unit and the closing steps.
bool PushTimod(int spxfd) {
    return ListModules(spxfd, "Nasty, Nasty I_LIST") && ChangeModule(spxfd, nullptr) &&
           ChangeModule(spxfd, "timod") && ListModules(spxfd, "Nasty, Nasty I_LIST");
}

// Counts one pass of the data loop that moved n bytes, in verbose mode.
void CountPass(Statistics& st, std::size_t n) {
    if (verbose)
        st.CountPass(n);
}

// The "write: ..." line of every chunk, fixed output that scripts count and
// parse, in every mode. A large file makes a great many of
// them, so they are gathered and put on standard output in large writes
// instead of one write per line: whenever the buffer is full, and before
// anything else is printed on either stream, so every line keeps its place.
class ChunkReports {
  public:
    void Add(int accepted, int tried) {
        if (text_.size() - used_ < LINE_MAX)
            Flush();
        Put("write: #bytes accepted: ");
        Put(accepted);
        Put(", #bytes tried: ");
        Put(tried);
        Put("\n");
    }
    // Like the lines printed one by one, a report that cannot be written is
    // not a failure of the transfer; errno is left as it was.
    void Flush() {
        if (used_ == 0)
            return;
        const int saved = errno;
        std::fflush(stdout); // whatever was printed before goes first
        WriteAll(STDOUT_FILENO, std::string_view(text_.data(), used_));
        used_ = 0;
        errno = saved;
    }

  private:
    // Longer than any line: the text and two numbers of at most 11 characters.
    static constexpr std::size_t LINE_MAX = 64;

    void Put(std::string_view s) {
        std::memcpy(text_.data() + used_, s.data(), s.size());
        used_ += s.size();
    }
    void Put(int n) {
        const auto r = std::to_chars(text_.data() + used_, text_.data() + text_.size(), n);
        used_ = static_cast<std::size_t>(r.ptr - text_.data());
    }

    std::array<char, 64 * 1024> text_;
    std::size_t used_ = 0;
};

ChunkReports chunkReports;

// Reports a failed write on the connection, and why: with "timod" back on
// top (quietly), the disconnect that broke it is taken. Always false.
bool WriteFailed(int spxfd, int err) {
    chunkReports.Flush();
    Report(stderr, "write of file data failed \n");
    ReportErrno("write", err);
    Failure f;
    f.peer = peerName;
    if (spx_ioctl(spxfd, I_POP, nullptr) >= 0 && spx_ioctl(spxfd, I_PUSH, "timod") >= 0)
        TakeReason(spxfd, f);
    ReportCause(f);
    errno = err;
    return false;
}

// Writes one chunk on the connection, going on with the rest after a short
// write; each write is reported. False when a write failed (reported).
bool WriteChunk(int spxfd, std::span<const unsigned char> chunk) {
    while (!chunk.empty()) {
        const ssize_t n = spx_write(spxfd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || static_cast<std::size_t>(n) > chunk.size())
            return WriteFailed(spxfd, n < 0 ? errno : EIO);
        const int bytesAccepted = static_cast<int>(n);
        chunkReports.Add(bytesAccepted, static_cast<int>(chunk.size()));
        chunk = chunk.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Streams the source file in chunks of packetSize until its end. A source
// that is not a regular file (a pipe, a FIFO, a terminal) may keep the next
// read waiting: what was written before goes to the server first, and its
// lines to standard output. False after a failed read or write (reported).
bool SendChunks(int spxfd, int jfd, bool regular, Statistics& st) {
    const std::size_t chunkSize = settings.packetSize; // 1 to 1024: -p is cut to 534
    const std::size_t blockSize = tranbuf.size() / chunkSize * chunkSize;
    for (;;) {
        if (!regular) {
            chunkReports.Flush();
            if (spx_push(spxfd) < 0)
                return WriteFailed(spxfd, EPIPE);
            AwaitSource(jfd, NO_LIMIT); // the read below says what went wrong
        }
        const ssize_t bytesRead = read(jfd, tranbuf.data(), blockSize);
        if (bytesRead < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            chunkReports.Flush();
            Report(stdout, "read of standard in failed \n");
            ReportErrno("", err);
            return false;
        }
        if (bytesRead == 0) {
            CountPass(st, 0);
            return true;
        }
        std::span<const unsigned char> block(tranbuf.data(), static_cast<std::size_t>(bytesRead));
        while (!block.empty()) {
            const auto chunk = block.first(std::min(chunkSize, block.size()));
            if (!WriteChunk(spxfd, chunk))
                return false;
            CountPass(st, chunk.size());
            block = block.subspan(chunk.size());
        }
    }
}

// The data phase: the chunks, and every chunk's line on standard output
// before anything else is printed. False as SendChunks.
bool SendData(int spxfd, int jfd, bool regular, Statistics& st) {
    const bool result = SendChunks(spxfd, jfd, regular, st);
    chunkReports.Flush();
    return result;
}

void ShowStatistics(const Statistics& st) {
    if (!verbose)
        return;
    for (const std::string& line : StatisticsLines(st))
        Report(stdout, "%s", line.c_str()); // fixed output: scripts read these lines
}

// Waits for and takes the server's disconnect.
void TakeDisconnect(int spxfd) {
    if (AwaitEvent(spxfd) < 0) {
        Failed(spxfd, "t_look for disconnect indication failed \n");
        return;
    }
    if (RecieveDisconnect(spxfd) < 0)
        // Fixed output, "recieve" included: scripts read it.
        Report(stderr, "recieve disconnect failed \n");
}

// Waits for the server's end of the connection and takes it, leaving the
// endpoint idle. true when the server released the connection, confirming
// the transfer; false when it ended it any other way (reported).
bool AwaitServerEnd(int spxfd) {
    t_errno = 0;
    const int retval = AwaitEvent(spxfd);
    if (retval < 0) {
        Failed(spxfd, "t_look for disconnect indication failed \n");
        return false;
    }
    if (retval != T_ORDREL) {
        lastDisconnectReason = -1;
        if (RecieveDisconnect(spxfd) < 0)
            // Fixed output, "recieve" included: scripts read it.
            Report(stderr, "recieve disconnect failed \n");
        // Without the release nothing says the data was taken.
        Report(stderr, "transfer not confirmed by the server \n");
        Failure f;
        f.peer = peerName;
        f.reason = lastDisconnectReason;
        if (retval == 0) { // the wait ran out
            f.terrno = TSYSERR, f.err = ETIMEDOUT, f.limit = silenceLimitName;
            f.waited = SERVER_SILENCE_LIMIT;
        }
        ReportCause(f);
        return false;
    }
    if (t_rcvrel(spxfd) < 0) {
        Failed(spxfd, "t_rcvrel failed \n");
        return false;
    }
    // The server stores a file, releases and goes; the output copy waits
    // for our release before it ends.
    if (!settings.fileTran && t_sndrel(spxfd) < 0) {
        Failed(spxfd, "t_sndrel failed \n");
    }
    if (t_getstate(spxfd) != T_IDLE)
        TakeDisconnect(spxfd);
    return true;
}

// The transfer from the bound endpoint on; jfd receives the source file.
RunEnd Transfer(int spxfd, int& jfd) {
    ipxAddr_t serversAddress{};
    if (!LookUpServer(serversAddress) || !Connect(spxfd, serversAddress))
        return RunEnd::NotConfirmed;
    // The source is opened, and known to be no directory, before the request
    // goes out: a request for a file the client then cannot send would
    // truncate the remote file.
    jfd = open(settings.sourcefile.data(), O_RDONLY | O_CLOEXEC);
    struct stat source {};
    const bool directory = jfd >= 0 && fstat(jfd, &source) == 0 && S_ISDIR(source.st_mode);
    if (directory)
        errno = EISDIR;
    if (jfd < 0 || directory) {
        // Fixed output, as scripts read it.
        ReportErrno("Can't open sourcefile", errno);
        return RunEnd::SourceUnopened;
    }
    if (!Request(spxfd))
        return RunEnd::NotConfirmed;

    Statistics st;
    errno = 0;
    st.beginTime = std::time(nullptr);

    if (!PushReadWrite(spxfd))
        return RunEnd::ModuleFailed;
    if (!SendData(spxfd, jfd, S_ISREG(source.st_mode), st))
        return RunEnd::NotConfirmed;
    st.endTime = std::time(nullptr);
    if (!PushTimod(spxfd))
        return RunEnd::ModuleFailed;

    // A pause of one second before the end unit, which the client has always
    // made: fixed behaviour that the timing of callers and scripts knows.
    sleep(1);
    if (t_snd(spxfd, tranbuf.data(), 0, 0) < 0) {
        Failed(spxfd, "t_snd EOF failed \n");
        return RunEnd::NotConfirmed;
    }
    ShowStatistics(st);
    return AwaitServerEnd(spxfd) ? RunEnd::Confirmed : RunEnd::NotConfirmed;
}

} // namespace

int main(int argc, char* argv[]) {
    OpenStandardDescriptors();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    SetReportStyle(ReportStyle::Client);
    silenceLimitName = "silence limit";

    SetTitle(argc > 0 && argv[0] != nullptr ? argv[0] : "varnel");
    if (ShowVersion(argc, argv, "varnel"))
        return 0;
    switch (ParseArgs(argc, argv, settings)) {
    case ArgsResult::Ok:
        break;
    case ArgsResult::Usage:
        ShowOptions();
        return 1;
    case ArgsResult::UlimitWithoutName:
    case ArgsResult::Refused:
        return 1;
    }
    verbose = settings.verbose;
    if (settings.remoteName[0] == '\0') {
        ShowOptions();
        return 1;
    }
    if (verbose)
        // Fixed output, as the address and number lines below: scripts read them.
        Report(stdout, "packet data size %d\n", static_cast<int>(settings.packetSize));

    struct t_info spxInfo {};
    const int spxfd = t_open(spxDevice, O_RDWR, &spxInfo);
    if (spxfd < 0) {
        Report(stderr, "open of %s failed \n", spxDevice);
        SpxError(spxfd);
        return -1;
    }
    int jfd = -1;
    const RunEnd end = BindEndpoint(spxfd) ? Transfer(spxfd, jfd) : RunEnd::NotConfirmed;
    if (end == RunEnd::SourceUnopened)
        return -1;
    if (end == RunEnd::ModuleFailed)
        return -2;

    // Closing steps, whatever state the endpoint is in.
    if (t_unbind(spxfd) < 0) {
        Failed(spxfd, "t_unbind failed \n");
    }
    if (t_close(spxfd) < 0) {
        Failed(spxfd, "t_close failed \n");
    }
    int status = 0;
    if (jfd >= 0 && close(jfd) != 0)
        status = -1;
    return end == RunEnd::Confirmed ? status : 2;
}
