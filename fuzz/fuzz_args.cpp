// Fuzz target for varnel's command line: the input is the argument list
// (arguments separated by NUL bytes), parsed by the real ParseArgs.
//
// Checked: every setting stays inside its field, whatever the arguments; an
// accepted command line has a remote name that fits the request record, a
// packet size from 1 to 534 (or the default 1024) and a file-size limit
// only for a file transfer; and parsing the same command line twice
// from the starting settings gives the same settings (the option parser
// starts afresh every time).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "spxproto.h"
#include "spxsupport.h"
#include "varnel.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_args: %s\n", what);
        std::abort();
    }
}

struct Settings {
    std::string remoteName, sourcefile, filename, addressFile;
    int fileTran;
    std::uint32_t newULimit, newPermissions, packetSize;
    unsigned short destSocket;
    int verbose;
    bool operator==(const Settings&) const = default;
};

template <std::size_t N> std::string Field(const char (&f)[N], const char* what) {
    const std::size_t n = strnlen(f, N);
    Check(n < N, what);
    return std::string(f, n);
}

Settings Take() {
    return {Field(remoteName, "remoteName unterminated"),
            Field(sourcefile, "sourcefile unterminated"),
            Field(filename, "filename unterminated"),
            Field(addressFile, "addressFile unterminated"),
            fileTran,
            newULimit,
            newPermissions,
            packetSize,
            destSocket,
            verbose};
}

ArgsResult Parse(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args; // getopt reorders what it is given
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ResetSettings();
    return ParseArgs(static_cast<int>(argv.size() - 1), argv.data(), CLIENT_OPTIONS);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    SetTitle("varnel");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"varnel"};
    std::string cur;
    for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == '\0') {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    if (!cur.empty() && args.size() < 64)
        args.push_back(cur);

    // The refusals' messages go nowhere.
    FILE* const savedErr = stderr;
    static FILE* const devNull = std::fopen("/dev/null", "w");
    stderr = devNull;
    const ArgsResult first = Parse(args);
    const Settings once = Take();
    const ArgsResult second = Parse(args);
    const Settings twice = Take();
    stderr = savedErr;

    Check(first == second && once == twice, "the same command line parsed differently");
    if (first != ArgsResult::Ok)
        return 0;
    Check(once.filename.size() <= REQUEST_NAME_MAX, "remote name too long for the request");
    Check(once.packetSize == DEFAULT_PACKET_SIZE ||
              (once.packetSize >= 1 && once.packetSize <= SPX_MAX_DATA),
          "packet size out of range");
    Check(once.newULimit == 0 || once.fileTran == 1, "file-size limit without a remote file");
    return 0;
}
