#include "request.h"

#include <algorithm>

#include <spx/byteorder.h>

namespace {

// Copies the name field of N bytes at offset of the record into request:
// its text up to the terminator, or its first bytes cut to fit. Only a
// terminator among the bytes received ends the text.
template <std::size_t N>
void TakeText(std::span<const unsigned char, SPX_MAX_DATA> record, std::size_t offset,
              Request& request) {
    const auto field = record.subspan(offset, N);
    const std::size_t arrived = std::clamp(request.size, offset, offset + N) - offset;
    const auto carried = field.first(arrived);
    const auto end = std::find(carried.begin(), carried.end(), 0);
    const auto length = static_cast<std::size_t>(end - carried.begin());
    const std::size_t kept = std::min(length, request.text.size() - 1);
    std::copy_n(field.begin(), kept, request.text.begin());
    request.text[kept] = '\0';
    request.terminated = length < arrived;
    request.cut = !request.terminated && arrived < N;
}

} // namespace

std::string Request::Shown() const {
    std::string shown;
    for (const char c : Text()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            shown += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
        } else {
            const char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                                  static_cast<char>('0' + ((byte >> 3) & 7)),
                                  static_cast<char>('0' + (byte & 7))};
            shown.append(octal, sizeof octal);
        }
    }
    return shown;
}

Request DecodeRequest(std::span<const unsigned char> unit) {
    Request request;
    // The record as a zero-filled buffer: fields the unit did not carry
    // read as zeros.
    std::array<unsigned char, SPX_MAX_DATA> record{};
    request.size = std::min(unit.size(), record.size());
    std::copy_n(unit.begin(), request.size, record.begin());
    if (request.size < 4)
        return request;

    const std::span<const unsigned char, SPX_MAX_DATA> r{record};
    request.command = spx::GetBE32(r.first<4>());
    switch (request.command) {
    case SERV_SEND_FILE:
        request.kind = RequestKind::SendFile;
        TakeText<sizeof(sendFile_t::fileName)>(r, offsetof(sendFile_t, fileName), request);
        break;
    case SERV_RSH:
        request.kind = RequestKind::RunCommand;
        TakeText<sizeof(rshData_t::command)>(r, offsetof(rshData_t, command), request);
        break;
    case SERV_RECV_STDOUT:
        request.kind = RequestKind::CopyOutput;
        break;
    case SERV_RECV_FILE:
        request.kind = RequestKind::StoreFile;
        TakeText<sizeof(receiveFile_t::filename)>(r, offsetof(receiveFile_t, filename), request);
        request.newUlimit = spx::GetBE32(r.subspan<offsetof(receiveFile_t, newUlimit), 4>());
        request.permissions = spx::GetBE32(r.subspan<offsetof(receiveFile_t, permissions), 4>());
        break;
    default:
        request.kind = RequestKind::Unrecognized;
        break;
    }
    return request;
}
