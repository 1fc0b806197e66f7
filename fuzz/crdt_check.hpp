// CRDT documents: the first input byte picks a CRDT specification, the rest is the
// text under test. A document's state text reads back to itself, a refused call
// leaves the state as it was, and after every call the caches a document keeps
// beside its node tree are what the tree gives (CrdtDocument::check).
#pragma once

#include "common.hpp"
#include "crdt/reducer/document.hpp"

namespace fuzz {

inline constexpr std::string_view kCrdtSpecs[] = {
    R"({"root":{"kind":"map"}})",
    R"({"root":{"kind":"register"}})",
    R"({"root":{"kind":"sequence"}})",
    R"({"root":{"kind":"sequence","materialization":"string"}})",
    R"({"root":{"kind":"set"}})",
    R"({"root":{"kind":"map","fields":{"title":{"kind":"sequence","materialization":"string"},"tags":{"kind":"set"},"n":{"kind":"register"}}}})",
};

// A starting value for each CRDT specification above.
inline constexpr std::string_view kCrdtValues[] = {
    R"({"Map":{}})", R"("Null")", R"({"List":[]})", R"({"Str":""})",
    R"({"List":[]})", R"({"Map":{"title":{"Str":"ab"},"tags":{"List":[]},"n":{"Int":0}}})"};
static_assert(std::size(kCrdtValues) == std::size(kCrdtSpecs));

inline std::string_view crdt_spec_for(uint8_t b) { return kCrdtSpecs[b % std::size(kCrdtSpecs)]; }

// Every cache and index the document keeps beside its node tree (the materialised
// value, sequence orders) rebuilt from the tree is what the document holds.
inline void check_caches(const norvane::crdt::CrdtDocument& doc, std::string_view input = {}) {
    auto r = doc.check();
    if (!r) fail("a kept cache differs from the one rebuilt from the node tree", input, r.error());
}

// The state text reads back into a document with the same state.
inline void check_state_round_trip(std::string_view spec, const norvane::crdt::CrdtDocument& doc) {
    auto s1 = doc.state();
    if (!s1) return;
    auto back = norvane::crdt::CrdtDocument::from_state(spec, *s1, "b");
    if (!back) fail("a document's state does not read back", *s1, back.error());
    check_caches(*back, *s1);
    auto s2 = back->state();
    if (!s2) fail("a read-back document has no state", *s1, s2.error());
    same(*s1, *s2, "state text is not a fixed point");
}

// One list of operations or mutations (the input after its first byte, which
// picks the CRDT specification) run on a fresh document by `run(doc, text)`:
// a refused list leaves the state unchanged, an accepted one reads back.
template <class Run>
int check_list_on_fresh_document(const uint8_t* data, size_t size, Run run) {
    if (size == 0) return 0;
    size_t pick = data[0] % std::size(kCrdtSpecs);
    std::string_view spec = kCrdtSpecs[pick];
    Exact in(data + 1, size - 1);
    if (!utf8(in.view())) return 0;
    auto doc = norvane::crdt::CrdtDocument::create(spec, kCrdtValues[pick], "a");
    if (!doc) return 0;
    auto before = doc->state();
    auto r = run(*doc, in.view());
    check_caches(*doc, in.view());
    if (!r) {
        auto after = doc->state();
        check(before.has_value() == after.has_value() && (!before || *before == *after),
              "a refused call changed the state");
        return 0;
    }
    (void)doc->value();
    check_state_round_trip(spec, *doc);
    return 0;
}

}  // namespace fuzz
