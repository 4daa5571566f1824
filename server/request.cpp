// The service child's request: one unit of at most 534 bytes, received into
// a zero-filled buffer and dispatched on its big-endian command code. Also
// the child's abortive end, which every service may take.
#include "request.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "services.h"
#include "spxproto.h"
#include "spxsupport.h"

namespace {

// The printable part of a fixed-size, possibly unterminated name field.
int FieldLength(std::span<const char> field) {
    return static_cast<int>(strnlen(field.data(), field.size()));
}

} // namespace

void ServeRequest(int spxFd2) {
    std::array<unsigned char, SPX_MAX_DATA> dataBuffer{};
    int flags = 0;
    const int received = t_rcv(spxFd2, dataBuffer.data(), dataBuffer.size(), &flags);
    if (received < 0) {
        std::fprintf(stderr, "%s %d: t_rcv command failed \n", titleStr, idno);
        SpxError(spxFd2);
        Abort(spxFd2);
    }
    const unsigned bytesRcvd = static_cast<unsigned>(received);
    if (bytesRcvd < 4) {
        std::fprintf(stderr, "%s %d: size of command too small %d \n", titleStr, idno, received);
        Abort(spxFd2);
    }

    // The command code goes back into the buffer in host order; the rest of
    // the record stays as received (zeros beyond what arrived).
    const std::uint32_t command = spx::GetBE32(std::span(dataBuffer).first<4>());
    std::memcpy(dataBuffer.data(), &command, sizeof command);

    const DataBuffer buffer{dataBuffer};
    switch (command) {
    case SERV_SEND_FILE:
        SendFile(spxFd2, buffer, flags);
    case SERV_RSH:
        RemoteShell(spxFd2, buffer, flags);
    case SERV_RECV_STDOUT:
        ReceiveStdout(spxFd2, buffer, flags);
    case SERV_RECV_FILE: {
        receiveFile_t request;
        std::memcpy(&request, dataBuffer.data(), sizeof request);
        if (ReceiveFile(spxFd2, &request) == 0)
            std::exit(0);
        std::printf("%s %d: recieve file %.*s failed \n", titleStr, idno,
                    FieldLength(request.filename), request.filename);
        Abort(spxFd2);
    }
    default:
        std::printf("%s %d: unrecognized command 0x%08X \n", titleStr, idno,
                    static_cast<unsigned>(command));
        Abort(spxFd2);
    }
}

// Ends the child abortively: the client sees a disconnect indication.
void Abort(int spxFd2) {
    std::fprintf(stderr, "in abort\n");
    if (t_snddis(spxFd2, nullptr) < 0) {
        std::printf("%s %d: abortive t_snddis failed \n\t", titleStr, idno);
        SpxError(spxFd2);
    }
    std::exit(0);
}
