// The run-as identity of a service child: the account named by the first
// word of "./.spxrunid", or without that file "spxhost", else "guest".
#include "identity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "spxsupport.h"

namespace {

const char* const runNameFile = "./.spxrunid";

// What the switch needs of an account, copied out of the password database's
// static record. 0 when found; ENOENT when the database has no such account
// (getpwnam's "not found": errno 0, ENOENT, ESRCH, EBADF or EPERM); any other
// error number when the lookup itself failed (an unreachable name service,
// an unreadable file), which says nothing about the account.
int LookUp(const char* name, Account& account) {
    errno = 0;
    const passwd* pw = getpwnam(name);
    if (pw == nullptr) {
        const int err = errno;
        const bool none = err == 0 || err == ENOENT || err == ESRCH || err == EBADF || err == EPERM;
        return none ? ENOENT : err;
    }
    account.name = pw->pw_name;
    account.uid = pw->pw_uid;
    account.gid = pw->pw_gid;
    account.home = pw->pw_dir;
    account.shell = pw->pw_shell[0] != '\0' ? pw->pw_shell : "/bin/sh";
    return 0;
}

// Reports a lookup of name that failed with the error number err.
void LookUpFailed(const char* name, int err) {
    std::printf("%s %d: lookup of %s failed \n", titleStr, idno, name);
    errno = err;
    std::perror("");
}

// The account of the last switch that succeeded.
Account switched;

} // namespace

const Account& SwitchedAccount() {
    return switched;
}

bool ReadRunName(FILE* file, std::array<char, RUN_NAME_SIZE>& runName) {
    std::array<char, RUN_NAME_SIZE + 1> word{};
    if (std::fscanf(file, "%80s", word.data()) != 1)
        return false;
    const std::size_t length = strnlen(word.data(), word.size());
    const std::size_t kept = length < runName.size() ? length : runName.size() - 1;
    std::memcpy(runName.data(), word.data(), kept);
    runName[kept] = '\0';
    if (length >= RUN_NAME_SIZE) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

namespace {

// Opens the run-id file for reading and update, or for reading alone when it
// may not be written (a read-only mount, an immutable file). nullptr (errno
// set) when it cannot be read; missing is set when nothing at all is there
// by that name (a link to nothing is something).
FILE* OpenRunIdFile(bool& missing) {
    FILE* file = std::fopen(runNameFile, "r+te");
    struct stat st {};
    missing = file == nullptr && lstat(runNameFile, &st) != 0 && errno == ENOENT;
    if (file == nullptr && !missing)
        file = std::fopen(runNameFile, "re");
    return file;
}

// Gives up the daemon's identity for account's: supplementary groups (only
// a privileged process can set them), group id, user id, in that order, and
// then makes sure the old identity cannot come back.
bool SwitchTo(const Account& account, const char* shownName) {
    const bool privileged = geteuid() == 0;
    if ((privileged && initgroups(account.name.c_str(), account.gid) != 0) ||
        setgid(account.gid) != 0) {
        std::printf("%s %d: failure setting gid for %s \n", titleStr, idno, shownName);
        std::perror("");
        return false;
    }
    if (setuid(account.uid) != 0) {
        std::printf("%s %d: failure setting uid for %s \n", titleStr, idno, shownName);
        std::perror("");
        return false;
    }
    const bool switched = getuid() == account.uid && geteuid() == account.uid &&
                          getgid() == account.gid && getegid() == account.gid;
    const bool regained = privileged && account.uid != 0 && setuid(0) == 0;
    if (!switched || regained) {
        errno = EPERM;
        std::printf("%s %d: failure setting uid for %s \n", titleStr, idno, shownName);
        std::perror("");
        return false;
    }
    return true;
}

} // namespace

int SetEffectiveRunId() {
    std::array<char, RUN_NAME_SIZE> runName{};
    Account account;

    setpwent();
    bool missing = false;
    FILE* file = OpenRunIdFile(missing);
    if (file == nullptr && !missing) {
        // There but unreadable: never serve under a fallback nobody chose.
        const int err = errno;
        std::printf("%s %d: open of %s failed \n", titleStr, idno, runNameFile);
        errno = err;
        std::perror("");
        endpwent();
        return 0;
    }
    if (file == nullptr) {
        // Only a missing account moves on to the next: a failed lookup could
        // pass over an account that is there.
        const char* name = "spxhost";
        int lookup = LookUp(name, account);
        if (lookup == ENOENT)
            lookup = LookUp(name = "guest", account);
        if (lookup != 0) {
            if (lookup == ENOENT)
                std::printf("%s %d: no valid idname found - exiting\n", titleStr, idno);
            else
                LookUpFailed(name, lookup);
            endpwent();
            return 0;
        }
    } else {
        if (!ReadRunName(file, runName)) {
            std::printf("%s %d: error reading name %s from %s file \n", titleStr, idno,
                        runName.data(), runNameFile);
            std::perror("");
            std::fclose(file);
            endpwent();
            return 0;
        }
        if (const int lookup = LookUp(runName.data(), account); lookup != 0) {
            if (lookup == ENOENT)
                std::printf("%s %d: error getting passwd entry for %s\n", titleStr, idno,
                            runName.data());
            else
                LookUpFailed(runName.data(), lookup);
            std::fclose(file);
            endpwent();
            return 0;
        }
        std::fclose(file);
    }

    // The messages name the account as the file gave it, or the fallback.
    const char* shownName = runName[0] != '\0' ? runName.data() : account.name.c_str();
    const bool ok = SwitchTo(account, shownName);
    endpwent();
    if (ok)
        switched = account;
    return ok ? 1 : 0;
}

bool SwitchToRunAsAccount() {
    if (SetEffectiveRunId() != 0)
        return true;
    std::fprintf(stderr, "%s %d: couldnt set effective userid\n", titleStr, idno);
    return false;
}
