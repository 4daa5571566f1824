#include "hostfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "spxsupport.h"
#include "varnel.h"

int GetHostAddress(const char* hostFile, const char* hostName, ipxAddr_t& addr) {
    FILE* fp = std::fopen(hostFile, "re");
    if (fp == nullptr) {
        std::fprintf(stderr, "%s: cannot open host address file %s: %s\n", titleStr, hostFile,
                     std::strerror(errno));
        return -1;
    }
    const int found = FindHostRecord(fp, hostName, addr);
    const bool readError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (found == 0)
        return 0;
    if (readError)
        std::fprintf(stderr, "%s: read of host address file %s failed\n", titleStr, hostFile);
    else
        std::fprintf(stderr, "%s: couldn't find remote name %s in %s\n", titleStr, hostName,
                     hostFile);
    return -1;
}
