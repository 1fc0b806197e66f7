// The state format: writing and reading the saved state of a document.
#include "crdt/reducer/state.hpp"

#include "crdt/reducer/errors.hpp"
#include "crdt/reducer/ops.hpp"
#include "crdt/reducer/records.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

using de::DeResult;
using de::Error;

// ---- writing -----------------------------------------------------------------------

static void write_dot_list(std::string& out, const DotSet& dots) {
    out += '[';
    bool first = true;
    for (const auto& d : dots) {
        if (!first) out += ',';
        first = false;
        write_dot(out, d);
    }
    out += ']';
}

// The optional dot lists of an entry, each only when non-empty.
static void write_opt_dots(std::string& out, std::string_view key, const DotSet& dots) {
    if (dots.empty()) return;
    out += ",\"";
    out += key;
    out += "\":";
    write_dot_list(out, dots);
}

template <class Entries>
static void write_entry_map(std::string& out, const Entries& entries, std::string_view dots_key) {
    out += '{';
    bool first = true;
    for (const auto& [key, e] : entries) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, key);
        out += ":{\"node\":";
        write_node(out, *e.node);
        if constexpr (requires { e.adds; })
            write_opt_dots(out, dots_key, e.adds);
        else
            write_opt_dots(out, dots_key, e.dots);
        write_opt_dots(out, "removed", e.removed);
        write_opt_dots(out, "removal_ops", e.removal_ops);
        out += '}';
    }
    out += '}';
}

void write_node(std::string& out, const NodeState& node) {
    out += "{\"kind\":\"";
    out += kStateKindNames[size_t(node.kind())];
    out += '"';
    if (const auto* r = node.reg()) {
        out += ",\"value\":";
        if (r->value)
            value_to_json(out, *r->value);
        else
            out += "null";
        out += ",\"dot\":";
        if (r->dot)
            write_dot(out, *r->dot);
        else
            out += "null";
    } else if (const auto* m = node.map()) {
        out += ",\"entries\":";
        write_entry_map(out, m->entries, "dots");
    } else if (const auto* s = node.set()) {
        out += ",\"entries\":";
        write_entry_map(out, s->entries, "adds");
    } else if (const auto* q = node.seq()) {
        out += ",\"entries\":[";
        bool first = true;
        for (const auto& [id, e] : q->entries) {
            if (!first) out += ',';
            first = false;
            out += '[';
            write_element_id(out, id);
            out += ",{\"after\":";
            if (e.after)
                write_element_id(out, *e.after);
            else
                out += "null";
            out += ",\"node\":";
            if (e.node)
                write_node(out, *e.node);
            else
                out += "null";
            out += e.inserted ? ",\"inserted\":true}]" : ",\"inserted\":false}]";
        }
        out += "],\"deletes\":[";
        first = true;
        for (const auto& [id, dots] : q->deletes) {
            if (!first) out += ',';
            first = false;
            out += '[';
            write_element_id(out, id);
            out += ',';
            write_dot_list(out, dots);
            out += ']';
        }
        out += ']';
    }
    out += '}';
}

void write_state(std::string& out, uint32_t state_version, std::string_view spec_hash, const CausalContext& context,
                 const Fingerprints& fingerprints, const NodeState& root) {
    out += "{\"state_version\":";
    append_u64(out, state_version);
    out += ",\"spec_hash\":";
    append_json_string(out, spec_hash);
    out += ",\"context\":{";
    bool any = false;
    if (!context.compacted.empty()) {
        out += "\"compacted\":{";
        bool first = true;
        for (const auto& [r, c] : context.compacted) {
            if (!first) out += ',';
            first = false;
            append_json_string(out, r);
            out += ':';
            append_u64(out, c);
        }
        out += '}';
        any = true;
    }
    if (!context.dots.empty()) {
        if (any) out += ',';
        out += "\"dots\":";
        write_dot_list(out, context.dots);
    }
    out += '}';
    if (!fingerprints.empty()) {
        out += ",\"fingerprints\":[";
        bool first = true;
        for (const auto& [d, fp] : fingerprints) {
            if (!first) out += ',';
            first = false;
            out += '[';
            write_dot(out, d);
            out += ',';
            append_json_string(out, fp);
            out += ']';
        }
        out += ']';
    }
    out += ",\"root\":";
    write_node(out, root);
    out += '}';
}

// ---- reading -----------------------------------------------------------------------

namespace {

inline constexpr std::string_view kStateFields[] = {"state_version", "spec_hash", "context", "fingerprints", "root"};
inline constexpr std::string_view kContextFields[] = {"compacted", "dots"};
inline constexpr std::string_view kRegisterFields[] = {"value", "dot"};
inline constexpr std::string_view kEntriesFields[] = {"entries"};
inline constexpr std::string_view kSequenceFields[] = {"entries", "deletes"};
inline constexpr std::string_view kMapEntryFields[] = {"node", "dots", "removed", "removal_ops"};
inline constexpr std::string_view kSetEntryFields[] = {"node", "adds", "removed", "removal_ops"};
inline constexpr std::string_view kSeqEntryFields[] = {"after", "node", "inserted"};

const de::StructSpec kStateSpec{"CrdtState", "struct CrdtState", "struct CrdtState with 5 elements", kStateFields,
                                uint64_t(1) << 3, true};
const de::StructSpec kContextSpec{"CausalContext", "struct CausalContext", "struct CausalContext with 2 elements",
                                  kContextFields, 3, true};
const de::StructSpec kNodeSpecs[] = {
    {"Register", "struct variant NodeState::Register", "struct variant NodeState::Register with 2 elements",
     kRegisterFields, 3, true},
    {"Map", "struct variant NodeState::Map", "struct variant NodeState::Map with 1 element", kEntriesFields, 0, true},
    {"Set", "struct variant NodeState::Set", "struct variant NodeState::Set with 1 element", kEntriesFields, 0, true},
    {"Sequence", "struct variant NodeState::Sequence", "struct variant NodeState::Sequence with 2 elements",
     kSequenceFields, 0, true},
};
const de::StructSpec kMapEntrySpec{"MapEntryState", "struct MapEntryState", "struct MapEntryState with 4 elements",
                                   kMapEntryFields, 0b1110, false};
const de::StructSpec kSetEntrySpec{"SetEntryState", "struct SetEntryState", "struct SetEntryState with 4 elements",
                                   kSetEntryFields, 0b1110, false};
const de::StructSpec kSeqEntrySpec{"SequenceEntryState", "struct SequenceEntryState",
                                   "struct SequenceEntryState with 3 elements", kSeqEntryFields, 0b011, false};
const tagged::TagSpec kNodeTag{"internally tagged enum NodeState",
                               std::span<const std::string_view>(kStateKindNames, 4)};

inline constexpr std::string_view kPair = "a tuple of size 2";

// A two-element array: `fa` reads the first element, `fb` the second.
template <class FA, class FB>
struct PairVisitor : de::Visitor<PairVisitor<FA, FB>, void> {
    FA& fa;
    FB& fb;
    PairVisitor(FA& a, FB& b) : fa(a), fb(b) {}
    std::string_view expecting() const { return kPair; }
    template <class A>
    DeResult<void> visit_seq(A& seq) {
        if (!NV_TRY(seq.next_element(fa))) return de::fail(Error::invalid_length(0, kPair));
        if (!NV_TRY(seq.next_element(fb))) return de::fail(Error::invalid_length(1, kPair));
        return {};
    }
};

template <class D, class FA, class FB>
DeResult<void> read_pair(D& de, FA&& fa, FB&& fb) {
    PairVisitor<FA, FB> v(fa, fb);
    return de.deserialize_tuple(2, v);
}

template <class D>
DeResult<DotSet> read_dot_set(D& d) {
    DotSet dots;
    NV_CHECK(de::read_seq(d, [&](auto& e) -> DeResult<void> {
        dots.insert(NV_TRY(records::read_dot(e)));
        return {};
    }));
    return dots;
}

// A list of pairs, read whole and then put into an ordered map; a repeated
// key fails with `duplicate`.
template <class K, class V, class D, class FK, class FV>
DeResult<std::map<K, V>> read_pair_map(D& d, FK&& read_key, FV&& read_value, const char* duplicate) {
    std::vector<std::pair<K, V>> pairs;
    NV_CHECK(de::read_seq(d, [&](auto& e) -> DeResult<void> {
        K k{};
        V v{};
        NV_CHECK(read_pair(
            e,
            [&](auto& x) -> DeResult<void> {
                k = NV_TRY(read_key(x));
                return {};
            },
            [&](auto& x) -> DeResult<void> {
                v = NV_TRY(read_value(x));
                return {};
            }));
        pairs.emplace_back(std::move(k), std::move(v));
        return {};
    }));
    std::map<K, V> out;
    for (auto& [k, v] : pairs)
        if (!out.emplace(std::move(k), std::move(v)).second) return de::fail(Error::custom(duplicate));
    return out;
}

template <class D>
DeResult<NodeState> read_node(D& de);

template <class Entry, class D>
DeResult<Entry> read_entry(D& de, const de::StructSpec& spec) {
    Entry e;
    bool has_node = false;
    NV_CHECK(de::read_struct(de, spec, [&](size_t f, auto& x) -> DeResult<void> {
        switch (f) {
            case 0:
                e.node = NodePtr(NV_TRY(read_node(x)));
                has_node = true;
                break;
            case 1:
                if constexpr (requires { e.adds; })
                    e.adds = NV_TRY(read_dot_set(x));
                else
                    e.dots = NV_TRY(read_dot_set(x));
                break;
            case 2: e.removed = NV_TRY(read_dot_set(x)); break;
            default: e.removal_ops = NV_TRY(read_dot_set(x)); break;
        }
        return {};
    }));
    NORVANE_EXPECT(has_node, "entry node read");
    return e;
}

template <class Entry>
using EntryMap = std::map<std::string, Entry, std::less<>>;

template <class Entry>
struct EntryMapVisitor : de::Visitor<EntryMapVisitor<Entry>, EntryMap<Entry>> {
    const de::StructSpec& spec;
    explicit EntryMapVisitor(const de::StructSpec& s) : spec(s) {}
    std::string_view expecting() const { return "a map"; }
    template <class A>
    DeResult<EntryMap<Entry>> visit_map(A& map) {
        EntryMap<Entry> out;
        for (;;) {
            std::string key;
            if (!NV_TRY(de::next_string_key(map, key))) break;
            Entry e;
            NV_CHECK(map.next_value([&](auto& x) -> DeResult<void> {
                e = NV_TRY(read_entry<Entry>(x, spec));
                return {};
            }));
            out.insert_or_assign(std::move(key), std::move(e));
        }
        return out;
    }
};

template <class Entry, class D>
DeResult<EntryMap<Entry>> read_entry_map(D& de, const de::StructSpec& spec) {
    EntryMapVisitor<Entry> v(spec);
    return de.deserialize_map(v);
}

template <class D>
DeResult<SequenceEntryState> read_seq_entry(D& de) {
    SequenceEntryState e;
    NV_CHECK(tagged::read_struct_split(de, kSeqEntrySpec, 0, [&](size_t f, auto& x) -> DeResult<void> {
        switch (f) {
            case 0:
                NV_CHECK(de::read_option(x, [&](auto& y) -> DeResult<void> {
                    e.after = NV_TRY(records::read_element_id(y));
                    return {};
                }));
                break;
            case 1:
                NV_CHECK(de::read_option(x, [&](auto& y) -> DeResult<void> {
                    e.node = NodePtr(NV_TRY(read_node(y)));
                    return {};
                }));
                break;
            default: e.inserted = NV_TRY(de::read_bool(x)); break;
        }
        return {};
    }));
    return e;
}

template <class D>
DeResult<NodeState> read_node(D& de) {
    auto t = NV_TRY(tagged::read_tagged(de, kNodeTag));
    StateKind kind = StateKind(t.idx);
    NodeState node = NodeState::empty(kind);
    const de::StructSpec& spec = kNodeSpecs[t.idx];
    NV_CHECK(tagged::read_fields(t, spec, 0, [&](size_t f, auto& x) -> DeResult<void> {
        if (auto* r = node.reg()) {
            if (f == 0) {
                NV_CHECK(de::read_option(x, [&](auto& y) -> DeResult<void> {
                    r->value = NV_TRY(read_model_value(y));
                    return {};
                }));
            } else {
                NV_CHECK(de::read_option(x, [&](auto& y) -> DeResult<void> {
                    r->dot = NV_TRY(records::read_dot(y));
                    return {};
                }));
            }
        } else if (auto* m = node.map()) {
            m->entries = NV_TRY(read_entry_map<MapEntryState>(x, kMapEntrySpec));
        } else if (auto* s = node.set()) {
            s->entries = NV_TRY(read_entry_map<SetEntryState>(x, kSetEntrySpec));
        } else if (auto* q = node.seq()) {
            if (f == 0) {
                auto entries = NV_TRY((read_pair_map<ElementId, SequenceEntryState>(
                    x, [](auto& y) { return records::read_element_id(y); },
                    [](auto& y) { return read_seq_entry(y); }, errors::kDuplicateElementId)));
                std::vector<std::pair<ElementId, SequenceEntryState>> sorted;
                sorted.reserve(entries.size());
                for (auto& [id, e] : entries) sorted.emplace_back(id, std::move(e));
                q->entries = FlatMap<ElementId, SequenceEntryState>::from_sorted(std::move(sorted));
            } else {
                q->deletes = NV_TRY((read_pair_map<ElementId, DotSet>(
                    x, [](auto& y) { return records::read_element_id(y); },
                    [](auto& y) { return read_dot_set(y); }, errors::kDuplicateDeletionId)));
            }
        }
        return {};
    }));
    return node;
}

DeResult<CrdtState> read_state(json::Reader& r) {
    CrdtState st;
    NV_CHECK(de::read_struct(r, kStateSpec, [&](size_t f, json::Reader& x) -> DeResult<void> {
        switch (f) {
            case 0: st.state_version = NV_TRY(de::read_u32(x)); break;
            case 1: st.spec_hash = NV_TRY(de::read_string(x)); break;
            case 2:
                NV_CHECK(de::read_struct(x, kContextSpec, [&](size_t g, json::Reader& y) -> DeResult<void> {
                    if (g == 0) {
                        records::FrontierVisitor v;
                        st.context.compacted = NV_TRY(y.deserialize_map(v));
                    } else {
                        st.context.dots = NV_TRY(read_dot_set(y));
                    }
                    return {};
                }));
                break;
            case 3:
                st.fingerprints = NV_TRY((read_pair_map<Dot, std::string>(
                    x, [](auto& y) { return records::read_dot(y); }, [](auto& y) { return de::read_string(y); },
                    errors::kDuplicateFingerprintDot)));
                break;
            default: st.root = NV_TRY(read_node(x)); break;
        }
        return {};
    }));
    return st;
}

}  // namespace

Result<CrdtState> parse_state(std::string_view text) {
    json::Reader r(text);
    auto st = read_state(r);
    if (!st) return fail(de::json_error_text(st.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*st);
}

}  // namespace norvane::crdt
