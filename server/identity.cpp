// The run-as identity of a service child: the account named by the first
// word of "./.spxrunid", or without that file "spxhost", else "guest".
#include "identity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    Report(stdout, "lookup of %s failed \n", name);
    ReportErrno("", err);
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

// The supplementary groups of the process, sorted.
std::vector<gid_t> Groups() {
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    groups.resize(static_cast<std::size_t>(
        std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    std::ranges::sort(groups);
    return groups;
}

// The supplementary groups account has in the group database, sorted.
std::vector<gid_t> GroupsOf(const Account& account) {
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    while (getgrouplist(account.name.c_str(), account.gid, groups.data(), &n) < 0)
        groups.resize(static_cast<std::size_t>(n)); // n: how many there are
    groups.resize(static_cast<std::size_t>(n));
    std::ranges::sort(groups);
    return groups;
}

// Whether the process is account and nothing else any more: its real,
// effective and saved user and group ids are the account's; its
// supplementary groups the account's (after a privileged switch) or as they
// were (an unprivileged process can only switch to itself); and neither the
// old user nor the old group can be taken again.
bool Proven(const Account& account, uid_t oldUid, gid_t oldGid,
            const std::vector<gid_t>& oldGroups, bool privileged) {
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0)
        return false;
    const bool ids = ru == account.uid && eu == account.uid && su == account.uid &&
                     rg == account.gid && eg == account.gid && sg == account.gid;
    const bool groups = Groups() == (privileged ? GroupsOf(account) : oldGroups);
    const bool oldUser = oldUid != account.uid && (setuid(oldUid) == 0 || seteuid(oldUid) == 0);
    const bool oldGroup = oldGid != account.gid && (setgid(oldGid) == 0 || setegid(oldGid) == 0);
    return ids && groups && !oldUser && !oldGroup;
}

// Gives up the daemon's identity for account's: supplementary groups (only
// a privileged process can set them), group id, user id, in that order; then
// proves it, as a careful drop of privileges does. A proof that fails ends
// the child at once: a process that may have its privileges back reports
// nothing and serves nobody.
bool SwitchTo(const Account& account, const char* shownName) {
    const uid_t oldUid = geteuid();
    const gid_t oldGid = getegid();
    const std::vector<gid_t> oldGroups = Groups();
    const bool privileged = oldUid == 0;
    if ((privileged && initgroups(account.name.c_str(), account.gid) != 0) ||
        setgid(account.gid) != 0) {
        const int err = errno;
        Report(stdout, "failure setting gid for %s \n", shownName);
        ReportErrno("", err);
        return false;
    }
    if (setuid(account.uid) != 0) {
        const int err = errno;
        Report(stdout, "failure setting uid for %s \n", shownName);
        ReportErrno("", err);
        return false;
    }
    if (!Proven(account, oldUid, oldGid, oldGroups, privileged))
        _exit(EXIT_UNPROVEN);
    return true;
}

} // namespace

bool SetEffectiveRunId() {
    std::array<char, RUN_NAME_SIZE> runName{};
    Account account;

    setpwent();
    bool missing = false;
    FILE* file = OpenRunIdFile(missing);
    if (file == nullptr && !missing) {
        // There but unreadable: never serve under a fallback nobody chose.
        const int err = errno;
        Report(stdout, "open of %s failed \n", runNameFile);
        ReportErrno("", err);
        endpwent();
        return false;
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
                Report(stdout, "no valid idname found - exiting\n");
            else
                LookUpFailed(name, lookup);
            endpwent();
            return false;
        }
    } else {
        if (!ReadRunName(file, runName)) {
            const int err = errno;
            Report(stdout, "error reading name %s from %s file \n", runName.data(), runNameFile);
            ReportErrno("", err);
            std::fclose(file);
            endpwent();
            return false;
        }
        if (const int lookup = LookUp(runName.data(), account); lookup != 0) {
            if (lookup == ENOENT)
                Report(stdout, "error getting passwd entry for %s\n", runName.data());
            else
                LookUpFailed(runName.data(), lookup);
            std::fclose(file);
            endpwent();
            return false;
        }
        std::fclose(file);
    }

    // The messages name the account as the file gave it, or the fallback.
    const char* shownName = runName[0] != '\0' ? runName.data() : account.name.c_str();
    const bool ok = SwitchTo(account, shownName);
    endpwent();
    if (ok)
        switched = account;
    return ok;
}

bool SwitchToRunAsAccount() {
    if (SetEffectiveRunId())
        return true;
    // Fixed output, "couldnt" included: peers, scripts and the tests read it.
    Report(stderr, "couldnt set effective userid\n");
    return false;
}
