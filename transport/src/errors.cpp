#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include <spx/tiuser.h>

#include "carrier.h"

int t_errno = 0;

namespace {

constexpr const char* kTexts[] = {
    "Error 0",
    "Incorrect address format",
    "Incorrect options format",
    "Illegal permissions",
    "Illegal file descriptor",
    "Couldn't allocate address",
    "Routine will place interface out of state",
    "Illegal called/calling sequence number",
    "System error",
    "An event requires attention",
    "Illegal amount of data",
    "Buffer not large enough",
    "Can't send message - (blocking)",
    "No message currently available",
    "Disconnect message not found",
    "Unitdata error message not found",
    "Incorrect flags specified",
    "Orderly release message not found",
    "Primitive not supported by provider",
    "State is in process of changing",
    "Unsupported structure type requested",
    "Invalid transport provider name",
    "Listener queue length limit is zero",
    "Transport address is in use",
};

// What a carrier said about the last failure, beyond t_errno.
std::string& Detail() {
    static auto* detail = new std::string;
    return *detail;
}

} // namespace

namespace spx {

void SetErrorDetail(std::string_view text) {
    Detail().assign(text);
}
void ClearErrorDetail() {
    Detail().clear();
}

} // namespace spx

const char* spx_detail(void) {
    return Detail().c_str();
}

const char* t_strerror(int errnum) {
    if (errnum < 0 || static_cast<std::size_t>(errnum) >= std::size(kTexts))
        return "Unknown error";
    return kTexts[errnum];
}

void t_error(const char* msg) {
    const int sysErr = errno;
    if (msg != nullptr && *msg != '\0')
        std::fprintf(stderr, "%s: ", msg);
    if (t_errno == TSYSERR && !Detail().empty())
        std::fprintf(stderr, "%s\n", Detail().c_str());
    else if (t_errno == TSYSERR)
        std::fprintf(stderr, "%s: %s\n", t_strerror(t_errno), std::strerror(sysErr));
    else
        std::fprintf(stderr, "%s\n", t_strerror(t_errno));
    errno = sysErr;
}
