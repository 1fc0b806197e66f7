// Readers of the small records shared by operations and saved state: Dot,
// ElementId, path segments and paths, over JSON text or a parsed tree.
#pragma once

#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>

#include "crdt/reducer/model.hpp"
#include "format/json/reader.hpp"
#include "crdt/reducer/tagged.hpp"
#include "diff/patch_read.hpp"
#include "util/sorted_pairs.hpp"

namespace norvane::crdt::records {

using de::DeResult;

inline constexpr std::string_view kDotFields[] = {"counter", "replica"};
inline constexpr std::string_view kElementIdFields[] = {"dot", "index"};
inline const de::StructSpec kDotSpec{"Dot", "struct Dot", "struct Dot with 2 elements", kDotFields, 0, true};
inline const de::StructSpec kElementIdSpec{"ElementId", "struct ElementId", "struct ElementId with 2 elements",
                                           kElementIdFields, 0, true};

// Straight from JSON text, the forms every writer gives: {"counter":…,"replica":…},
// {"dot":…,"index":…} and {"kind":…,"key":…} or {"kind":"element","id":…}, keys in
// that order. None, the reader back where it started, for anything else: the
// general readers below read it with their own texts and positions.
namespace direct {

// The exact bytes the writers give for a dot, `{"counter":N,"replica":"R"}`
// with a replica name of ASCII and no escapes, and for an element id,
// `{"dot":…,"index":I}`, read byte by byte: most of a long call's are these.
// False, and nothing consumed, otherwise.
namespace exact {

[[gnu::always_inline]] inline bool lit(const char*& p, const char* end, std::string_view s) {
    // A literal's length is known where this is inlined, so the comparison
    // folds into a few words.
    if (size_t(end - p) < s.size() || !same_key(std::string_view(p, s.size()), s)) return false;
    p += s.size();
    return true;
}
// Decimal digits without a leading zero, at most 19 of them (no overflow), not above `max`.
inline bool number(const char*& p, const char* end, uint64_t max, uint64_t& out) {
    const char* q = p;
    uint64_t v = 0;
    bool ended = false;  // the digits end within the first eight bytes
    if (end - p >= 8) {
        // Eight bytes at once: the digits they start with, and their value.
        uint64_t w;
        std::memcpy(&w, p, 8);
        if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
        // A byte that is not a digit has a high half other than 3, or reaches
        // the next sixteen when 6 is added. A carry out of a byte only leaves
        // one that is not a digit, so the bytes before the first such hold.
        constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull, kThrees = 0x3030303030303030ull;
        const uint64_t other = ((w & kHigh) ^ kThrees) | (((w + 0x0606060606060606ull) & kHigh) ^ kThrees);
        const unsigned n = other ? unsigned(std::countr_zero(other)) / 8 : 8;
        if (n > 0) {
            // The digits moved to the top, zeros before them, then summed in pairs.
            uint64_t d = (w & 0x0F0F0F0F0F0F0F0Full) << (8 * (8 - n));
            d = ((d * 2561) >> 8) & 0x00FF00FF00FF00FFull;
            d = ((d * 6553601) >> 16) & 0x0000FFFF0000FFFFull;
            v = (d * 42949672960001ull) >> 32;
            q = p + n;
            ended = n < 8;
        }
    }
    while (!ended && q < end && *q >= '0' && *q <= '9' && q - p < 20) v = v * 10 + uint64_t(*q++ - '0');
    const size_t n = size_t(q - p);
    if (n == 0 || n > 19 || (n > 1 && *p == '0') || v > max) return false;
    p = q;
    out = v;
    return true;
}
// The bytes from `p` on that a JSON string holds as they are, as the writers
// write it (UTF-8 beyond ASCII only when `utf8` says the text's strings are
// known to be UTF-8).
inline const char* plain_run(const char* p, const char* end, bool utf8) {
    const unsigned char top = utf8 ? 0xFF : 0x7F;
    while (p < end) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c > top || c == '"' || c == '\\') break;
        ++p;
    }
    return p;
}
// The ASCII characters from `p` up to a quotation mark or a backslash: a
// string's text when it needs no escapes.
inline std::string_view plain(const char*& p, const char* end) {
    const char* from = p;
    p = plain_run(p, end, false);
    return std::string_view(from, size_t(p - from));
}
// Replica names are interned into `names`.
inline bool dot(const char*& p, const char* end, Dot& out, ReplicaTable& names) {
    const char* q = p;
    uint64_t counter = 0;
    if (!lit(q, end, R"({"counter":)") || !number(q, end, UINT64_MAX, counter) || !lit(q, end, R"(,"replica":")"))
        return false;
    const std::string_view text = plain(q, end);
    if (!lit(q, end, "\"}")) return false;
    out = Dot{counter, names.intern(text)};
    p = q;
    return true;
}
inline bool element_id(const char*& p, const char* end, ElementId& out, ReplicaTable& names) {
    const char* q = p;
    uint64_t index = 0;
    if (!lit(q, end, R"({"dot":)") || !dot(q, end, out.dot, names) || !lit(q, end, R"(,"index":)") ||
        !number(q, end, UINT32_MAX, index) || !lit(q, end, "}"))
        return false;
    out.index = uint32_t(index);
    p = q;
    return true;
}
// A path, `[…]` of `{"kind":"key","key":"K"}`, `{"kind":"member","key":"K"}`
// (keys of ASCII and no escapes) and `{"kind":"element","id":…}`,
// read into `out`, an empty path (which on false holds what was read).
inline bool path(const char*& p, const char* end, CrdtPath& out, ReplicaTable& names) {
    const char* q = p;
    if (!lit(q, end, "[")) return false;
    while (!lit(q, end, "]")) {
        if (!out.empty() && !lit(q, end, ",")) return false;
        PathSegment& seg = out.emplace_back();
        if (lit(q, end, R"({"kind":"key","key":")")) {
            seg.kind = PathSegment::Kind::Key;
        } else if (lit(q, end, R"({"kind":"element","id":)")) {
            seg.kind = PathSegment::Kind::Element;
            if (!element_id(q, end, seg.id, names) || !lit(q, end, "}")) return false;
            continue;
        } else if (lit(q, end, R"({"kind":"member","key":")")) {
            seg.kind = PathSegment::Kind::Member;
        } else {
            return false;
        }
        seg.key = plain(q, end);
        if (!lit(q, end, "\"}")) return false;
    }
    p = q;
    return true;
}
// Runs `read(p, end)` at the reader's next value when it opens with `open`
// and the reader has room for `levels` more levels of nesting; moves the
// reader past what it read.
template <class F>
inline bool at(json::Reader& r, F&& read, char open = '{', int levels = 2) {
    if (r.parse_whitespace() != open || r.depth() <= levels) return false;
    const std::string_view in = r.input();
    const char* p = in.data() + r.index();
    if (!read(p, in.data() + in.size())) return false;
    r.rewind(size_t(p - in.data()));
    return true;
}

}  // namespace exact

// The key `name` with its colon, after `first` keys: true when it stands next.
inline bool key(json::Reader& r, bool& first, std::string_view name) {
    auto more = r.next_member(first);
    if (!more || !*more) return false;
    if (r.eat_plain_key(name)) return true;  // as the writers write it
    r.eat_char();
    auto k = r.parse_str();
    return k && *k == name && r.parse_object_colon();
}
// The closing brace, after the last key.
inline bool close(json::Reader& r, bool& first) {
    auto more = r.next_member(first);
    if (!more || *more) return false;
    r.eat_char();
    r.leave();
    return true;
}
inline bool open(json::Reader& r) {
    if (r.parse_whitespace() != '{' || !r.enter()) return false;
    r.eat_char();
    return true;
}
inline std::optional<Dot> dot(json::Reader& r) {
    Dot exact_dot;
    if (exact::at(r, [&](const char*& p, const char* end) { return exact::dot(p, end, exact_dot, InternScope::table()); }))
        return exact_dot;
    bool first = true;
    if (!open(r) || !key(r, first, "counter")) return std::nullopt;
    auto counter = de::read_u64(r, "u64");
    if (!counter || !key(r, first, "replica") || r.parse_whitespace() != '"') return std::nullopt;
    r.eat_char();
    auto name = r.parse_str();
    if (!name) return std::nullopt;
    Dot d{*counter, InternScope::table().intern(*name)};
    if (!close(r, first)) return std::nullopt;
    return d;
}
inline std::optional<ElementId> element_id(json::Reader& r) {
    ElementId exact_id;
    if (exact::at(r, [&](const char*& p, const char* end) { return exact::element_id(p, end, exact_id, InternScope::table()); }))
        return exact_id;
    bool first = true;
    if (!open(r) || !key(r, first, "dot")) return std::nullopt;
    auto d = dot(r);
    if (!d || !key(r, first, "index")) return std::nullopt;
    auto index = de::read_u32(r);
    if (!index || !close(r, first)) return std::nullopt;
    return ElementId{*d, *index};
}

}  // namespace direct

// Tries the direct reading of `read` from JSON text, coming back to where it
// started when it gives up.
template <class D, class F>
auto try_direct(D& de, F&& read) -> decltype(read(std::declval<json::Reader&>())) {
    if constexpr (std::is_same_v<D, json::Reader>) {
        const json::Reader::Mark start = de.mark();
        if (auto got = read(de)) return got;
        de.reset(start);
    }
    return std::nullopt;
}

template <class D>
DeResult<Dot> read_dot(D& de) {
    if (auto d = try_direct(de, direct::dot)) return *d;
    Dot d;
    NV_CHECK(de::read_struct(de, kDotSpec, [&](size_t f, auto& x) -> DeResult<void> {
        if (f == 0)
            d.counter = NV_TRY(de::read_u64(x, "u64"));
        else
            d.replica = InternScope::table().intern(NV_TRY(de::read_string(x)));
        return {};
    }));
    return d;
}

template <class D>
DeResult<ElementId> read_element_id(D& de) {
    if (auto id = try_direct(de, direct::element_id)) return *id;
    ElementId id;
    NV_CHECK(de::read_struct(de, kElementIdSpec, [&](size_t f, auto& x) -> DeResult<void> {
        if (f == 0)
            id.dot = NV_TRY(read_dot(x));
        else
            id.index = NV_TRY(de::read_u32(x));
        return {};
    }));
    return id;
}

inline constexpr std::string_view kKeyFields[] = {"key"};
inline constexpr std::string_view kIdFields[] = {"id"};
inline const de::StructSpec kSegmentSpecs[] = {
    {"Key", "struct variant CrdtPathSegment::Key", "struct variant CrdtPathSegment::Key with 1 element", kKeyFields,
     0, true},
    {"Member", "struct variant CrdtPathSegment::Member", "struct variant CrdtPathSegment::Member with 1 element",
     kKeyFields, 0, true},
    {"Element", "struct variant CrdtPathSegment::Element", "struct variant CrdtPathSegment::Element with 1 element",
     kIdFields, 0, true},
};
inline const tagged::TagSpec kSegmentTag{"internally tagged enum CrdtPathSegment",
                                         std::span<const std::string_view>(kSegmentKindNames, 3)};

namespace direct {

inline std::optional<PathSegment> segment(json::Reader& r) {
    bool first = true;
    if (!open(r) || !key(r, first, "kind") || r.parse_whitespace() != '"') return std::nullopt;
    r.eat_char();
    auto kind = r.parse_str();
    if (!kind) return std::nullopt;
    PathSegment seg;
    if (*kind == "element") {
        seg.kind = PathSegment::Kind::Element;
        if (!key(r, first, "id")) return std::nullopt;
        auto id = element_id(r);
        if (!id) return std::nullopt;
        seg.id = *id;
    } else {
        if (*kind == "key") seg.kind = PathSegment::Kind::Key;
        else if (*kind == "member") seg.kind = PathSegment::Kind::Member;
        else return std::nullopt;
        if (!key(r, first, "key")) return std::nullopt;
        auto text = de::read_string(r);
        if (!text) return std::nullopt;
        seg.key = std::move(*text);
    }
    if (!close(r, first)) return std::nullopt;
    return seg;
}

}  // namespace direct

template <class D>
DeResult<PathSegment> read_segment(D& de) {
    if (auto seg = try_direct(de, direct::segment)) return std::move(*seg);
    auto t = NV_TRY(tagged::read_tagged(de, kSegmentTag));
    PathSegment seg;
    seg.kind = PathSegment::Kind(t.idx);
    NV_CHECK(tagged::read_fields(t, kSegmentSpecs[t.idx], 0, [&](size_t, auto& x) -> DeResult<void> {
        if (seg.kind == PathSegment::Kind::Element)
            seg.id = NV_TRY(read_element_id(x));
        else
            seg.key = NV_TRY(de::read_string(x));
        return {};
    }));
    return seg;
}

template <class D>
DeResult<CrdtPath> read_path(D& de) {
    CrdtPath path;
    if constexpr (std::is_same_v<D, json::Reader>) {
        // A path's deepest segment is an element id: four levels down.
        if (direct::exact::at(de, [&](const char*& p, const char* end) { return direct::exact::path(p, end, path, InternScope::table()); },
                              '[', 4))
            return path;
        path.clear();
    }
    NV_CHECK(de::read_seq(de, [&](auto& e) -> DeResult<void> {
        path.push_back(NV_TRY(read_segment(e)));
        return {};
    }));
    return path;
}

struct FrontierVisitor : de::Visitor<FrontierVisitor, Frontier> {
    std::string_view expecting() const { return "a map"; }
    template <class A>
    DeResult<Frontier> visit_map(A& map) {
        Frontier f;
        for (;;) {
            std::string key;
            if (!NV_TRY(de::next_string_key(map, key))) break;
            uint64_t v = 0;
            NV_CHECK(map.next_value([&](auto& d) -> DeResult<void> {
                v = NV_TRY(de::read_u64(d, "u64"));
                return {};
            }));
            f.insert_or_assign(std::move(key), v);
        }
        return f;
    }
};

}  // namespace norvane::crdt::records
