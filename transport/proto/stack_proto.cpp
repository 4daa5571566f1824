// Records between the TLI library and the IPX stack: their heads, their
// limits and their fixed bodies.
#include "stack_proto.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include <spx/byteorder.h>

namespace spx::stack {

namespace {

struct Limits {
    std::size_t min = 0, max = 0;
};

// The body a primitive may have; min == max == 0 and a zero body for the
// empty ones; {1, 0} (nothing fits) for a number that is no primitive.
constexpr Limits LimitsOf(std::uint8_t prim) {
    switch (static_cast<Prim>(prim)) {
    case Prim::Hello:
        return {8, 8};
    case Prim::BindReq:
    case Prim::BindAck:
    case Prim::ConnRes:
    case Prim::DisconReq:
        return {4, 4};
    case Prim::ConnReq:
        return {16, 16};
    case Prim::DataReq:
    case Prim::DataInd:
        return {0, MAX_DATA};
    case Prim::OrdrelReq:
    case Prim::InfoReq:
    case Prim::OkAck:
    case Prim::OrdrelInd:
        return {0, 0};
    case Prim::ErrorAck:
    case Prim::DisconInd:
        return {4, MAX_CONTROL};
    case Prim::ConnInd:
        return {4 + sizeof(Path), 4 + sizeof(Path)};
    case Prim::ConnCon:
    case Prim::ConnResAck:
        return {sizeof(Path), sizeof(Path)};
    case Prim::InfoAck:
        return {0, MAX_CONTROL};
    }
    return {1, 0};
}

constexpr std::size_t NOT_A_RECORD = std::numeric_limits<std::size_t>::max();

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return GetBE16(b.subspan(at).first<2>());
}

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
    return GetBE32(b.subspan(at).first<4>());
}

std::vector<std::uint8_t> CodeAndText(int code, int second, std::string_view text) {
    const std::size_t n = std::min(text.size(), MAX_CONTROL - 4);
    std::vector<std::uint8_t> body(4 + n);
    PutBE16(std::span(body).first<2>(), static_cast<std::uint16_t>(code));
    PutBE16(std::span(body).subspan(2).first<2>(), static_cast<std::uint16_t>(second));
    std::copy_n(text.begin(), n, body.begin() + 4);
    return body;
}

std::string_view TextOf(std::span<const std::uint8_t> body, std::size_t from) {
    const auto rest = body.subspan(from);
    return {reinterpret_cast<const char*>(rest.data()), rest.size()};
}

} // namespace

Decoded DecodeRecord(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof(Head))
        return {};
    const std::uint32_t length = Get32(bytes, 4);
    const Limits limits = LimitsOf(bytes[0]);
    if (bytes[2] != 0 || bytes[3] != 0 || length < limits.min || length > limits.max)
        return {std::nullopt, NOT_A_RECORD};
    if (bytes.size() - sizeof(Head) < length)
        return {};
    return {Record{static_cast<Prim>(bytes[0]), bytes[1], bytes.subspan(sizeof(Head), length)},
            sizeof(Head) + length};
}

Head MakeHead(Prim prim, std::uint8_t flags, std::size_t bodyLength) {
    Head h{};
    h.prim = static_cast<std::uint8_t>(prim);
    h.flags = flags;
    PutBE32(h.length, static_cast<std::uint32_t>(bodyLength));
    return h;
}

void AppendRecord(std::vector<std::uint8_t>& out, Prim prim, std::uint8_t flags,
                  std::span<const std::uint8_t> body) {
    const Head h = MakeHead(prim, flags, body.size());
    const auto* head = reinterpret_cast<const std::uint8_t*>(&h);
    out.insert(out.end(), head, head + sizeof h);
    out.insert(out.end(), body.begin(), body.end());
}

std::array<std::uint8_t, 8> HelloBody() {
    std::array<std::uint8_t, 8> b{};
    std::copy(MAGIC.begin(), MAGIC.end(), b.begin());
    PutBE16(std::span(b).subspan<4, 2>(), VERSION);
    return b;
}

std::optional<std::uint16_t> ReadHello(std::span<const std::uint8_t> body) {
    if (body.size() < 8 || !std::equal(MAGIC.begin(), MAGIC.end(), body.begin()))
        return std::nullopt;
    return Get16(body, 4);
}

std::array<std::uint8_t, 4> BindBody(std::uint16_t socket, std::uint16_t qlen) {
    std::array<std::uint8_t, 4> b{};
    PutBE16(std::span(b).first<2>(), socket);
    PutBE16(std::span(b).last<2>(), qlen);
    return b;
}

std::array<std::uint8_t, 16> ConnReqBody(const ipxAddr_t& to, std::uint16_t socket) {
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), &to, sizeof to);
    PutBE16(std::span(b).subspan<12, 2>(), socket);
    return b;
}

std::array<std::uint8_t, 4> SequenceBody(std::uint32_t sequence) {
    std::array<std::uint8_t, 4> b{};
    PutBE32(b, sequence);
    return b;
}

std::optional<std::uint32_t> ReadSequence(std::span<const std::uint8_t> body) {
    if (body.size() < 4)
        return std::nullopt;
    return Get32(body, 0);
}

std::optional<Path> ReadPath(std::span<const std::uint8_t> body) {
    if (body.size() < sizeof(Path))
        return std::nullopt;
    Path p{};
    std::memcpy(&p, body.data(), sizeof p);
    p.interface[sizeof p.interface - 1] = '\0';
    return p;
}

std::vector<std::uint8_t> ErrorBody(int terr, int err, std::string_view detail) {
    return CodeAndText(terr, err, detail);
}

std::optional<ErrorInfo> ReadError(std::span<const std::uint8_t> body) {
    if (body.size() < 4)
        return std::nullopt;
    return ErrorInfo{Get16(body, 0), Get16(body, 2), TextOf(body, 4)};
}

std::vector<std::uint8_t> DisconBody(int reason, std::string_view detail) {
    return CodeAndText(reason, 0, detail);
}

std::optional<DisconInfo> ReadDiscon(std::span<const std::uint8_t> body) {
    if (body.size() < 4)
        return std::nullopt;
    return DisconInfo{Get16(body, 0), TextOf(body, 4)};
}

} // namespace spx::stack
