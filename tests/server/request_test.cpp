// The request decoder: the bytes of one request unit in, the request out.
#include <cstdio>

#include "peer.h"
#include "request.h"

namespace {

using namespace std::string_literals;
using peer::BE, peer::Record;

// What the decoder made of bytes, in one line: kind, size, command in hex; the
// name field, [terminated] or <cut>; the limit and the octal mode of a store.
std::string Decoded(const std::string& bytes) {
    const Request r =
        DecodeRequest({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
    const char* const kinds[] = {"small", "unknown", "send", "run", "copy", "store"};
    char head[64], store[32];
    std::snprintf(head, sizeof head, "%s %zu %X", kinds[int(r.kind)], r.size, r.command);
    std::snprintf(store, sizeof store, " %u %o", r.newUlimit, r.permissions);
    const bool named = r.kind == RequestKind::SendFile || r.kind == RequestKind::RunCommand ||
                       r.kind == RequestKind::StoreFile;
    const std::string text = (r.terminated ? " [" : " <") + r.Shown() + (r.terminated ? "]" : ">");
    return head + (named ? text : "") + (r.kind == RequestKind::StoreFile ? store : "");
}

// A request read with the wrong kind, size, byte order or text, past its field, or shown raw.
TEST(DecodeRequest, Table) {
    const std::string fields = BE(4096, 4) + "\x12\x34\x56\x78"s + BE(0600, 4);
    const std::string n80(80, 'n'), c100(100, 'c');
    const std::pair<std::string, std::string> rows[] = {
        {"", "small 0 0"},
        {"\0\0\xFF"s, "small 3 0"}, // no room for a command code
        {BE(1, 4) + "name", "unknown 8 1"},
        {"\xFF\0\0\0"s, "unknown 4 FF000000"}, // a little-endian sender
        {BE(0xFF, 4), "store 4 FF [] 0 0"},    // the rest reads as zeros
        {Record(0xFF, "out.txt", 80, fields), "store 96 FF [out.txt] 4096 600"},
        {Record(0xFE, "", 80, fields), "copy 96 FE"},
        {Record(0xFC, "some/file", 80), "send 84 FC [some/file]"},
        {Record(0xFD, "ls -l | wc", 100), "run 104 FD [ls -l | wc]"},
        {Record(0xFC, "a\nb\\\x7F\xFF", 80), "send 84 FC [a\\012b\\\\\\177\\377]"}, // log lines
        // An unterminated field is cut to fit, never read past its end.
        {Record(0xFF, n80, 80, "AAAA"), "store 88 FF <" + n80 + "> 1094795585 0"},
        {Record(0xFC, n80, 80, "zzzz"), "send 88 FC <" + n80 + ">"},
        {Record(0xFD, c100, 100, "more"), "run 108 FD <" + c100.substr(1) + ">"},
        // Bytes beyond the largest unit are not part of the request.
        {Record(0xFD, "true", 100) + std::string(1000, 'x'), "run 534 FD [true]"},
    };
    for (const auto& [bytes, decoded] : rows)
        EXPECT_EQ(Decoded(bytes), decoded);
}

} // namespace
