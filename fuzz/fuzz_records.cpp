// Fuzz target for the records between the TLI library and the IPX stack: the
// input as a stream of records, each decoded, its fixed body read, encoded
// again and decoded back to the same record.
#include <algorithm>
#include <vector>

#include "check.h"
#include "stack_proto.h"

using namespace spx::stack;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> in(data, size);
    for (;;) {
        const Decoded d = DecodeRecord(in);
        if (!d.record) {
            CHECK(d.used == 0 || d.used == SIZE_MAX);
            CHECK(d.used == SIZE_MAX || in.size() < sizeof(Head) + MAX_RECORD);
            break;
        }
        const Record& r = *d.record;
        CHECK(d.used == sizeof(Head) + r.body.size() && d.used <= in.size());
        CHECK(r.body.size() <= MAX_DATA);
        ReadHello(r.body);
        ReadSequence(r.body);
        ReadPath(r.body);
        if (const auto e = ReadError(r.body))
            CHECK(e->detail.size() + 4 == r.body.size());
        ReadDiscon(r.body);
        std::vector<std::uint8_t> again;
        AppendRecord(again, r.prim, r.flags, r.body);
        const Decoded back = DecodeRecord(again);
        CHECK(back.record && back.used == again.size() && back.record->prim == r.prim &&
              std::equal(back.record->body.begin(), back.record->body.end(), r.body.begin(),
                         r.body.end()));
        in = in.subspan(d.used);
    }
    return 0;
}
