// Incoming messages read by the client reducer: an accepted message gives an
// effect whose text reads back to itself, and that a fresh state records.
#include "client/effect.hpp"
#include "client/state.hpp"
#include "common.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    if (!fuzz::utf8(in.view())) return 0;
    client::ClientState state;
    auto effect = state.prepare(in.view());
    if (!effect) return 0;
    auto e = client::ClientEffect::from_json(*effect);
    if (!e) fuzz::fail("a prepared effect does not read back", *effect, e.error());
    fuzz::same(*effect, e->to_json(), "effect text is not a fixed point");
    std::string before = state.revisions_json();
    auto committed = state.commit(*effect);
    if (!committed) {
        fuzz::same(before, state.revisions_json(), "a failed commit changed the revisions");
    }
    return 0;
}
