// varnel gathers the line it prints for every chunk into large writes of
// standard output. These tests hold it to the line-by-line output it
// replaces.
#include <algorithm>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace harness;

const std::string kVarnel = Bin("varnel").string();

std::string ChunkLine(std::size_t n) {
    return "write: #bytes accepted: " + std::to_string(n) + ", #bytes tried: " + std::to_string(n) +
           "\n";
}

// Where two long texts part, for a readable failure.
::testing::AssertionResult SameText(const std::string& got, const std::string& want) {
    if (got == want)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    const std::size_t from = at < 80 ? 0 : at - 80;
    return ::testing::AssertionFailure()
           << "got " << got.size() << " bytes, want " << want.size() << "; they part at " << at
           << " after:\n"
           << got.substr(from, at - from) << "\ngot next: " << got.substr(at, 80)
           << "\nwant next: " << want.substr(at, 80);
}

// Lines lost, cut or reordered where the gathering buffer fills: thousands
// of chunk lines (several buffers full) must come out whole, in order, and
// between the module lines printed before and after the data.
TEST(ClientLines, EveryChunkLineWholeAndInOrderAcrossManyBuffers) {
    Daemon d;
    TempDir here;
    WriteFile(here / "yellowpages", HostRecord("server", d.port()));
    const std::size_t size = 3 * 1024 * 1024;
    const std::string data = Pattern(size, 21);
    WriteFile(here / "in.bin", data);

    const Result r =
        harness::Run({kVarnel, "-r", "server", "-p", "534", "-j", "in.bin", "-f", "out.bin"},
                     Options{here.path(), std::nullopt});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    std::string want = "top module: timod\n# modules = 2\n# modules = 2\n";
    for (std::size_t left = size; left > 0; left -= std::min<std::size_t>(left, 534))
        want += ChunkLine(std::min<std::size_t>(left, 534));
    want += "# modules = 2\n# modules = 2\n";
    EXPECT_TRUE(SameText(r.out, want));
    EXPECT_TRUE(ReadFile(d.dir() / "out.bin") == data);
}

} // namespace
