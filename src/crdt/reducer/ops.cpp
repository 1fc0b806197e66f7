// Operations, mutations and effects: their JSON readers and writers and fingerprints.
#include "crdt/reducer/ops.hpp"

#include <charconv>
#include <cstring>

#include "crdt/reducer/records.hpp"
#include "diff/patch_json.hpp"
#include "util/float_text.hpp"
#include "util/sha256.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

using de::DeResult;
using de::Error;

// ---- writers -------------------------------------------------------------------

namespace {

// Raw writers into room made beforehand: a dot or an element id is written
// with one check of the text's capacity instead of one per piece.
template <size_t N>
char* put(char* o, const char (&lit)[N]) {
    __builtin_memcpy(o, lit, N - 1);
    return o + N - 1;
}
char* put(char* o, std::string_view s) {
    __builtin_memcpy(o, s.data(), s.size());
    return o + s.size();
}
char* put_u64(char* o, uint64_t v) { return std::to_chars(o, o + 20, v).ptr; }
char* put_dot(char* o, const Dot& d) {
    o = put(o, "{\"counter\":");
    o = put_u64(o, d.counter);
    o = put(o, ",\"replica\":");
    o = put(o, d.replica->json);
    *o++ = '}';
    return o;
}
// The most a dot's text takes besides its replica's JSON, and an element id's.
constexpr size_t kDotRoom = 11 + 20 + 11 + 1;
constexpr size_t kIdRoom = 7 + kDotRoom + 9 + 10 + 1;
char* put_element_id(char* o, const ElementId& id) {
    o = put(o, "{\"dot\":");
    o = put_dot(o, id.dot);
    o = put(o, ",\"index\":");
    o = put_u64(o, id.index);
    *o++ = '}';
    return o;
}
// Appends what `write(char*)` writes, at most `room` bytes.
template <class F>
void append_at_most(std::string& out, size_t room, F&& write) {
    const size_t at = out.size();
    out.resize_and_overwrite(at + room, [&](char* buf, size_t) { return size_t(write(buf + at) - buf); });
}

}  // namespace

void write_dot(std::string& out, const Dot& d) {
    append_at_most(out, kDotRoom + d.replica->json.size(), [&](char* o) { return put_dot(o, d); });
}

void write_element_id(std::string& out, const ElementId& id) {
    append_at_most(out, kIdRoom + id.dot.replica->json.size(), [&](char* o) { return put_element_id(o, id); });
}

static void write_kind(std::string& out, std::string_view name) {
    out += "{\"kind\":\"";
    out += name;  // kind names need no escaping
    out += '"';
}

void write_path(std::string& out, const CrdtPath& path) {
    out += '[';
    bool first = true;
    for (const auto& seg : path) {
        if (!first) out += ',';
        first = false;
        write_kind(out, kSegmentKindNames[size_t(seg.kind)]);
        if (seg.kind == PathSegment::Kind::Element) {
            out += ",\"id\":";
            write_element_id(out, seg.id);
        } else {
            out += ",\"key\":";
            append_json_string(out, seg.key);
        }
        out += '}';
    }
    out += ']';
}

template <class T, class W>
static void write_list(std::string& out, const std::vector<T>& items, W&& write) {
    out += '[';
    bool first = true;
    for (const auto& x : items) {
        if (!first) out += ',';
        first = false;
        write(out, x);
    }
    out += ']';
}

static void write_values(std::string& out, const std::vector<Value>& vs) {
    write_list(out, vs, [](std::string& o, const Value& v) { value_to_json(o, v); });
}

static void write_after(std::string& out, const std::optional<ElementId>& after) {
    out += ",\"after\":";
    if (after)
        write_element_id(out, *after);
    else
        out += "null";
}

static void write_key(std::string& out, const std::string& key) {
    out += ",\"key\":";
    append_json_string(out, key);
}

static void write_value(std::string& out, const Value& v) {
    out += ",\"value\":";
    value_to_json(out, v);
}

// Writes `op`; `where`, when given, receives the places of its parts, as
// offsets from where it starts in `out`.
static void write_op_at(std::string& out, const CrdtOp& op, OpText* where) {
    const size_t start = out.size();
    write_kind(out, kOpKindNames[size_t(op.kind)]);
    if (where) where->dot_begin = out.size() - start;
    out += ",\"dot\":";
    write_dot(out, op.dot);
    if (where) where->dot_end = out.size() - start;
    out += ",\"path\":";
    write_path(out, op.path);
    switch (op.kind) {
        case OpKind::RegisterSet:
        case OpKind::SetAdd:
            write_value(out, op.value);
            break;
        case OpKind::MapSet:
            write_key(out, op.key);
            write_value(out, op.value);
            break;
        case OpKind::MapRemove:
        case OpKind::SetRemove:
            write_key(out, op.key);
            out += ",\"removed\":";
            write_list(out, op.removed, write_dot);
            break;
        case OpKind::SequenceInsert:
            write_after(out, op.after);
            if (where) where->values_begin = out.size() - start;
            out += ",\"values\":";
            write_values(out, op.values);
            break;
        case OpKind::SequenceDelete:
        case OpKind::SequenceSplice:
            out += ",\"ids\":";
            write_list(out, op.ids, write_element_id);
            break;
    }
    out += '}';
}

void write_op(std::string& out, const CrdtOp& op) { write_op_at(out, op, nullptr); }

void write_delta(std::string& out, const CrdtDelta& d) {
    write_kind(out, kOpKindNames[size_t(d.kind)]);
    out += ",\"path\":";
    write_path(out, d.path);
    switch (d.kind) {
        case OpKind::RegisterSet:
            write_value(out, d.value);
            break;
        case OpKind::MapSet:
        case OpKind::SetAdd:
            write_key(out, d.key);
            write_value(out, d.value);
            break;
        case OpKind::MapRemove:
        case OpKind::SetRemove:
            write_key(out, d.key);
            break;
        case OpKind::SequenceInsert:
            write_after(out, d.after);
            out += ",\"elements\":";
            write_list(out, d.elements, [](std::string& o, const SequenceDeltaElement& e) {
                o += "{\"id\":";
                write_element_id(o, e.id);
                o += ",\"value\":";
                value_to_json(o, e.value);
                o += '}';
            });
            break;
        case OpKind::SequenceDelete:
        case OpKind::SequenceSplice:
            out += ",\"ids\":";
            write_list(out, d.ids, write_element_id);
            break;
    }
    out += '}';
}

// The end of the JSON value that starts at `p`, in text known to be JSON.
static const char* json_value_end(const char* p) {
    // Mostly a string value, `{"Str":"…"}`: its text ends at the first
    // quotation mark not escaped.
    static constexpr char kStr[] = R"({"Str":")";
    if (std::memcmp(p, kStr, 8) == 0) {
        const char* q = p + 8;
        while (*q != '"') q += *q == '\\' ? 2 : 1;
        return q + 2;  // past `"}`
    }
    int depth = 0;
    do {
        const char c = *p++;
        if (c == '"') {
            while (*p != '"') p += *p == '\\' ? 2 : 1;
            ++p;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    } while (depth > 0);
    return p;
}

// The elements of an insertion whose elements hold its values as given: their
// ids are its dot with their places, their values its values, both copied
// from its text.
static void write_elements_as_given(std::string& out, const CrdtEffect& e, const CrdtDelta& d) {
    static constexpr std::string_view kDotKey = ",\"dot\":", kValuesOpen = ",\"values\":[";
    const CrdtOp& op = e.ops[d.op];
    const std::string_view text = e.op_texts.substr(d.op_at, d.op_size);
    const std::string_view dot = text.substr(d.dot_begin + kDotKey.size(), d.dot_end - d.dot_begin - kDotKey.size());
    // The text ends with the values' array and the operation's brace.
    const char* value = text.data() + d.op_end + kValuesOpen.size();
    out += ",\"elements\":[";
    for (size_t i = 0; i < op.values.size(); ++i) {
        const char* end = op.values.size() == 1 ? text.data() + text.size() - 2 : json_value_end(value);
        const std::string_view v(value, size_t(end - value));
        append_at_most(out, 1 + 14 + dot.size() + 9 + 20 + 10 + v.size() + 1, [&](char* o) {
            if (i > 0) *o++ = ',';
            o = put(o, "{\"id\":{\"dot\":");
            o = put(o, dot);
            o = put(o, ",\"index\":");
            o = put_u64(o, i);
            o = put(o, "},\"value\":");
            o = put(o, v);
            *o++ = '}';
            return o;
        });
        value = end + 1;  // past the comma
    }
    out += "]}";
}

size_t deltas_size_hint(const CrdtEffect& e) {
    // Per element: `{"id":{"dot":` `,"index":` `},"value":` `}` and a comma,
    // with room for the index's digits.
    static constexpr size_t kElement = 13 + 9 + 10 + 1 + 1 + 8;
    size_t n = 0;
    for (const CrdtDelta& d : e.deltas) {
        if (d.from == CrdtDelta::From::OpValues) {
            n += d.op_size + d.values * (kElement + d.dot_end - d.dot_begin);
        } else if (d.from == CrdtDelta::From::OpText) {
            n += d.op_end + d.text_size;
        }
    }
    return n;
}

void write_effect(std::string& out, const CrdtEffect& e) {
    out += "{\"patch\":";
    patch_to_json(out, e.patch);
    out += ",\"deltas\":";
    write_list(out, e.deltas, [&](std::string& o, const CrdtDelta& d) {
        if (d.from == CrdtDelta::From::Fields) return write_delta(o, d);
        o.append(e.op_texts, d.op_at, d.dot_begin);
        o.append(e.op_texts, d.op_at + d.dot_end, d.op_end - d.dot_end);
        if (d.from == CrdtDelta::From::OpText) o.append(e.texts, d.text_begin, d.text_size);
        else write_elements_as_given(o, e, d);
    });
    out += ",\"applied\":";
    append_u64(out, e.applied);
    out += '}';
}

void place_source(std::string_view buffer, size_t at, const CrdtOp& op, OpText* where) {
    where->at = at;
    where->text = buffer.substr(at, op.source.size());
    where->dot_begin = op.source_dot_begin;
    where->dot_end = op.source_dot_end;
    where->values_begin = op.source_values_begin;
}

void copy_op(std::string& out, const CrdtOp& op, OpText* where) {
    const size_t at = out.size();
    out += op.source;
    place_source(out, at, op, where);
}

void write_op_placed(std::string& out, const CrdtOp& op, OpText* where) {
    const size_t start = out.size();
    where->at = start;
    write_op_at(out, op, where);
    where->text = std::string_view(out).substr(start);
}

Sha256Digest write_op_fingerprinted(std::string& out, const CrdtOp& op, OpText* where) {
    OpText parts;
    write_op_placed(out, op, &parts);
    if (where) *where = parts;
    return sha256(parts.text);
}

// ---- readers ---------------------------------------------------------------------

namespace {

inline constexpr std::string_view kOpFields[][4] = {
    {"dot", "path", "value"},
    {"dot", "path", "key", "value"},
    {"dot", "path", "key", "removed"},
    {"dot", "path", "value"},
    {"dot", "path", "key", "removed"},
    {"dot", "path", "after", "values"},
    {"dot", "path", "ids"},
};
inline constexpr size_t kOpFieldCount[] = {3, 4, 4, 3, 4, 4, 3};

inline constexpr std::string_view kMutationFields[][4] = {
    {"path", "value"},
    {"path", "key", "value"},
    {"path", "key"},
    {"path", "value"},
    {"path", "key"},
    {"path", "after", "values"},
    {"path", "ids"},
    {"path", "index", "delete_count", "values"},
};
inline constexpr size_t kMutationFieldCount[] = {2, 3, 2, 2, 2, 3, 2, 4};

inline constexpr std::string_view kOpArity[] = {
    "struct variant CrdtOp::RegisterSet with 3 elements",
    "struct variant CrdtOp::MapSet with 4 elements",
    "struct variant CrdtOp::MapRemove with 4 elements",
    "struct variant CrdtOp::SetAdd with 3 elements",
    "struct variant CrdtOp::SetRemove with 4 elements",
    "struct variant CrdtOp::SequenceInsert with 4 elements",
    "struct variant CrdtOp::SequenceDelete with 3 elements",
};
inline constexpr std::string_view kMutationArity[] = {
    "struct variant CrdtMutation::RegisterSet with 2 elements",
    "struct variant CrdtMutation::MapSet with 3 elements",
    "struct variant CrdtMutation::MapRemove with 2 elements",
    "struct variant CrdtMutation::SetAdd with 2 elements",
    "struct variant CrdtMutation::SetRemove with 2 elements",
    "struct variant CrdtMutation::SequenceInsert with 3 elements",
    "struct variant CrdtMutation::SequenceDelete with 2 elements",
    "struct variant CrdtMutation::SequenceSplice with 4 elements",
};

const tagged::TagSpec kOpTag{"internally tagged enum CrdtOp", std::span<const std::string_view>(kOpKindNames, 7)};
const tagged::TagSpec kMutationTag{"internally tagged enum CrdtMutation",
                                   std::span<const std::string_view>(kOpKindNames, 8)};

// The object form leaves `after` out for an insertion at the head.
uint64_t after_mask(std::span<const std::string_view> fields) {
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i] == "after") return uint64_t(1) << i;
    return 0;
}

namespace exact = records::direct::exact;

// A JSON string as the writers write it, decoded into `out`: the bytes of
// exact::plain_run and the escapes the writers use (`\"`, `\\`, `\b`, `\f`,
// `\n`, `\r`, `\t`, and `\u00xx` in lowercase for the other control
// characters). False, and nothing consumed, otherwise.
bool exact_string(const char*& p, const char* end, bool utf8, std::string& out) {
    const char* q = p;
    if (q == end || *q != '"') return false;
    ++q;
    out.clear();
    for (;;) {
        const char* from = q;
        q = exact::plain_run(q, end, utf8);
        out.append(from, q);
        if (q == end || *q != '\\') break;
        if (end - q < 2) return false;
        char c;
        switch (q[1]) {
            case '"': c = '"'; break;
            case '\\': c = '\\'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'u': {
                if (end - q < 6 || q[2] != '0' || q[3] != '0' || (q[4] != '0' && q[4] != '1')) return false;
                const char h = q[5];
                const int low = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
                if (low < 0) return false;
                c = char((q[4] - '0') << 4 | low);
                // Those with an escape of their own are written with it.
                if (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') return false;
                out += c;
                q += 6;
                continue;
            }
            default: return false;
        }
        out += c;
        q += 2;
    }
    if (q == end || *q != '"') return false;
    p = q + 1;
    return true;
}

// An integer as the writers write it: decimal digits without a leading zero,
// a minus sign before any but zero, within 64 bits.
bool exact_i64(const char*& p, const char* end, int64_t& out) {
    const char* q = p;
    const bool negative = q < end && *q == '-';
    if (negative) ++q;
    uint64_t magnitude = 0;
    if (!exact::number(q, end, negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX), magnitude)) return false;
    if (negative && magnitude == 0) return false;
    out = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    p = q;
    return true;
}

// A model value as the writers write it, when it is a string, an integer, a
// boolean or null; false, and nothing consumed, for anything else.
bool exact_value(const char*& p, const char* end, bool utf8, Value& out) {
    const char* q = p;
    if (exact::lit(q, end, R"({"Str":)")) {
        const char* plain_end = q < end && *q == '"' ? exact::plain_run(q + 1, end, utf8) : nullptr;
        if (plain_end && exact::lit(plain_end, end, "\"}")) {
            // Mostly: no escapes.
            out.set_str(std::string_view(q + 1, size_t(plain_end - 2 - (q + 1))));
            q = plain_end;
        } else {
            std::string text;
            if (!exact_string(q, end, utf8, text) || !exact::lit(q, end, "}")) return false;
            out = Value::str(std::move(text));
        }
    } else if (exact::lit(q, end, R"({"Int":)")) {
        int64_t v = 0;
        if (!exact_i64(q, end, v) || !exact::lit(q, end, "}")) return false;
        out = Value::integer(v);
    } else if (exact::lit(q, end, R"("Null")")) {
        out = Value::null();
    } else if (exact::lit(q, end, R"({"Bool":true})")) {
        out = Value::boolean(true);
    } else if (exact::lit(q, end, R"({"Bool":false})")) {
        out = Value::boolean(false);
    } else {
        return false;
    }
    p = q;
    return true;
}

// `[` items `]` read by `item(q, end)`, each followed by a comma but the last.
template <class F>
bool exact_list(const char*& p, const char* end, F&& item) {
    const char* q = p;
    if (!exact::lit(q, end, "[")) return false;
    if (!exact::lit(q, end, "]")) {
        do {
            if (!item(q, end)) return false;
        } while (exact::lit(q, end, ","));
        if (!exact::lit(q, end, "]")) return false;
    }
    p = q;
    return true;
}

// The kind an operation's name in the writers' form gives, 7 for none: the
// one name of its length (and first or tenth letter) is compared.
size_t exact_kind(std::string_view name) {
    size_t k = 7;
    switch (name.size()) {
        case 7: k = name[0] == 'm' ? 1 : 3; break;   // map_set, set_add
        case 10: k = name[0] == 'm' ? 2 : 4; break;  // map_remove, set_remove
        case 12: k = 0; break;                       // register_set
        case 15: k = name[9] == 'i' ? 5 : 6; break;  // sequence_insert, sequence_delete
        default: return 7;
    }
    return same_key(name, kOpKindNames[k]) ? k : 7;
}

// An operation exactly as write_op writes it, with values of the kinds
// exact_value reads: its text is then its fingerprint's, and is kept with it.
// False, and nothing consumed, for any other spelling.
bool exact_op(const char*& p, const char* end, bool utf8, CrdtOp& op) {
    const char* const start = p;
    const char* q = p;
    if (!exact::lit(q, end, R"({"kind":")")) return false;
    ReplicaTable& names = InternScope::table();
    const void* close = std::memchr(q, '"', size_t(std::min<ptrdiff_t>(end - q, 16)));
    if (!close) return false;
    const std::string_view name(q, size_t(static_cast<const char*>(close) - q));
    const size_t kind = exact_kind(name);
    if (kind == 7) return false;
    q += name.size() + 1;
    op.kind = OpKind(kind);
    const auto at = [&]() { return size_t(q - start); };
    op.source_dot_begin = at();
    if (!exact::lit(q, end, R"(,"dot":)") || !exact::dot(q, end, op.dot, names)) return false;
    op.source_dot_end = at();
    if (!exact::lit(q, end, R"(,"path":)") || !exact::path(q, end, op.path, names)) return false;
    auto value = [&]() { return exact::lit(q, end, R"(,"value":)") && exact_value(q, end, utf8, op.value); };
    auto key = [&]() { return exact::lit(q, end, R"(,"key":)") && exact_string(q, end, utf8, op.key); };
    switch (op.kind) {
        case OpKind::RegisterSet:
        case OpKind::SetAdd:
            if (!value()) return false;
            break;
        case OpKind::MapSet:
            if (!key() || !value()) return false;
            break;
        case OpKind::MapRemove:
        case OpKind::SetRemove:
            if (!key() || !exact::lit(q, end, R"(,"removed":)") ||
                !exact_list(q, end, [&](const char*& r, const char* e) {
                    return exact::dot(r, e, op.removed.emplace_back(), names);
                }))
                return false;
            break;
        case OpKind::SequenceInsert:
            if (!exact::lit(q, end, R"(,"after":)")) return false;
            if (!exact::lit(q, end, "null") && !exact::element_id(q, end, op.after.emplace(), names)) return false;
            op.source_values_begin = at();
            if (!exact::lit(q, end, R"(,"values":)") ||
                !exact_list(q, end, [&](const char*& r, const char* e) {
                    return exact_value(r, e, utf8, op.values.emplace_back());
                }))
                return false;
            break;
        default:
            if (!exact::lit(q, end, R"(,"ids":)") || !exact_list(q, end, [&](const char*& r, const char* e) {
                    return exact::element_id(r, e, op.ids.emplace_back(), names);
                }))
                return false;
            break;
    }
    if (!exact::lit(q, end, "}")) return false;
    op.source = std::string_view(start, size_t(q - start));
    p = q;
    return true;
}

template <class D>
DeResult<std::vector<Value>> read_values(D& d) {
    std::vector<Value> vs;
    NV_CHECK(de::read_seq(d, [&](auto& e) -> DeResult<void> {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, json::Reader>) {
            Value v;
            const bool utf8 = e.strings_are_utf8();
            if (exact::at(e, [&](const char*& p, const char* end) { return exact_value(p, end, utf8, v); }, '{', 1) ||
                exact::at(e, [&](const char*& p, const char* end) { return exact_value(p, end, utf8, v); }, '"', 0)) {
                vs.push_back(std::move(v));
                return {};
            }
        }
        vs.push_back(NV_TRY(read_model_value(e)));
        return {};
    }));
    return vs;
}

template <class D>
DeResult<std::vector<ElementId>> read_ids(D& d) {
    std::vector<ElementId> ids;
    NV_CHECK(de::read_seq(d, [&](auto& e) -> DeResult<void> {
        ids.push_back(NV_TRY(records::read_element_id(e)));
        return {};
    }));
    return ids;
}

template <class D>
DeResult<std::vector<Dot>> read_dot_list(D& d) {
    std::vector<Dot> dots;
    NV_CHECK(de::read_seq(d, [&](auto& e) -> DeResult<void> {
        dots.push_back(NV_TRY(records::read_dot(e)));
        return {};
    }));
    return dots;
}

template <class D>
DeResult<std::optional<ElementId>> read_after(D& d) {
    std::optional<ElementId> after;
    NV_CHECK(de::read_option(d, [&](auto& e) -> DeResult<void> {
        after = NV_TRY(records::read_element_id(e));
        return {};
    }));
    return after;
}

// Reads the common fields into `t` (an op or a mutation); returns false for
// a field name this helper does not know.
template <class T, class D>
DeResult<bool> read_common(T& t, std::string_view name, D& d) {
    if (name == "path") {
        t.path = NV_TRY(records::read_path(d));
    } else if (name == "key") {
        t.key = NV_TRY(de::read_string(d));
    } else if (name == "value") {
        t.value = NV_TRY(read_model_value(d));
    } else if (name == "after") {
        t.after = NV_TRY(read_after(d));
    } else if (name == "values") {
        t.values = NV_TRY(read_values(d));
    } else if (name == "ids") {
        t.ids = NV_TRY(read_ids(d));
    } else {
        return false;
    }
    return true;
}

// A record tagged by "kind" whose tag comes first, as every writer puts it,
// its fields read straight from the text: `names` lists the kinds, `fields`
// and `counts` their fields, and `read_field(t, name, reader)` reads one. None
// (the reader back where it started) for a record that reads any other way,
// an error included: the buffered reader then reads it with its own texts and
// positions.
template <class T, class F>
std::optional<T> read_kind_first(json::Reader& r, std::span<const std::string_view> names,
                                 const std::string_view (*fields)[4], const size_t* counts, F&& read_field) {
    const json::Reader::Mark start = r.mark();
    auto give_up = [&]() {
        r.reset(start);
        return std::optional<T>();
    };
    if (r.parse_whitespace() != '{' || !r.enter()) return give_up();
    r.eat_char();
    bool first = true;
    auto key = [&]() -> std::optional<std::string_view> {
        auto more = r.next_member(first);
        if (!more || !*more) return std::nullopt;
        r.eat_char();  // the key's opening quote
        auto k = r.parse_str();
        if (!k || !r.parse_object_colon()) return std::nullopt;
        return *k;
    };
    auto tag = key();
    if (!tag || *tag != "kind" || r.parse_whitespace() != '"') return give_up();
    r.eat_char();
    auto kind = r.parse_str();
    if (!kind) return give_up();
    const size_t idx = size_t(std::find(names.begin(), names.end(), *kind) - names.begin());
    if (idx == names.size()) return give_up();
    T t;
    t.kind = OpKind(idx);
    const std::string_view* own = fields[idx];
    uint64_t seen = 0;
    for (;;) {
        auto more = r.next_member(first);
        if (!more) return give_up();
        if (!*more) break;
        r.eat_char();
        auto k = r.parse_str();
        if (!k) return give_up();
        const size_t f = size_t(std::find(own, own + counts[idx], *k) - own);
        if (f == counts[idx] || (seen >> f & 1) || !r.parse_object_colon()) return give_up();
        seen |= uint64_t(1) << f;
        if (!read_field(t, own[f], r)) return give_up();
    }
    // Every field given, but the predecessor of an insertion at the head.
    for (size_t f = 0; f < counts[idx]; ++f)
        if (!(seen >> f & 1) && own[f] != "after") return give_up();
    r.eat_char();  // the closing brace
    r.leave();
    return t;
}

DeResult<CrdtOp> read_op(json::Reader& r) {
    if (auto direct = read_kind_first<CrdtOp>(
            r, std::span<const std::string_view>(kOpKindNames, 7), kOpFields, kOpFieldCount,
            [](CrdtOp& op, std::string_view name, json::Reader& d) -> bool {
                auto done = read_common(op, name, d);
                if (!done) return false;
                if (*done) return true;
                if (name == "dot") {
                    auto dot = records::read_dot(d);
                    if (!dot) return false;
                    op.dot = *dot;
                } else {
                    auto removed = read_dot_list(d);
                    if (!removed) return false;
                    op.removed = std::move(*removed);
                }
                return true;
            }))
        return std::move(*direct);
    auto t = NV_TRY(tagged::read_tagged(r, kOpTag));
    CrdtOp op;
    op.kind = OpKind(t.idx);
    std::span<const std::string_view> fields(kOpFields[t.idx], kOpFieldCount[t.idx]);
    de::StructSpec spec{kOpKindNames[t.idx], kOpArity[t.idx], kOpArity[t.idx], fields, after_mask(fields), true};
    NV_CHECK(tagged::read_fields(t, spec, 0, [&](size_t f, auto& d) -> DeResult<void> {
        std::string_view name = fields[f];
        if (NV_TRY(read_common(op, name, d))) return {};
        if (name == "dot") {
            op.dot = NV_TRY(records::read_dot(d));
        } else {
            op.removed = NV_TRY(read_dot_list(d));
        }
        return {};
    }));
    return op;
}

// Reads an operation into `out`, a fresh one or one reset_op made ready.
DeResult<void> read_op_into(json::Reader& r, CrdtOp& out) {
    // The deepest an operation in the writers' form nests: itself, its path,
    // a segment, an element id and its dot.
    const bool utf8 = r.strings_are_utf8();
    if (exact::at(r, [&](const char*& p, const char* end) { return exact_op(p, end, utf8, out); }, '{', 5))
        return {};
    out = NV_TRY(read_op(r));
    return {};
}

DeResult<CrdtMutation> read_mutation(json::Reader& r) {
    if (auto direct = read_kind_first<CrdtMutation>(
            r, std::span<const std::string_view>(kOpKindNames, 8), kMutationFields, kMutationFieldCount,
            [](CrdtMutation& m, std::string_view name, json::Reader& d) -> bool {
                auto done = read_common(m, name, d);
                if (!done) return false;
                if (*done) return true;
                auto n = de::read_u64(d, "usize");
                if (!n) return false;
                (name == "index" ? m.index : m.delete_count) = *n;
                return true;
            }))
        return std::move(*direct);
    auto t = NV_TRY(tagged::read_tagged(r, kMutationTag));
    CrdtMutation m;
    m.kind = OpKind(t.idx);
    std::span<const std::string_view> fields(kMutationFields[t.idx], kMutationFieldCount[t.idx]);
    de::StructSpec spec{kOpKindNames[t.idx], kMutationArity[t.idx], kMutationArity[t.idx], fields,
                        after_mask(fields), true};
    NV_CHECK(tagged::read_fields(t, spec, 0, [&](size_t f, auto& d) -> DeResult<void> {
        std::string_view name = fields[f];
        if (NV_TRY(read_common(m, name, d))) return {};
        if (name == "index") {
            m.index = NV_TRY(de::read_u64(d, "usize"));
        } else {
            m.delete_count = NV_TRY(de::read_u64(d, "usize"));
        }
        return {};
    }));
    return m;
}

// Reads a JSON array of items, each at least `least` bytes long, into `out`:
// the items it holds are read into again before new ones are added, and room
// for as many as the text may hold is made at once when it holds none (up to
// 64k of them; past that, growing costs little beside reading them), so that
// a long list is not moved while it grows. `read_one(reader, item)` reads
// into an item in its place. Returns how many were read, the first of `out`.
template <class T, class F>
Result<size_t> parse_list_into(std::string_view text, size_t least, std::vector<T>& out, F&& read_one) {
    json::Reader r(text);
    if (out.empty()) out.reserve(std::min<size_t>(text.size() / least, size_t(1) << 16));
    size_t n = 0;
    auto ok = de::read_seq(r, [&](json::Reader& e) -> DeResult<void> {
        if (n == out.size()) out.emplace_back();
        return read_one(e, out[n++]);
    });
    if (!ok) return fail(de::json_error_text(ok.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return n;
}

}  // namespace

void reset_op(CrdtOp& op) {
    constexpr size_t kKeep = 16;
    auto clear = [](auto& list) {
        if (list.capacity() > kKeep) {
            std::remove_reference_t<decltype(list)>().swap(list);
        } else {
            list.clear();
        }
    };
    op.kind = OpKind::RegisterSet;
    op.dot = Dot{};
    clear(op.path);
    clear(op.key);
    op.value = Value();
    clear(op.removed);
    op.after.reset();
    clear(op.values);
    clear(op.ids);
    op.source = {};
    op.source_dot_begin = op.source_dot_end = op.source_values_begin = 0;
}

Result<std::vector<CrdtOp>> parse_ops(std::string_view text, ReplicaTable& replicas) {
    std::vector<CrdtOp> ops;
    const size_t n = NV_TRY(parse_ops_into(text, replicas, ops));
    ops.resize(n);
    return ops;
}

Result<size_t> parse_ops_into(std::string_view text, ReplicaTable& replicas, std::vector<CrdtOp>& ops) {
    InternScope scope(replicas);
    return parse_list_into(text, 64, ops, [](json::Reader& r, CrdtOp& op) {
        reset_op(op);
        return read_op_into(r, op);
    });
}

Result<std::vector<CrdtMutation>> parse_mutations(std::string_view text, ReplicaTable& replicas) {
    InternScope scope(replicas);
    std::vector<CrdtMutation> mutations;
    const size_t n = NV_TRY(parse_list_into(text, 40, mutations, [](json::Reader& r, CrdtMutation& m) -> DeResult<void> {
        m = NV_TRY(read_mutation(r));
        return {};
    }));
    mutations.resize(n);
    return mutations;
}

Result<CrdtPath> parse_path(std::string_view text, ReplicaTable& replicas) {
    InternScope scope(replicas);
    json::Reader r(text);
    auto p = records::read_path(r);
    if (!p) return fail(de::json_error_text(p.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*p);
}

Result<Frontier> parse_frontier(std::string_view text) {
    json::Reader r(text);
    records::FrontierVisitor v;
    auto f = r.deserialize_map(v);
    if (!f) return fail(de::json_error_text(f.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*f);
}

}  // namespace norvane::crdt
