// Fuzz target for varneld's readers: a request unit (odd first byte) or the run-id file.
#include <algorithm>
#include <cstring>

#include "check.h"
#include "identity.h"
#include "request.h"

// Hostile request bytes: every read stays inside the unit and the record (the sanitizers
// watch), and the request is bounded whatever the bytes. What each kind of unit decodes to is
// the table of Pure.DecodeRequest.
static void Unit(std::string_view in) {
    const Request r = DecodeRequest({reinterpret_cast<const unsigned char*>(in.data()), in.size()});
    CHECK(r.size == std::min<std::size_t>(in.size(), SPX_MAX_DATA));
    CHECK(std::memchr(r.text.data(), 0, r.text.size()) != nullptr && !(r.terminated && r.cut));
    CHECK(r.Shown().size() <= 4 * r.Text().size());
}

// Hostile run-id files: the name stays inside its field and ends in it. What a file reads as is
// a table of Store.WhatIsStoredAndTheStatus.
static void RunIdFile(std::string_view text) {
    std::array<char, RUN_NAME_SIZE> read;
    read.fill('#');
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    const bool ok = ReadRunName(file, read);
    std::fclose(file);
    CHECK(!ok || std::memchr(read.data(), 0, RUN_NAME_SIZE));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0)
        (data[0] % 2 != 0 ? Unit : RunIdFile)({reinterpret_cast<const char*>(data) + 1, size - 1});
    return 0;
}
