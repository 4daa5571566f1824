// Fuzz target for the service child's request handling: the input is the
// request unit a client sends (its last byte chooses how the make-believe
// client, disk, accounts and files behave), served by the real request
// dispatch and services against a make-believe provider and system, so
// nothing is created, run or changed.
//
// Checked on every input, beyond the sanitizers:
// - the child ends through exit with status 0, whatever the request;
// - a name is opened only when it is terminated inside its request field,
//   and exactly as the field spells it; a command runs only then as well;
// - the stored file holds exactly the data units received (a prefix of
//   them when a write failed), never the end unit;
// - the output copy writes exactly the units received;
// - a sent file and a command's output arrive whole, before the end unit;
// - nothing is sent after the child's own disconnect (the provider checks).

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <spx/byteorder.h>
#include <spx/tiuser.h>

#include "fake_tli.h"
#include "request.h"
#include "spxproto.h"
#include "spxsupport.h"
#include "world.h"

namespace {

using faketli::Event;

[[noreturn]] void Fail(const char* what) { world::Fail("fuzz_request", what); }

void Check(bool ok, const char* what) {
    if (!ok)
        Fail(what);
}

// The text a request field names: up to its terminator, or nothing when it
// has none inside the field.
std::optional<std::string> FieldText(std::string_view request, std::size_t offset,
                                     std::size_t size) {
    if (request.size() < offset)
        return std::string{}; // beyond what arrived: zeros
    const std::string_view field = request.substr(offset, size);
    const std::size_t end = field.find('\0');
    if (end == std::string_view::npos && field.size() == size)
        return std::nullopt;
    return std::string(field.substr(0, end));
}

// The client's side after the request, as the control byte says.
std::vector<Event> Script(unsigned control) {
    const std::vector<Event> data = {
        {Event::Data, std::string(534, 'a'), true, 0},
        {Event::Data, "", true, 0},
        {Event::Data, std::string(100, 'b'), true, 0},
    };
    std::vector<Event> s;
    switch (control & 3) {
    case 0: // a client that plays its part to the end
        s = data;
        s.push_back({Event::Data, "", false, 0});
        s.push_back({Event::OrdRel, "", false, 0});
        break;
    case 1: // gone in the middle of its data
        s = data;
        s.push_back({Event::Discon, "", false, 237});
        break;
    case 2: // releases at once
        s.push_back({Event::OrdRel, "", false, 0});
        break;
    case 3: // an end unit with content, more data after it
        s.push_back({Event::Data, std::string(300, 'c'), true, 0});
        s.push_back({Event::Data, "end unit", false, 0});
        s.push_back({Event::Data, "late", true, 0});
        s.push_back({Event::OrdRel, "", false, 0});
        break;
    }
    return s;
}

world::State Setup(unsigned control) {
    world::State w;
    switch ((control >> 2) & 3) {
    case 0:
        w.runIdFile = "  fuzzuser other\n";
        break;
    case 1:
        w.runIdFile.reset(); // falls back to spxhost
        break;
    case 2:
        w.runIdFile = " \n\t";
        break;
    case 3:
        w.runIdFile = "otheruser";
        break;
    }
    if (control & 0x10)
        w.diskSpace = 700;
    if (control & 0x20)
        w.openError = (control & 0x40) ? 13 : 2; // EACCES, ENOENT
    if (control & 0x40)
        w.writeChunk = 100;
    w.setgidFails = (control & 0x80) != 0;
    w.readableFile = std::string(control & 1 ? 1068 : 600, 'f');
    w.commandOutput = control & 2 ? std::string(1200, 'o') : std::string();
    return w;
}

// Concatenation of what t_rcv returned after the request, with T_MORE only
// (stored), or all of it (copied).
std::string Received(bool moreOnly) {
    std::string all;
    const auto& pieces = faketli::Conn().received;
    for (std::size_t i = 1; i < pieces.size(); ++i)
        if (!moreOnly || (pieces[i].flags & T_MORE) != 0)
            all += pieces[i].bytes;
    return all;
}

// The data units the service sent (T_MORE) after the status byte when
// there is one, and whether its 1-byte end unit followed them.
std::string SentData(bool hasStatus, bool& endSent) {
    std::string all;
    endSent = false;
    const auto& sent = faketli::Conn().sent;
    for (std::size_t i = hasStatus ? 1 : 0; i < sent.size(); ++i) {
        Check(!endSent, "a unit after the end unit");
        if (sent[i].flags & T_MORE) {
            all += sent[i].bytes;
        } else {
            Check(sent[i].bytes.size() == 1, "an end unit that is not 1 byte");
            endSent = true;
        }
    }
    return all;
}

void CheckOutcome(std::string_view request) {
    const world::State& w = world::Now();
    const auto& conn = faketli::Conn();
    Check(w.exitStatus == 0, "the child did not end with exit status 0");
    if (request.size() < 4) {
        Check(conn.sent.empty() && conn.disconnectSent, "short request not refused");
        Check(w.openedPaths.empty() && !w.commandStarted, "short request served");
        return;
    }
    const std::uint32_t command =
        spx::GetBE32(std::span<const unsigned char, 4>(
            reinterpret_cast<const unsigned char*>(request.data()), 4));
    const bool switched = w.uid != 0;

    switch (command) {
    case SERV_RECV_FILE: {
        const auto name = FieldText(request, offsetof(receiveFile_t, filename), 80);
        if (!w.openedPaths.empty()) {
            Check(w.openedPaths.size() == 1, "more than one file opened");
            Check(name.has_value(), "opened a name without a terminator in its field");
            Check(w.openedPaths[0] == *name, "opened another name than the request's");
            Check(switched, "file opened before the run-as switch");
        }
        if (w.fileCreated) {
            const std::string stored = Received(true);
            if (w.writeFailed)
                Check(stored.compare(0, w.fileContent.size(), w.fileContent) == 0,
                      "stored data is not a prefix of the data received");
            else
                Check(w.fileContent == stored, "stored data differs from the data received");
            if (conn.releaseSent)
                Check(w.fileClosed && !w.writeFailed, "released before the file was complete");
        }
        if (!conn.sent.empty())
            Check(conn.sent[0].bytes.size() == 1 && conn.sent[0].flags == 0,
                  "the status is not one byte without T_MORE");
        break;
    }
    case SERV_RECV_STDOUT:
        Check(w.openedPaths.empty(), "output copy opened a file");
        Check(w.stdoutData == Received(false), "copied output differs from the units received");
        break;
    case SERV_SEND_FILE: {
        const auto name = FieldText(request, offsetof(sendFile_t, fileName), 80);
        if (!w.openedPaths.empty()) {
            Check(name.has_value() && w.openedPaths.size() == 1 && w.openedPaths[0] == *name,
                  "opened another name than the request's");
            Check(switched, "file opened before the run-as switch");
        }
        Check(!conn.sent.empty() || conn.disconnectSent, "no status sent");
        bool endSent = false;
        const std::string data = SentData(true, endSent);
        const bool opened = !w.openedPaths.empty() && w.openError == 0;
        if (opened && endSent && !conn.disconnectSent)
            Check(data == w.readableFile, "the file sent differs from the file");
        if (!opened)
            Check(data.empty(), "data sent for a file that was not opened");
        break;
    }
    case SERV_RSH: {
        const auto text = FieldText(request, offsetof(rshData_t, command), 100);
        if (w.commandStarted)
            Check(text.has_value() && switched, "command run without terminator or switch");
        bool endSent = false;
        const std::string data = SentData(false, endSent);
        if (w.commandStarted && endSent)
            Check(data == w.commandOutput, "the output sent differs from the command's");
        Check(w.commandStarted || data.empty(), "output sent without a command");
        break;
    }
    default:
        Check(w.openedPaths.empty() && !w.commandStarted && conn.sent.empty(),
              "an unknown command was served");
        Check(conn.disconnectSent, "an unknown command was not refused");
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    world::ServerReporting();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const unsigned control = data[size - 1];
    const std::string request(reinterpret_cast<const char*>(data), size - 1);
    verbose = (control & 1) != 0;

    std::vector<Event> events;
    events.push_back({Event::Data, request, false, 0});
    for (auto& e : Script(control))
        events.push_back(std::move(e));
    faketli::Connect(std::move(events));
    world::Begin(Setup(control));

    if (setjmp(world::exitJump) == 0) {
        world::exitArmed = true;
        ServeRequest(faketli::ENDPOINT);
        Fail("ServeRequest returned");
    }
    world::End();
    CheckOutcome(request);
    return 0;
}
