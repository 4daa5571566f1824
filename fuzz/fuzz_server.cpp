// Fuzz target for varneld's readers: a request unit (odd first byte) or the run-id file.
#include <algorithm>
#include <cstring>
#include <sstream>

#include "check.h"
#include "identity.h"
#include "request.h"

static void Unit(std::string_view in) {
    using enum RequestKind;
    const Request r = DecodeRequest({reinterpret_cast<const unsigned char*>(in.data()), in.size()});
    std::array<unsigned char, SPX_MAX_DATA> u{}; // the bytes not carried read as zeros
    const std::size_t size = in.copy(reinterpret_cast<char*>(u.data()), SPX_MAX_DATA);
    const auto be32 = [&](std::size_t i) {
        return std::uint32_t{u[i]} << 24 | u[i + 1] << 16 | u[i + 2] << 8 | u[i + 3];
    };
    const std::pair<RequestKind, std::size_t> services[] = {
        {SendFile, 80}, {RunCommand, 100}, {CopyOutput, 0}, {StoreFile, 80}, {Unrecognized, 0}};
    const auto [kind, width] =
        size < 4 ? std::pair(TooSmall, 0UL) : services[std::min(be32(0) - 0xFC, std::uint32_t{4})];
    const std::string_view field(reinterpret_cast<const char*>(&u[4]), width);
    const std::string_view name = field.substr(0, field.find('\0'));
    const std::size_t arrived = std::clamp<std::size_t>(size, 4, 4 + width) - 4; // of the field
    // A unit read past 534 bytes or taken for a service its code does not name; a text
    // left open, ended by the zero fill, or a name or number read past its field.
    CHECK(r.size == size && r.command == (size < 4 ? 0 : be32(0)) && r.kind == kind);
    CHECK(std::memchr(r.text.data(), 0, r.text.size()) != nullptr);
    CHECK(r.terminated == (name.size() < arrived) && r.Text() == name.substr(0, 99));
    CHECK(r.cut == (!r.terminated && arrived < width));
    CHECK(r.newUlimit == (kind == StoreFile ? be32(84) : 0));
    CHECK(r.permissions == (kind == StoreFile ? be32(92) : 0));
}

static void RunIdFile(std::string_view text) {
    std::string word; // the first white-space delimited word
    std::istringstream(std::string(text)) >> word;
    const std::string name = word.substr(0, word.find('\0'));
    std::array<char, RUN_NAME_SIZE> read;
    read.fill('#');
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    const bool ok = ReadRunName(file, read);
    std::fclose(file);
    // A long name cut to another account's; a name read past its field or left open.
    CHECK(ok == (!word.empty() && name.size() < RUN_NAME_SIZE));
    CHECK(word.empty() || (std::memchr(read.data(), 0, RUN_NAME_SIZE) &&
                           read.data() == name.substr(0, RUN_NAME_SIZE - 1)));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0)
        (data[0] % 2 != 0 ? Unit : RunIdFile)({reinterpret_cast<const char*>(data) + 1, size - 1});
    return 0;
}
