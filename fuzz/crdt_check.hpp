// CRDT documents: the first input byte picks a CRDT specification, the rest is the
// text under test. A document's state text reads back to itself, and a
// refused call leaves the state as it was.
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

inline std::string_view crdt_spec_for(uint8_t b) { return kCrdtSpecs[b % std::size(kCrdtSpecs)]; }

// The state text reads back into a document with the same state.
inline void check_state_round_trip(std::string_view spec, const norvane::crdt::CrdtDocument& doc) {
    auto s1 = doc.state();
    if (!s1) return;
    auto back = norvane::crdt::CrdtDocument::from_state(spec, *s1, "b");
    if (!back) fail("a document's state does not read back", *s1, back.error());
    auto s2 = back->state();
    if (!s2) fail("a read-back document has no state", *s1, s2.error());
    same(*s1, *s2, "state text is not a fixed point");
}

}  // namespace fuzz
