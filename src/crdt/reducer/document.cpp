// The CrdtDocument entry points: construction, restore, value, state, apply and member keys.
#include "crdt/reducer/document.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <map>

#include "crdt/reducer/call.hpp"
#include "crdt/reducer/errors.hpp"
#include "crdt/reducer/reducer.hpp"
#include "crdt/reducer/state.hpp"
#include "diff/diff.hpp"
#include "util/sha256.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

namespace {

using call::Journal;
using call::Tracker;

std::string invalid_dot(const Dot& d) { return errors::kInvalidDot + debug_text(d); }

}  // namespace

Result<CrdtDocument> CrdtDocument::create(std::string_view spec_json, std::string_view value_json,
                                          std::string_view replica) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(spec_json));
    Value value = NV_TRY(parse_value(value_json));
    NV_CHECK(validate_replica(replica));
    std::string hash = NV_TRY(spec.hash());
    CrdtDocument doc;
    doc.root = NodeState::empty(StateKind(size_t(spec.root.kind)));
    NV_CHECK(merge_value(doc.root, spec.root, value, Dot{0, doc.replicas->intern(kInitReplica)}));
    doc.value_cache = std::make_shared<Value>(NV_TRY(materialize_node(doc.root, spec.root)));
    doc.replica = std::string(replica);
    doc.self = doc.replicas->intern(replica);
    doc.spec = std::move(spec);
    doc.spec_hash = std::move(hash);
    return doc;
}

Result<CrdtDocument> CrdtDocument::from_state(std::string_view spec_json, std::string_view state_json,
                                              std::string_view replica) {
    CrdtSpec spec = NV_TRY(CrdtSpec::from_json(spec_json));
    auto replicas = std::make_unique<ReplicaTable>();
    CrdtState st = NV_TRY(parse_state(state_json, *replicas));
    std::string hash = NV_TRY(spec.hash());
    if (st.state_version != 1)
        return fail(errors::kStateVersion[0] + std::to_string(st.state_version) + errors::kStateVersion[1]);
    if (st.spec_hash != hash) return fail(errors::kStateSpecHash[0] + st.spec_hash + errors::kStateSpecHash[1] + hash);
    bool same = st.fingerprints.size() == st.dots.size() &&
                std::equal(st.fingerprints.begin(), st.fingerprints.end(), st.dots.begin(),
                           [](const SavedFingerprint& fp, const Dot& d) { return fp.dot == d; });
    if (!same) return fail(errors::kStateFingerprints);
    for (const auto& d : st.dots)
        if (!d.valid_operation_dot()) return fail(invalid_dot(d));
    // A digest was read only from a text of the right form.
    for (const SavedFingerprint& fp : st.fingerprints)
        if (fp.odd && (fp.text.size() != 71 || !fp.text.starts_with("sha256:")))
            return fail(errors::kStateFingerprint);
    NV_CHECK(validate_replica(replica));
    CrdtDocument doc;
    doc.replicas = std::move(replicas);
    doc.replica = std::string(replica);
    doc.self = doc.replicas->intern(replica);
    doc.spec = std::move(spec);
    doc.spec_hash = std::move(hash);
    doc.root = std::move(st.root);
    doc.context.compacted = std::move(st.compacted);
    for (const SavedFingerprint& fp : st.fingerprints) {
        if (fp.odd) doc.context.load(fp.dot, fp.text);
        else doc.context.add(fp.dot, fp.digest);
    }
    doc.lamport_counter = doc.context.max_counter_any();
    doc.value_cache = std::make_shared<Value>(NV_TRY(materialize_node(doc.root, doc.policy())));
    return doc;
}

Result<std::shared_ptr<const Value>> CrdtDocument::current_value() const {
    if (value_cache && list_hold.restore(*value_cache)) return value_cache;
    if (value_cache) drop_value();  // the held list found no place: made again
    return std::make_shared<const Value>(NV_TRY(materialize_node(root, policy())));
}

Status CrdtDocument::keep_value(bool whole) {
    if (whole && value_cache && !list_hold.restore(*value_cache)) drop_value();
    if (!value_cache) value_cache = std::make_shared<Value>(NV_TRY(materialize_node(root, policy())));
    return {};
}

Result<std::string> CrdtDocument::value() const {
    auto v = NV_TRY(current_value());
    std::string out;
    out.reserve(128);
    value_to_json(out, *v);
    return out;
}

Result<std::string> CrdtDocument::state() const {
    std::string out;
    out.reserve(std::max<size_t>(state_hint + state_hint / 16, 128));
    write_state(out, state_version, spec_hash, context, root);
    state_hint = out.size();
    return out;
}

namespace {

// Room for a result about to be written: the deltas' texts and a guess for
// the rest, or about the last result's length when that is more (a text's
// effect carries the whole text; past 1 MiB the text's own growth costs
// little beside writing it). Room never written costs no memory, while
// growing the text copies all of it.
void reserve_result(std::string& out, const CrdtDocument& doc, size_t ops, const CrdtEffect& effect) {
    const size_t deltas = deltas_size_hint(effect);
    const size_t guess = ops + deltas + 64 * (effect.deltas.size() + effect.patch.ops.size()) + 256;
    const size_t last = std::min<size_t>(doc.result_hint + doc.result_hint / 8, size_t(1) << 20);
    out.reserve(std::max(guess, last));
}

Result<std::string> mutate_text(CrdtDocument& doc, std::string_view mutations_json, bool whole) {
    auto mutations = NV_TRY(parse_mutations(mutations_json, *doc.replicas));
    std::string out;
    // Written before the changes are kept, so that running out of memory here
    // leaves the document as it was.
    NV_CHECK(doc.mutate_ops(std::move(mutations), whole, [&](std::string_view ops, const CrdtEffect& effect) {
        reserve_result(out, doc, ops.size(), effect);
        out += "{\"ops\":";
        out += ops;
        out += ",\"effect\":";
        JsonStringMemo::Scope memo(doc.result_strings);
        write_effect(out, effect);
        out += '}';
    }, mutations_json.size()));
    doc.result_hint = out.size();
    return out;
}

// The operations the last apply call of this thread read, with the room of
// their lists, read into again by the next: a call of the usual size then
// allocates little for them. They hold what they were read with until then,
// so after a call of more than kMostText bytes they let it go at once; at most
// kMost of them are kept. A call taking them while another holds them (none
// does today) starts with none.
class KeptOps {
public:
    static constexpr size_t kMost = 4096, kMostText = size_t(1) << 20;

    explicit KeptOps(size_t text_size) : ops_(std::move(kept())), text_size_(text_size) {}
    ~KeptOps() {
        if (ops_.size() > kMost) ops_.resize(kMost);
        if (text_size_ > kMostText)
            for (CrdtOp& op : ops_) reset_op(op);
        kept() = std::move(ops_);
    }
    KeptOps(const KeptOps&) = delete;
    KeptOps& operator=(const KeptOps&) = delete;
    std::vector<CrdtOp>& ops() { return ops_; }

private:
    static std::vector<CrdtOp>& kept() {
        static thread_local std::vector<CrdtOp> ops;
        return ops;
    }
    std::vector<CrdtOp> ops_;
    size_t text_size_;
};

Result<std::string> apply_text(CrdtDocument& doc, std::string_view ops_json, bool whole) {
    KeptOps kept(ops_json.size());
    const size_t n = NV_TRY(parse_ops_into(ops_json, *doc.replicas, kept.ops()));
    const std::span<const CrdtOp> ops(kept.ops().data(), n);
    std::string out;
    NV_CHECK(doc.apply_ops(ops, whole, [&](const CrdtEffect& effect) {
        JsonStringMemo::Scope memo(doc.result_strings);
        reserve_result(out, doc, 0, effect);
        write_effect(out, effect);
    }, ops_json.size()));
    doc.result_hint = out.size();
    return out;
}

}  // namespace

Result<std::string> CrdtDocument::mutate(std::string_view mutations_json) {
    return mutate_text(*this, mutations_json, false);
}
Result<std::string> CrdtDocument::mutate_whole(std::string_view mutations_json) {
    return mutate_text(*this, mutations_json, true);
}
Result<std::string> CrdtDocument::apply(std::string_view ops_json) { return apply_text(*this, ops_json, false); }
Result<std::string> CrdtDocument::apply_whole(std::string_view ops_json) { return apply_text(*this, ops_json, true); }

Result<CrdtEffect> CrdtDocument::apply_ops(std::span<const CrdtOp> ops, bool whole,
                                           const EffectSink& before_commit, size_t text_size) {
    // Every operation's text, for its fingerprint and for the deltas copied
    // from it. Operations read with their source texts, one after the other
    // from one text (a call's text in the writers' form), are taken where they
    // are; otherwise every text is written (or copied) once into one buffer,
    // about as long as the text the operations were read from.
    bool in_place = !ops.empty();
    for (size_t i = 0; in_place && i < ops.size(); ++i)
        in_place = !ops[i].source.empty() &&
                   (i == 0 || ops[i].source.data() >= ops[i - 1].source.data() + ops[i - 1].source.size());
    const std::string_view source =
        in_place ? std::string_view(ops.front().source.data(),
                                    size_t(ops.back().source.data() + ops.back().source.size() - ops.front().source.data()))
                 : std::string_view();
    std::vector<OpText> texts;
    std::string written;
    if (!in_place) written.reserve(text_size + text_size / 8);
    texts.reserve(ops.size());
    for (const auto& op : ops) {
        if (!op.dot.valid_operation_dot()) return fail(invalid_dot(op.dot));
        OpText& t = texts.emplace_back();
        if (in_place) place_source(source, size_t(op.source.data() - source.data()), op, &t);
        else if (op.source.empty()) write_op_placed(written, op, &t);
        else copy_op(written, op, &t);
        t.index = texts.size() - 1;
    }
    // The views into the buffer are taken once it stops moving.
    for (size_t i = 0; !in_place && i < texts.size(); ++i)
        texts[i].text = std::string_view(written).substr(texts[i].at, texts[i].text.size());
    // Each operation's fingerprint, the texts hashed side by side.
    std::vector<std::string_view> hashed(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) hashed[i] = texts[i].text;
    std::vector<Sha256Digest> fps(texts.size());
    sha256_each(hashed, fps.data());
    const std::string_view op_texts = in_place ? source : std::string_view(written);
    NV_CHECK(keep_value(whole));
    Journal journal(*this);
    Tracker tracker(policy(), &journal.nodes, *this, whole);
    if (before_commit) tracker.lend_texts();
    tracker.deltas.reserve(ops.size());  // at most one each
    CrdtEffect effect;
    for (size_t i = 0; i < ops.size(); ++i) {
        const CrdtOp& op = ops[i];
        if (context.knows(op.dot)) {
            if (!context.contains(op.dot) || context.same_fingerprint(op.dot, fps[i])) continue;
            return fail(errors::kReusedDot[0] + debug_text(op.dot) + errors::kReusedDot[1]);
        }
        NV_CHECK(tracker.step(root, op, nullptr, &texts[i]));
        journal.add(op.dot, fps[i]);
        lamport_counter = std::max(lamport_counter, op.dot.counter);
        ++effect.applied;
    }
    journal.cache_changing = true;
    effect.patch = NV_TRY(tracker.finish(root));
    effect.deltas = std::move(tracker.deltas);
    effect.texts = std::move(tracker.delta_texts);
    if (before_commit) {
        effect.op_texts = op_texts;
        effect.ops = ops;
        before_commit(effect);
        effect.op_texts = {};
        effect.ops = {};
        tracker.give_back(effect.patch);
    }
    journal.done = true;
    return effect;
}

namespace {

Status check_sequences(const NodeState& node) {
    if (const auto* m = node.map()) {
        for (const auto& [k, e] : m->entries) NV_CHECK(check_sequences(*e.node));
    } else if (const auto* s = node.set()) {
        for (const auto& [k, e] : s->entries) NV_CHECK(check_sequences(*e.node));
    } else if (const auto* q = node.seq()) {
        NV_CHECK(q->check());
        Status below;
        q->for_each([&](const SequenceNode::Element& e) {
            if (!e.plain() && e.node) below = check_sequences(*e.node);
            return below.has_value();
        });
        return below;
    }
    return {};
}

}  // namespace

Status CrdtDocument::check() const {
    NV_CHECK(check_sequences(root));
    if (value_cache) {
        Value fresh = NV_TRY(materialize_node(root, policy()));
        // Read as it stands, with the held list in its place (a copy: the
        // list stays held).
        const Value kept = list_hold.read(*value_cache);
        auto same_bits = [](double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); };
        if (!same_structure(fresh, kept, same_bits)) return fail("the kept value differs from the materialised one");
        NV_CHECK(list_index.check(kept));
    }
    return {};
}

Result<std::string> CrdtDocument::member_key(std::string_view path_json, std::string_view value_json) const {
    // Only the path's kinds and keys matter here: its dots go to a table of their own.
    ReplicaTable names;
    CrdtPath path = NV_TRY(parse_path(path_json, names));
    Value value = NV_TRY(parse_value(value_json));
    const CrdtPolicy* pol = NV_TRY(policy_at_path(policy(), path));
    if (pol->kind != PolicyKind::Set) return fail(errors::kNotASetPolicy);
    return crdt::member_key(pol->keys, value);
}

}  // namespace norvane::crdt
