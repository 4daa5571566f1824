// Fuzz target for the run-id file reader: the input is the content of
// "./.spxrunid", read by the real SetEffectiveRunId in a make-believe
// system (world.h) whose password database knows three accounts.
//
// Checked: the switch succeeds exactly when the file's first word names a
// known account (a word of 80 characters or more never does: it is
// refused, not cut), and then the process has that account's ids; the name
// looked up is never read past what the file held.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runid.h"
#include "spxsupport.h"
#include "world.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok)
        world::Fail("fuzz_runid", what);
}

// The first white-space delimited word, as far as a C string holds it.
std::string FirstName(const std::string& text) {
    std::size_t b = 0;
    while (b < text.size() && std::isspace(static_cast<unsigned char>(text[b])))
        ++b;
    std::size_t e = b;
    while (e < text.size() && !std::isspace(static_cast<unsigned char>(text[e])) && text[e] != '\0')
        ++e;
    return text.substr(b, e - b);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    world::ServerReporting();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    world::State initial;
    initial.runIdFile = std::string(reinterpret_cast<const char*>(data), size);
    world::Begin(initial);
    const int result = SetEffectiveRunId();
    world::End();
    const world::State& w = world::Now();

    const std::string name = FirstName(*initial.runIdFile);
    const world::Account* account = nullptr;
    for (const auto& a : world::ACCOUNTS)
        if (name == a.name)
            account = &a;
    if (name.size() >= 80 || account == nullptr) {
        Check(result == 0, "switched for a name that is no account");
        Check(w.uid == 0 && w.gid == 0, "ids changed although the switch failed");
        if (w.lookedUpName)
            Check(name.compare(0, w.lookedUpName->size(), *w.lookedUpName) == 0 &&
                      w.lookedUpName->size() < 80,
                  "looked up a name the file does not hold");
        return 0;
    }
    Check(result == 1, "no switch for a known account");
    Check(w.lookedUpName == name, "looked up another name");
    Check(w.uid == account->uid && w.euid == account->uid && w.gid == account->gid &&
              w.egid == account->gid,
          "ids are not the account's");
    return 0;
}
