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

// A JSON array of the dots `each(f)` calls `f` with, in the order it calls.
template <class Each>
static void write_dots(std::string& out, Each&& each) {
    out += '[';
    bool first = true;
    each([&](const Dot& d) {
        if (!first) out += ',';
        first = false;
        write_dot(out, d);
        return true;
    });
    out += ']';
}

template <class Dots>
static void write_dot_list(std::string& out, const Dots& dots) {
    write_dots(out, [&](auto&& f) {
        for (const Dot& d : dots) f(d);
    });
}

// The optional dot lists of an entry, each only when non-empty.
static void write_opt_dots(std::string& out, std::string_view key, const DotRuns& dots) {
    if (dots.empty()) return;
    out += ",\"";
    out += key;
    out += "\":";
    write_dots(out, [&](auto&& f) { dots.for_each(f); });
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
        write_opt_dots(out, dots_key, e.writes);
        write_opt_dots(out, "removed", e.removed());
        write_opt_dots(out, "removal_ops", e.removal_ops());
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
        q->for_each_entry([&](const SequenceNode::Element& e, const std::optional<ElementId>& after) {
            if (!first) out += ',';
            first = false;
            out += '[';
            write_element_id(out, e.id);
            out += ",{\"after\":";
            if (after)
                write_element_id(out, *after);
            else
                out += "null";
            out += ",\"node\":";
            if (e.plain()) {
                // A register written at the element's own dot.
                out += "{\"kind\":\"register\",\"value\":";
                e.write_plain_value(out);
                out += ",\"dot\":";
                write_dot(out, e.id.dot);
                out += '}';
            } else if (e.node) {
                write_node(out, *e.node);
            } else {
                out += "null";
            }
            out += e.inserted ? ",\"inserted\":true}]" : ",\"inserted\":false}]";
        });
        out += "],\"deletes\":[";
        first = true;
        q->deletes().for_each([&](const ElementId& id, const DeleteDots& dots) {
            if (!first) out += ',';
            first = false;
            out += '[';
            write_element_id(out, id);
            out += ',';
            write_dot_list(out, dots);
            out += ']';
        });
        out += ']';
    }
    out += '}';
}

void write_state(std::string& out, uint32_t state_version, std::string_view spec_hash, const CausalContext& context,
                 const NodeState& root) {
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
    if (!context.empty()) {
        if (any) out += ',';
        out += "\"dots\":";
        write_dots(out, [&](auto&& f) { context.for_each(f); });
    }
    out += '}';
    if (!context.empty()) {
        out += ",\"fingerprints\":[";
        bool first = true;
        context.for_each_fingerprint([&](const Dot& d, std::string_view fp) {
            if (!first) out += ',';
            first = false;
            out += '[';
            write_dot(out, d);
            out += ',';
            append_json_string(out, fp);
            out += ']';
        });
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

DotRuns runs_of(const DotSet& dots) {
    DotRuns out;
    for (const Dot& d : dots) out.insert(d);
    return out;
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
            case 1: e.writes = runs_of(NV_TRY(read_dot_set(x))); break;
            case 2: e.removed_to_change() = runs_of(NV_TRY(read_dot_set(x))); break;
            default: e.removal_ops_to_change() = runs_of(NV_TRY(read_dot_set(x))); break;
        }
        return {};
    }));
    NORVANE_EXPECT(has_node, "entry node read");
    return e;
}

template <class Entry>
using EntryMap = std::map<std::string, Entry, KeyLess>;

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

// Nodes in the form the writer gives them, read straight from the text: the
// kind first, then the fields in their order, an entry's empty dot lists left
// out. None, the reader back where it started, for anything else: the general
// reader then reads it with its own texts and positions.
namespace direct {

using records::direct::close;
using records::direct::key;
using records::direct::open;

// Reads a node into `out`, which holds an empty register; false to give up
// (`out` then holds what was read so far).
bool node_into(json::Reader& r, NodeState& out);

// An array whose elements `element(r)` reads; false to give up.
template <class F>
bool array(json::Reader& r, F&& element) {
    if (r.parse_whitespace() != '[' || !r.enter()) return false;
    r.eat_char();
    bool first = true;
    for (;;) {
        auto more = r.next_element(first);
        if (!more) return false;
        if (!*more) break;
        if (!element(r)) return false;
    }
    r.eat_char();
    r.leave();
    return true;
}

bool null_next(json::Reader& r) {
    if (r.parse_whitespace() != 'n') return false;
    return r.eat_literal("null");
}

// Reads a list of dots into `out`, which holds none.
bool dot_runs(json::Reader& r, DotRuns& out) {
    std::optional<Dot> last;
    return array(r, [&](json::Reader& x) {
        auto d = records::direct::dot(x);
        // Ascending without repeats, as written.
        if (!d || (last && !(*last < *d))) return false;
        last = d;
        out.insert(*d);
        return true;
    });
}

// Reads a map entry or set member into `e`, a new entry.
bool entry(json::Reader& r, std::string_view writes, EntryState& e) {
    bool first = true;
    if (!open(r) || !key(r, first, "node")) return false;
    e.node = NodePtr(NodeState{});
    if (!node_into(r, *e.node)) return false;
    // The dot lists that are there, in their order.
    const std::string_view lists[] = {writes, "removed", "removal_ops"};
    auto field = [&](size_t i) -> DotRuns& {
        return i == 0 ? e.writes : i == 1 ? e.removed_to_change() : e.removal_ops_to_change();
    };
    size_t next = 0;
    for (;;) {
        auto more = r.next_member(first);
        if (!more) return false;
        if (!*more) break;
        r.eat_char();
        auto k = r.parse_str();
        if (!k) return false;
        while (next < 3 && *k != lists[next]) ++next;
        if (next == 3 || !r.parse_object_colon()) return false;
        if (!dot_runs(r, field(next)) || field(next).empty()) return false;
        ++next;
    }
    r.eat_char();
    r.leave();
    return true;
}

template <class Entries>
bool entries(json::Reader& r, Entries& out, std::string_view writes) {
    if (r.parse_whitespace() != '{' || !r.enter()) return false;
    r.eat_char();
    bool first = true;
    for (;;) {
        auto more = r.next_member(first);
        if (!more) return false;
        if (!*more) break;
        r.eat_char();
        auto k = r.parse_str();
        if (!k) return false;
        // Saved states list keys in ascending order: each goes at the end,
        // and is read in place.
        const size_t before = out.size();
        auto at = out.emplace_hint(out.end(), std::string(*k), EntryState{});
        if (out.size() == before) return false;  // a repeated key
        if (!r.parse_object_colon() || !entry(r, writes, at->second)) return false;
    }
    r.eat_char();
    r.leave();
    return true;
}

std::optional<SequenceEntryState> seq_entry(json::Reader& r, const ElementId& id) {
    bool first = true;
    SequenceEntryState e;
    if (!open(r) || !key(r, first, "after")) return std::nullopt;
    if (!null_next(r)) {
        auto after = records::direct::element_id(r);
        if (!after) return std::nullopt;
        e.after = *after;
    }
    if (!key(r, first, "node")) return std::nullopt;
    if (!null_next(r)) {
        NodeState n;
        if (!node_into(r, n)) return std::nullopt;
        // A register written at the entry's own dot (what an insertion made)
        // keeps its value alone.
        if (own_register_value(n, id.dot)) e.plain = std::move(n.reg()->value);
        else e.node = NodePtr(std::move(n));
    }
    if (!key(r, first, "inserted")) return std::nullopt;
    if (r.parse_whitespace() == 't' && r.eat_literal("true")) e.inserted = true;
    else if (r.parse_whitespace() == 'f' && r.eat_literal("false")) e.inserted = false;
    else return std::nullopt;
    if (!close(r, first)) return std::nullopt;
    return e;
}

// A two-element array: `fa` reads the first, `fb` the second.
template <class FA, class FB>
bool pair(json::Reader& r, FA&& fa, FB&& fb) {
    size_t n = 0;
    return array(r, [&](json::Reader& x) { return ++n == 1 ? fa(x) : n == 2 && fb(x); }) && n == 2;
}

// An array of [element id, x] pairs in ascending id order without repeats, as
// written: `second(reader, id)` reads x, `keep(id)` keeps the pair just read.
template <class Second, class Keep>
bool id_pairs(json::Reader& r, Second&& second, Keep&& keep) {
    std::optional<ElementId> last;
    return array(r, [&](json::Reader& x) {
        ElementId id;
        bool got = pair(
            x,
            [&](json::Reader& y) {
                auto i = records::direct::element_id(y);
                if (i) id = *i;
                return i.has_value();
            },
            [&](json::Reader& y) { return second(y, id); });
        if (!got || (last && !(*last < id))) return false;
        last = id;
        keep(id);
        return true;
    });
}

bool node_into(json::Reader& r, NodeState& out) {
    bool first = true;
    if (!open(r) || !key(r, first, "kind") || r.parse_whitespace() != '"') return false;
    r.eat_char();
    auto kind = r.parse_str();
    if (!kind) return false;
    if (*kind == "register") {
        RegisterNode& reg = *out.reg();
        if (!key(r, first, "value")) return false;
        if (!null_next(r)) {
            auto v = read_model_value(r);
            if (!v) return false;
            reg.value = std::move(*v);
        }
        if (!key(r, first, "dot")) return false;
        if (!null_next(r)) {
            auto d = records::direct::dot(r);
            if (!d) return false;
            reg.dot = *d;
        }
        return close(r, first);
    }
    if (*kind == "map" || *kind == "set") {
        const bool map = *kind == "map";
        if (!key(r, first, "entries")) return false;
        bool ok = map ? entries(r, out.v.emplace<MapNode>().entries, "dots")
                      : entries(r, out.v.emplace<SetNode>().entries, "adds");
        return ok && close(r, first);
    }
    if (*kind != "sequence" || !key(r, first, "entries")) return false;
    std::vector<std::pair<ElementId, SequenceEntryState>> items;
    SequenceEntryState e;
    bool ok = id_pairs(
        r,
        [&](json::Reader& y, const ElementId& id) {
            auto s = seq_entry(y, id);
            if (s) e = std::move(*s);
            return s.has_value();
        },
        [&](const ElementId& id) { items.emplace_back(id, std::move(e)); });
    if (!ok || !key(r, first, "deletes")) return false;
    Deletions deletes;
    DeleteDots dots;
    ok = id_pairs(
        r,
        [&](json::Reader& y, const ElementId&) {
            dots = DeleteDots();
            return array(y, [&](json::Reader& z) {
                auto d = records::direct::dot(z);
                return d && dots.insert(*d);
            });
        },
        [&](const ElementId& id) { deletes.load(id, dots); });
    if (!ok || !close(r, first)) return false;
    *out.v.emplace<SequenceBox>().get() = SequenceNode::from_entries(std::move(items), std::move(deletes));
    return true;
}

// The context's dots, ascending without repeats, as written.
bool dot_list(json::Reader& r, std::vector<Dot>& out) {
    return array(r, [&](json::Reader& x) {
        auto d = records::direct::dot(x);
        if (!d || (!out.empty() && !(out.back() < *d))) return false;
        out.push_back(*d);
        return true;
    });
}

// The [dot, fingerprint] pairs, ascending by dot without repeats, as written.
bool fingerprints(json::Reader& r, std::vector<SavedFingerprint>& out) {
    return array(r, [&](json::Reader& x) {
        SavedFingerprint f;
        bool ok = pair(
            x,
            [&](json::Reader& y) {
                auto d = records::direct::dot(y);
                if (d) f.dot = *d;
                return d.has_value();
            },
            [&](json::Reader& y) {
                if (y.parse_whitespace() != '"') return false;
                y.eat_char();
                auto text = y.parse_str();
                if (!text) return false;
                if (!parse_fingerprint(*text, f.digest)) {
                    f.odd = true;
                    f.text = std::string(*text);
                }
                return true;
            });
        if (!ok || (!out.empty() && !(out.back().dot < f.dot))) return false;
        out.push_back(std::move(f));
        return true;
    });
}

}  // namespace direct

template <class D>
DeResult<NodeState> read_node(D& de) {
    if constexpr (std::is_same_v<D, json::Reader>) {
        const json::Reader::Mark start = de.mark();
        NodeState n;
        if (direct::node_into(de, n)) return n;
        de.reset(start);
    }
    auto t = NV_TRY(tagged::read_tagged(de, kNodeTag));
    StateKind kind = StateKind(t.idx);
    NodeState node = NodeState::empty(kind);
    const de::StructSpec& spec = kNodeSpecs[t.idx];
    std::map<ElementId, SequenceEntryState> entries;  // of a sequence
    std::map<ElementId, DotSet> deletes;
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
        } else if (node.seq()) {
            if (f == 0) {
                entries = NV_TRY((read_pair_map<ElementId, SequenceEntryState>(
                    x, [](auto& y) { return records::read_element_id(y); },
                    [](auto& y) { return read_seq_entry(y); }, errors::kDuplicateElementId)));
            } else {
                deletes = NV_TRY((read_pair_map<ElementId, DotSet>(
                    x, [](auto& y) { return records::read_element_id(y); },
                    [](auto& y) { return read_dot_set(y); }, errors::kDuplicateDeletionId)));
            }
        }
        return {};
    }));
    if (node.seq()) {
        std::vector<std::pair<ElementId, SequenceEntryState>> sorted;
        sorted.reserve(entries.size());
        for (auto& [id, e] : entries) sorted.emplace_back(id, std::move(e));
        Deletions dots;
        for (const auto& [id, d] : deletes) dots.load(id, d);
        *node.seq() = SequenceNode::from_entries(std::move(sorted), std::move(dots));
    }
    return node;
}

// Reads `out` with `direct`, the fast reader of the form states are written
// in; when it gives up, puts the reader back and empties `out` for the
// reader that tells what is wrong.
template <class T, class F>
bool read_direct(json::Reader& r, T& out, F&& direct) {
    const json::Reader::Mark start = r.mark();
    if (direct(r, out)) return true;
    r.reset(start);
    out = T{};
    return false;
}

// The context's dots: a list read whole, then sorted, a repeat counting once.
// Held in one vector rather than a node per dot: a saved state holds one dot
// per operation it keeps.
DeResult<std::vector<Dot>> read_dot_list(json::Reader& r) {
    std::vector<Dot> dots;
    if (read_direct(r, dots, direct::dot_list)) return dots;
    NV_CHECK(de::read_seq(r, [&](json::Reader& e) -> DeResult<void> {
        dots.push_back(NV_TRY(records::read_dot(e)));
        return {};
    }));
    if (!std::is_sorted(dots.begin(), dots.end())) std::sort(dots.begin(), dots.end());
    dots.erase(std::unique(dots.begin(), dots.end()), dots.end());
    return dots;
}

// The [dot, fingerprint] pairs, read whole; a dot named twice fails. A text
// is kept only when it is not the usual form: the others keep their digests.
DeResult<std::vector<SavedFingerprint>> read_fingerprints(json::Reader& r) {
    std::vector<SavedFingerprint> out;
    if (read_direct(r, out, direct::fingerprints)) return out;
    NV_CHECK(de::read_seq(r, [&](json::Reader& e) -> DeResult<void> {
        SavedFingerprint f;
        NV_CHECK(read_pair(
            e,
            [&](json::Reader& x) -> DeResult<void> {
                f.dot = NV_TRY(records::read_dot(x));
                return {};
            },
            [&](json::Reader& x) -> DeResult<void> {
                std::string text = NV_TRY(de::read_string(x));
                if (!parse_fingerprint(text, f.digest)) {
                    f.odd = true;
                    f.text = std::move(text);
                }
                return {};
            }));
        out.push_back(std::move(f));
        return {};
    }));
    auto by_dot = [](const SavedFingerprint& a, const SavedFingerprint& b) { return a.dot < b.dot; };
    if (!std::is_sorted(out.begin(), out.end(), by_dot)) std::stable_sort(out.begin(), out.end(), by_dot);
    auto same = [](const SavedFingerprint& a, const SavedFingerprint& b) { return a.dot == b.dot; };
    if (std::adjacent_find(out.begin(), out.end(), same) != out.end())
        return de::fail(Error::custom(errors::kDuplicateFingerprintDot));
    return out;
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
                        st.compacted = NV_TRY(y.deserialize_map(v));
                    } else {
                        st.dots = NV_TRY(read_dot_list(y));
                    }
                    return {};
                }));
                break;
            case 3: st.fingerprints = NV_TRY(read_fingerprints(x)); break;
            default: st.root = NV_TRY(read_node(x)); break;
        }
        return {};
    }));
    return st;
}

}  // namespace

Result<CrdtState> parse_state(std::string_view text, ReplicaTable& replicas) {
    InternScope scope(replicas);
    json::Reader r(text);
    auto st = read_state(r);
    if (!st) return fail(de::json_error_text(st.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*st);
}

}  // namespace norvane::crdt
