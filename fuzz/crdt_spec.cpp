// CRDT specifications: the canonical text reads back to itself, with the same hash.
#include "common.hpp"
#include "crdt/spec.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    if (!fuzz::utf8(in.view())) return 0;
    auto spec = CrdtSpec::from_json(in.view());
    if (!spec) return 0;
    auto t1 = spec->to_json();
    if (!t1) fuzz::fail("an accepted spec does not write", in.view(), t1.error());
    auto again = CrdtSpec::from_json(*t1);
    if (!again) fuzz::fail("canonical text does not read back", *t1, again.error());
    auto t2 = again->to_json();
    if (!t2) fuzz::fail("a read-back spec does not write", *t1, t2.error());
    fuzz::same(*t1, *t2, "canonical text is not a fixed point");
    auto h1 = spec->hash();
    auto h2 = again->hash();
    fuzz::check(h1 && h2 && *h1 == *h2, "hashes differ");
    return 0;
}
