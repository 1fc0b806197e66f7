// CRDT mutations lists applied to a fresh document (CrdtDocument::mutate).
#include "crdt_check.hpp"

using namespace norvane;

namespace {
constexpr std::string_view kValues[] = {R"({"Map":{}})", R"("Null")", R"({"List":[]})", R"({"Str":""})",
                                        R"({"List":[]})", R"({"Map":{"title":{"Str":"ab"},"tags":{"List":[]},"n":{"Int":0}}})"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t pick = data[0] % std::size(fuzz::kCrdtSpecs);
    std::string_view spec = fuzz::kCrdtSpecs[pick];
    fuzz::Exact in(data + 1, size - 1);
    if (!fuzz::utf8(in.view())) return 0;
    auto doc = crdt::CrdtDocument::create(spec, kValues[pick], "a");
    if (!doc) return 0;
    auto before = doc->state();
    auto r = doc->mutate(in.view());
    if (!r) {
        auto after = doc->state();
        fuzz::check(before.has_value() == after.has_value() && (!before || *before == *after),
                    "a refused call changed the state");
        return 0;
    }
    (void)doc->value();
    fuzz::check_state_round_trip(spec, *doc);
    return 0;
}
