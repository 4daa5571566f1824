// The run-as identity of a service child.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

#include <sys/types.h>

// A name read from the run-id file holds fewer characters than this.
inline constexpr std::size_t RUN_NAME_SIZE = 80;

// Reads the first whitespace-delimited word of file into runName. False at
// end of file before any word, and for a word of RUN_NAME_SIZE characters
// or more (runName then holds its first RUN_NAME_SIZE - 1 characters, for
// the message only; errno is ENAMETOOLONG).
bool ReadRunName(std::FILE* file, std::array<char, RUN_NAME_SIZE>& runName);

// The exit status of a service child whose switch to the run-as account
// could not be proven (see SetEffectiveRunId): the only child that ends with
// another status than 0. It says nothing itself, as it may have its
// privileges back; the listener reports it.
inline constexpr int EXIT_UNPROVEN = 3;

// Switches the process to the account named in "./.spxrunid" (or, without
// that file, "spxhost", else "guest"). False once the failure is reported.
bool SetEffectiveRunId();

// An account as the run-as switch takes it from the password database.
struct Account {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    std::string shell; // the account's, or /bin/sh when it names none
};

// The account the process switched to (an empty name before a switch).
const Account& SwitchedAccount();

// The run-as switch as the outbound services take it: false after the
// refusal line ("couldnt set effective userid"), when the service must
// abort.
bool SwitchToRunAsAccount();
