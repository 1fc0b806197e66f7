// Effects recorded by the client reducer: the text written back is a fixed
// point, and a refused commit leaves the state as it was.
#include "client/effect.hpp"
#include "client/state.hpp"
#include "common.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    if (!fuzz::utf8(in.view())) return 0;
    client::ClientState state;
    auto proposal = state.proposal(1, "[]", std::string_view("p"));
    fuzz::check(proposal.has_value(), "a proposal on a fresh state failed");
    std::string revisions = state.revisions_json();
    auto pending = state.pending();
    auto committed = state.commit(in.view());
    if (!committed) {
        fuzz::same(revisions, state.revisions_json(), "a failed commit changed the revisions");
        fuzz::check(pending == state.pending(), "a failed commit changed the pending proposals");
    }
    auto e = client::ClientEffect::from_json(in.view());
    if (!e) return 0;
    std::string t1 = e->to_json();
    auto again = client::ClientEffect::from_json(t1);
    if (!again) fuzz::fail("written effect does not read back", t1, again.error());
    fuzz::same(t1, again->to_json(), "effect text is not a fixed point");
    return 0;
}
