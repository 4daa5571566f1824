#include "path.h"

#include <cstring>

#include <spx/byteorder.h>

#include "spxsupport.h"

std::string IpxAddressText(const ipxAddr_t& a) {
    char text[40];
    std::snprintf(text, sizeof text, "%08Xh %02X%02X%02X%02X%02X%02Xh %04Xh", spx::GetBE32(a.net),
                  a.node[0], a.node[1], a.node[2], a.node[3], a.node[4], a.node[5],
                  static_cast<unsigned>(spx::GetBE16(a.sock)));
    return text;
}

namespace {

std::string InetText(unsigned int ip, unsigned short port) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u port %u", ip >> 24, ip >> 16 & 0xFF,
                  ip >> 8 & 0xFF, ip & 0xFF, static_cast<unsigned>(port));
    return text;
}

} // namespace

std::string PathLine(std::string_view what, const spx_path& path) {
    const bool ipx = path.carrier == SPX_CARRIER_IPX;
    std::string line(what);
    if (ipx && path.interface[0] == '\0' && path.connected == 0) // a listener through the stack
        return line + " over IPX on every interface of the stack: socket " +
               IpxAddressText(path.local).substr(24);
    line += ipx ? " over IPX on " : " over TCP";
    if (ipx)
        line.append(path.interface, strnlen(path.interface, sizeof path.interface));
    line += ": local ";
    line += ipx ? IpxAddressText(path.local) : InetText(path.localInet, path.localPort);
    if (path.connected != 0)
        line +=
            ", peer " + (ipx ? IpxAddressText(path.peer) : InetText(path.peerInet, path.peerPort));
    return line;
}

void ShowPaths(std::FILE* stream, int fd, std::string_view what) {
    spx_path path{};
    for (unsigned int i = 0; spx_getpath(fd, i, &path) == 0; ++i)
        Report(stream, "%s\n", PathLine(what, path).c_str());
}
