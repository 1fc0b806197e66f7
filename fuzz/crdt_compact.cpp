// Compaction of a CRDT document (CrdtDocument::compact). The first input byte
// picks the CRDT specification; the rest is a line that makes the document (a
// saved state when it starts with '{', else a mutation list run on a fresh
// document), a newline and the frontier. Without a newline the whole rest is the
// frontier, over a built-in history with removals of every kind.
// A refused frontier changes nothing. An accepted one keeps the value, leaves a
// state that reads back, compacting again with it purges nothing more, and the
// operations that made the document, delivered again, change nothing.
#include "crdt_check.hpp"

using namespace norvane;

namespace {

// For each CRDT specification: writes, then removals that leave tombstones.
constexpr std::string_view kHistories[] = {
    R"([{"kind":"map_set","path":[],"key":"x","value":{"Int":1}},)"
    R"({"kind":"map_set","path":[],"key":"y","value":"Null"},{"kind":"map_remove","path":[],"key":"x"}])",
    R"([{"kind":"register_set","path":[],"value":{"Int":1}},{"kind":"register_set","path":[],"value":{"Str":"b"}}])",
    R"([{"kind":"sequence_splice","path":[],"index":0,"delete_count":0,"values":[{"Int":1},{"Int":2},{"Int":3}]},)"
    R"({"kind":"sequence_splice","path":[],"index":1,"delete_count":1,"values":[]}])",
    R"([{"kind":"sequence_splice","path":[],"index":0,"delete_count":0,"values":[{"Str":"x"},{"Str":"y"}]},)"
    R"({"kind":"sequence_splice","path":[],"index":0,"delete_count":1,"values":[]}])",
    R"([{"kind":"set_add","path":[],"value":{"Int":1}},{"kind":"set_add","path":[],"value":{"Int":2}},)"
    R"({"kind":"set_remove","path":[],"key":"{\"Int\":1}"}])",
    R"([{"kind":"sequence_splice","path":[{"kind":"key","key":"title"}],"index":0,"delete_count":1,"values":[]},)"
    R"({"kind":"set_add","path":[{"kind":"key","key":"tags"}],"value":{"Str":"t"}},)"
    R"({"kind":"set_remove","path":[{"kind":"key","key":"tags"}],"key":"{\"Str\":\"t\"}"},)"
    R"({"kind":"map_set","path":[],"key":"extra","value":{"Int":2}},{"kind":"map_remove","path":[],"key":"extra"},)"
    R"({"kind":"register_set","path":[{"kind":"key","key":"n"}],"value":{"Int":5}}])",
};
static_assert(std::size(kHistories) == std::size(fuzz::kCrdtSpecs));

// The document, and the operations that made it when it was made by mutations.
Result<crdt::CrdtDocument> make_document(size_t pick, std::string_view setup, bool builtin,
                                         std::vector<crdt::CrdtOp>& ops) {
    std::string_view spec = fuzz::kCrdtSpecs[pick];
    if (setup.starts_with('{')) return crdt::CrdtDocument::from_state(spec, setup, "a");
    auto doc = crdt::CrdtDocument::create(spec, fuzz::kCrdtValues[pick], "a");
    if (!doc) return doc;
    auto mutations = crdt::parse_mutations(setup, *doc->replicas);
    if (!mutations) return std::unexpected(mutations.error());
    auto made = doc->mutate_ops(*mutations);
    if (!made && builtin) fuzz::fail("a built-in history was refused", setup, made.error());
    if (!made) return std::unexpected(made.error());
    ops = std::move(made->first);
    return doc;
}

bool same_result(const Result<std::string>& a, const Result<std::string>& b) {
    return a.has_value() == b.has_value() && (a ? *a == *b : a.error() == b.error());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t pick = data[0] % std::size(fuzz::kCrdtSpecs);
    std::string_view spec = fuzz::kCrdtSpecs[pick];
    fuzz::Exact in(data + 1, size - 1);
    if (!fuzz::utf8(in.view())) return 0;
    std::string_view text = in.view();
    size_t nl = text.find('\n');
    bool builtin = nl == std::string_view::npos;
    std::string_view setup = builtin ? kHistories[pick] : text.substr(0, nl);
    std::string_view frontier = builtin ? text : text.substr(nl + 1);
    std::vector<crdt::CrdtOp> ops;
    auto doc = make_document(pick, setup, builtin, ops);
    if (!doc) return 0;
    fuzz::check_caches(*doc, setup);

    auto state_before = doc->state();
    auto value_before = doc->value();
    auto purged = doc->compact(frontier);
    fuzz::check_caches(*doc, frontier);
    if (!purged) {
        fuzz::check(same_result(state_before, doc->state()), "a refused frontier changed the state");
        fuzz::check(same_result(value_before, doc->value()), "a refused frontier changed the value");
        return 0;
    }
    auto value_after = doc->value();
    if (!same_result(value_before, value_after))
        fuzz::fail("compaction changed the value", value_before ? *value_before : value_before.error(),
                   value_after ? *value_after : value_after.error());
    fuzz::check_state_round_trip(spec, *doc);
    auto state = doc->state();
    if (state) {
        auto back = crdt::CrdtDocument::from_state(spec, *state, "b");
        if (back) fuzz::check(same_result(value_after, back->value()), "a compacted state reads back another value");
    }
    auto again = doc->compact(frontier);
    fuzz::check_caches(*doc, frontier);
    if (!again) fuzz::fail("the same frontier is refused the second time", frontier, again.error());
    fuzz::check(*again == 0, "compacting twice with one frontier purged more");
    fuzz::check(same_result(state, doc->state()), "compacting twice with one frontier changed the state");
    // Operations delivered again after compaction are known: skipped, changing nothing.
    auto redelivered = doc->apply_ops(ops);
    fuzz::check_caches(*doc, setup);
    if (!redelivered) fuzz::fail("operations delivered again after compaction are refused", redelivered.error());
    fuzz::check(redelivered->applied == 0, "operations delivered again after compaction were applied");
    fuzz::check(same_result(state, doc->state()), "operations delivered again after compaction changed the state");
    fuzz::check(same_result(value_after, doc->value()), "operations delivered again after compaction changed the value");
    return 0;
}
