// Outgoing changes issued by the client reducer (ClientState::proposal). The
// first input byte picks the model id and whether an identifier is given; with
// one, the input is the identifier, a newline and the operations, else the
// operations alone. The state holds a snapshot, a CRDT snapshot and two pending
// proposals.
// A refused proposal changes nothing (the next generated identifier included).
// An accepted one is a patch message that reads back to itself, that every
// codec carries, whose identifier becomes pending, and that the state itself
// takes as a stale patch retiring that identifier.
#include "client/effect.hpp"
#include "client/state.hpp"
#include "common.hpp"
#include "diff/patch_json.hpp"
#include "message/connection.hpp"

using namespace norvane;

namespace {

constexpr uint64_t kIds[] = {1, 2, 0, 3, 7, uint64_t(1) << 63, UINT64_MAX, 1};

client::ClientState seeded() {
    client::ClientState s;
    for (std::string_view m : {
             R"({"t":"snapshot","id":1,"type":"T","rev":3,"value":"Null"})",
             R"({"t":"crdt_snapshot","id":2,"type":"C","rev":5,"value":"Null","spec":null,"state":null})",
         }) {
        auto effect = s.prepare(m);
        if (!effect) fuzz::fail("a seed message was refused", m, effect.error());
        fuzz::check(s.commit(*effect).has_value(), "a seed effect was refused", *effect);
    }
    fuzz::check(s.proposal(1, "[]", std::string_view("p")).has_value(), "a seed proposal was refused");
    fuzz::check(s.proposal(2, "[]", std::nullopt).has_value(), "a seed proposal was refused");
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint64_t id = kIds[data[0] & 7];
    bool named = data[0] & 8;
    fuzz::Exact in(data + 1, size - 1);
    if (!fuzz::utf8(in.view())) return 0;
    std::string_view ops_json = in.view();
    std::optional<std::string_view> given;
    if (named) {
        size_t nl = ops_json.find('\n');
        if (nl == std::string_view::npos) return 0;
        given = ops_json.substr(0, nl);
        ops_json = ops_json.substr(nl + 1);
    }

    client::ClientState state = seeded();
    const std::string revisions = state.revisions_json();
    const client::ClientState::Pending pending = state.pending();
    auto text = state.proposal(id, ops_json, given);
    if (!text) {
        fuzz::same(revisions, state.revisions_json(), "a refused proposal changed the revisions");
        fuzz::check(pending == state.pending(), "a refused proposal changed the pending proposals");
        auto next = state.proposal(1, "[]", std::nullopt);
        auto control = seeded().proposal(1, "[]", std::nullopt);
        fuzz::same(*control, *next, "a refused proposal changed the next generated identifier");
        return 0;
    }
    std::string chosen = given ? std::string(*given) : "auto-2";
    fuzz::same(revisions, state.revisions_json(), "a proposal changed the revisions");
    auto expected = pending;
    expected.insert(chosen);
    fuzz::check(expected == state.pending(), "a proposal's identifier is not pending", chosen);

    auto m = Message::from_json(*text);
    if (!m && fuzz::too_deep(m.error())) return 0;
    if (!m) fuzz::fail("a proposal message does not read back", *text, m.error());
    fuzz::same(*text, m->to_json(), "a proposal message is not a fixed point");
    fuzz::check(m->kind() == Message::Kind::Patch, "a proposal is not a patch message", *text);
    const auto& patch = std::get<PatchMessage>(m->v);
    fuzz::check(patch.id == id && patch.patch.rev == 0, "a proposal carries another id or revision", *text);
    fuzz::check(patch.proposal == chosen, "a proposal carries another identifier", *text, chosen);
    auto ops = parse_ops(ops_json);
    fuzz::check(ops.has_value(), "the operations of an accepted proposal do not read");
    fuzz::same(patch_to_json(Patch{0, std::move(*ops)}), patch_to_json(patch.patch),
               "a proposal message carries other operations");
    for (ConnectionCodec codec : {ConnectionCodec::Msgpack, ConnectionCodec::Cbor}) {
        auto bytes = encode_message(*m, codec);
        if (!bytes) fuzz::fail("a proposal message does not encode", *text, bytes.error());
        auto back = decode_message(*bytes, codec);
        if (!back && fuzz::too_deep(back.error())) continue;
        if (!back) fuzz::fail("a proposal message does not decode", *text, back.error());
        fuzz::same(*text, back->to_json(), "a codec changes a proposal message");
    }

    auto effect = state.prepare(*text);
    if (id != 1 && id != 2) {
        fuzz::check(!effect, "a proposal for a model without snapshot was prepared", *text);
        return 0;
    }
    if (!effect) fuzz::fail("a proposal for a known model is refused when it comes back", *text, effect.error());
    auto e = client::ClientEffect::from_json(*effect);
    fuzz::check(e.has_value() && e->kind == client::ClientEffect::Kind::StalePatch && e->proposal == chosen,
                "a returning proposal is not a stale patch with its identifier", *effect);
    fuzz::check(state.commit(*effect).has_value(), "a prepared effect is refused", *effect);
    fuzz::same(revisions, state.revisions_json(), "a stale patch changed the revisions");
    fuzz::check(!state.pending().contains(chosen), "a returning proposal's identifier is still pending", chosen);
    return 0;
}
