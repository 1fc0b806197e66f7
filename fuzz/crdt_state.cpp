// CRDT states from a peer (CrdtDocument::from_state).
#include "crdt_check.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view spec = fuzz::crdt_spec_for(data[0]);
    fuzz::Exact in(data + 1, size - 1);
    if (!fuzz::utf8(in.view())) return 0;
    auto doc = crdt::CrdtDocument::from_state(spec, in.view(), "a");
    if (!doc) return 0;
    fuzz::check_caches(*doc, in.view());
    (void)doc->value();
    fuzz::check_state_round_trip(spec, *doc);
    return 0;
}
