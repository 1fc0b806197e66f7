#include "format/msgpack/transcode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "format/json/reader.hpp"
#include "format/msgpack/reader.hpp"
#include "format/msgpack/writer.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::msgpack {

namespace {

// The first eight bytes of a key as a big-endian number (zero-padded): keys
// whose prefixes differ compare as their prefixes do.
uint64_t key_prefix(std::string_view k) {
    unsigned char b[8] = {};
    std::memcpy(b, k.data(), k.size() < 8 ? k.size() : 8);
    uint64_t v;
    std::memcpy(&v, b, 8);
    return std::byteswap(v);
}

struct SortItem {
    uint64_t prefix;
    uint32_t index;
};

// Scratch space of the member reordering, kept across the objects of one conversion.
struct ReorderScratch {
    std::vector<SortItem> items;
    std::string region;
};

// Sorts the members of one object, kept as byte ranges of the output, by key
// (stable; of equal keys the last stays) and rewrites the object's region.
// `key_of(member)` gives the key bytes, `sep` is written between members.
// Returns the number of members kept.
template <class Member, class KeyOf>
size_t reorder(std::string& out, std::vector<Member>& members, size_t base, KeyOf key_of, std::string_view sep,
               ReorderScratch& scratch) {
    const size_t n = members.size() - base;
    auto& items = scratch.items;
    items.resize(n);
    for (size_t i = 0; i < n; ++i) items[i] = {key_prefix(key_of(members[base + i])), uint32_t(base + i)};
    auto less = [&](const SortItem& a, const SortItem& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return key_of(members[a.index]) < key_of(members[b.index]);
    };
    if (n <= 16) {
        for (size_t i = 1; i < n; ++i) {
            SortItem x = items[i];
            size_t j = i;
            for (; j > 0 && less(x, items[j - 1]); --j) items[j] = items[j - 1];
            items[j] = x;
        }
    } else {
        std::stable_sort(items.begin(), items.end(), less);
    }
    const size_t region_start = members[base].start;
    const size_t region_end = members.back().end;
    std::string& tmp = scratch.region;
    tmp.clear();
    tmp.reserve(region_end - region_start);
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        const Member& m = members[items[i].index];
        if (i + 1 < n && items[i + 1].prefix == items[i].prefix && key_of(members[items[i + 1].index]) == key_of(m))
            continue;
        if (kept) tmp.append(sep);
        tmp.append(out, m.start, m.end - m.start);
        ++kept;
    }
    std::memcpy(out.data() + region_start, tmp.data(), tmp.size());
    out.resize(region_start + tmp.size());
    return kept;
}

// ---- JSON text to MessagePack ----------------------------------------------------

namespace msgj = json::msg;
using JsonReader = json::Reader;

class JsonToMsgpack {
public:
    explicit JsonToMsgpack(std::string& out) : out_(out) {}

    DeResult<void> value(JsonReader& r) {
        int c = r.parse_whitespace();
        if (c < 0) return de::fail(r.peek_error(msgj::EofValue));
        switch (c) {
            case 'n':
                r.eat_char();
                NV_CHECK(r.parse_ident("ull"));
                write_nil(out_);
                return {};
            case 't':
                r.eat_char();
                NV_CHECK(r.parse_ident("rue"));
                write_bool(out_, true);
                return {};
            case 'f':
                r.eat_char();
                NV_CHECK(r.parse_ident("alse"));
                write_bool(out_, false);
                return {};
            case '"': {
                r.eat_char();
                std::string_view s = NV_TRY(r.parse_str());
                write_str(out_, s);
                return {};
            }
            case '[': return array(r);
            case '{': return object(r);
            default:
                if (c == '-' || (c >= '0' && c <= '9')) {
                    const bool positive = c != '-';
                    if (!positive) r.eat_char();
                    json::Number n = NV_TRY(r.parse_number(positive));
                    switch (n.kind) {
                        case json::Number::Kind::U64: write_uint(out_, n.u); break;
                        case json::Number::Kind::I64: write_int(out_, n.i); break;
                        default: write_f64(out_, n.f); break;
                    }
                    return {};
                }
                return de::fail(r.peek_error(msgj::ExpectedValue));
        }
    }

private:
    struct Member {
        size_t key_off, key_len;  // the key's bytes in the output
        size_t start, end;        // the member (key and value) in the output
    };

    std::string_view key_at(const Member& m) const { return {out_.data() + m.key_off, m.key_len}; }

    // Containers are written with a one-byte header that is widened once
    // the count is known.
    void finish_header(size_t at, size_t count, uint8_t fix_base, uint8_t m16, uint8_t m32) {
        if (count < 16) {
            out_[at] = char(fix_base + count);
            return;
        }
        char buf[5];
        size_t len;
        if (count <= 0xffff) {
            buf[0] = char(m16);
            buf[1] = char(count >> 8);
            buf[2] = char(count);
            len = 3;
        } else {
            buf[0] = char(m32);
            buf[1] = char(count >> 24);
            buf[2] = char(count >> 16);
            buf[3] = char(count >> 8);
            buf[4] = char(count);
            len = 5;
        }
        out_.replace(at, 1, buf, len);
    }

    DeResult<void> array(JsonReader& r) {
        NV_CHECK(r.enter());
        r.eat_char();
        const size_t header = out_.size();
        out_.push_back('\0');
        size_t count = 0;
        json::SeqAccess seq(r);
        auto body = [&]() -> DeResult<void> {
            for (;;) {
                bool more = NV_TRY(seq.next_element([&](JsonReader& er) { return value(er); }));
                if (!more) return {};
                ++count;
            }
        }();
        r.leave();
        NV_CHECK(body);
        NV_CHECK(r.end_seq());
        finish_header(header, count, 0x90, 0xdc, 0xdd);
        return {};
    }

    DeResult<void> object(JsonReader& r) {
        NV_CHECK(r.enter());
        r.eat_char();
        const size_t header = out_.size();
        out_.push_back('\0');
        const size_t base = members_.size();
        bool ordered = true;  // keys strictly ascending so far
        json::MapAccess map(r);
        auto body = [&]() -> DeResult<void> {
            for (;;) {
                Member m{};
                bool more = NV_TRY(map.next_key([&](json::MapKey&) -> DeResult<void> {
                    r.eat_char();
                    std::string_view s = NV_TRY(r.parse_str());
                    m.start = out_.size();
                    write_str_header(out_, s.size());
                    m.key_off = out_.size();
                    m.key_len = s.size();
                    out_.append(s);
                    return {};
                }));
                if (!more) return {};
                NV_CHECK(map.next_value([&](JsonReader& vr) { return value(vr); }));
                m.end = out_.size();
                if (ordered && members_.size() > base && !(key_at(members_.back()) < key_at(m))) ordered = false;
                members_.push_back(m);
            }
        }();
        r.leave();
        NV_CHECK(body);
        NV_CHECK(r.end_map());
        size_t count = members_.size() - base;
        if (!ordered) count = reorder(out_, members_, base, [&](const Member& m) { return key_at(m); }, "", scratch_);
        members_.resize(base);
        finish_header(header, count, 0x80, 0xde, 0xdf);
        return {};
    }

    std::string& out_;
    std::vector<Member> members_;  // members of the open objects, innermost last
    ReorderScratch scratch_;
};

// ---- MessagePack to JSON text ---------------------------------------------------------

struct AnyJsonVisitor : de::Visitor<AnyJsonVisitor, void> {
    std::string_view expecting() const { return "any valid JSON value"; }
};

struct FirstKeyVisitor : de::Visitor<FirstKeyVisitor, void> {
    std::string_view expecting() const { return "a string key"; }
};

class MsgpackToJson {
public:
    explicit MsgpackToJson(std::string& out) : out_(out) {}

    DeResult<void> item(Deserializer& d) {
        const uint8_t m = NV_TRY(d.take_marker());
        if (m <= 0x7f) {
            append_small(m);
            return {};
        }
        if (m >= 0xe0) {
            append_i64(out_, int8_t(m));
            return {};
        }
        if (m <= 0x8f) return map(d, m & 0x0f);
        if (m <= 0x9f) return array(d, m & 0x0f);
        if (m <= 0xbf) return str(d, m & 0x1f);
        switch (m) {
            case 0xc0: out_.append("null", 4); return {};
            case 0xc2: out_.append("false", 5); return {};
            case 0xc3: out_.append("true", 4); return {};
            case 0xca: {
                uint32_t bits = NV_TRY(d.data<uint32_t>());
                append_double(double(std::bit_cast<float>(bits)));
                return {};
            }
            case 0xcb: {
                uint64_t bits = NV_TRY(d.data<uint64_t>());
                append_double(std::bit_cast<double>(bits));
                return {};
            }
            case 0xcc: append_small(NV_TRY(d.data<uint8_t>())); return {};
            case 0xcd: append_u64(out_, NV_TRY(d.data<uint16_t>())); return {};
            case 0xce: append_u64(out_, NV_TRY(d.data<uint32_t>())); return {};
            case 0xcf: append_u64(out_, NV_TRY(d.data<uint64_t>())); return {};
            case 0xd0: append_i64(out_, int8_t(NV_TRY(d.data<uint8_t>()))); return {};
            case 0xd1: append_i64(out_, int16_t(NV_TRY(d.data<uint16_t>()))); return {};
            case 0xd2: append_i64(out_, int32_t(NV_TRY(d.data<uint32_t>()))); return {};
            case 0xd3: append_i64(out_, int64_t(NV_TRY(d.data<uint64_t>()))); return {};
            case 0xd9:
            case 0xda:
            case 0xdb: return str(d, NV_TRY(d.str_len(m)));
            case 0xdc:
            case 0xdd: return array(d, NV_TRY(d.array_len(m)));
            case 0xde:
            case 0xdf: return map(d, NV_TRY(d.map_len(m)));
            default: {
                // bin, ext, reserved: always a failure, worded by the generic reader.
                d.keep_marker(m);
                AnyJsonVisitor v;
                return d.deserialize_any(v);
            }
        }
    }

private:
    struct Member {
        std::string_view key;  // in the input
        size_t start, end;     // the member ("key":value) in the output
    };

    void append_small(uint8_t v) {
        if (v < 10) {
            out_.push_back(char('0' + v));
        } else {
            append_u64(out_, v);
        }
    }

    void append_double(double v) {
        if (std::isfinite(v)) {
            append_json_double(out_, v);
        } else {
            out_.append("null", 4);
        }
    }

    DeResult<std::string_view> text(Deserializer& d, uint32_t n) {
        std::string_view s = NV_TRY(d.bytes(n));
        if (auto bad = check_text(s)) [[unlikely]]
            return de::fail(utf8_error(*bad));
        return s;
    }

    DeResult<void> str(Deserializer& d, uint32_t n) {
        std::string_view s = NV_TRY(text(d, n));
        append_json_string(out_, s);
        return {};
    }

    // A key: a str; after the first key also a bin holding UTF-8 text.
    DeResult<std::string_view> key(Deserializer& d, bool first) {
        const uint8_t m = NV_TRY(d.take_marker());
        if (is_str_marker(m)) return text(d, NV_TRY(d.str_len(m)));
        if (!first && m >= 0xc4 && m <= 0xc6) {
            uint32_t n = NV_TRY(d.bin_len(m));
            std::string_view b = NV_TRY(d.bytes(n));
            if (check_text(b)) return de::fail(Error::invalid_value(Unexpected::of(Unexpected::Kind::Bytes), "a string"));
            return b;
        }
        // Anything else fails, worded by the generic reader.
        d.keep_marker(m);
        if (first) {
            FirstKeyVisitor v;
            NV_CHECK(d.deserialize_str(v));
        } else {
            NV_CHECK(de::read_string(d));
        }
        return std::string_view();  // not reached
    }

    DeResult<void> array(Deserializer& d, uint32_t len) {
        NV_CHECK(d.enter());
        out_.push_back('[');
        for (uint32_t i = 0; i < len; ++i) {
            if (i) out_.push_back(',');
            NV_CHECK(item(d));
        }
        out_.push_back(']');
        d.leave();
        return {};
    }

    DeResult<void> map(Deserializer& d, uint32_t len) {
        NV_CHECK(d.enter());
        out_.push_back('{');
        const size_t base = members_.size();
        bool ordered = true;
        for (uint32_t i = 0; i < len; ++i) {
            if (i) out_.push_back(',');
            Member m;
            m.key = NV_TRY(key(d, i == 0));
            m.start = out_.size();
            append_json_string(out_, m.key);
            out_.push_back(':');
            NV_CHECK(item(d));
            m.end = out_.size();
            if (ordered && i && !(members_.back().key < m.key)) ordered = false;
            members_.push_back(m);
        }
        if (!ordered) reorder(out_, members_, base, [](const Member& m) { return m.key; }, ",", scratch_);
        members_.resize(base);
        out_.push_back('}');
        d.leave();
        return {};
    }

    std::string& out_;
    std::vector<Member> members_;  // members of the open maps, innermost last
    ReorderScratch scratch_;
};

}  // namespace

Result<std::string> json_text_to_msgpack(std::string_view json) {
    std::string out;
    out.reserve(json.size() + 16);
    JsonReader r(json);
    JsonToMsgpack t(out);
    auto ok = t.value(r);
    if (!ok) return fail(de::json_error_text(ok.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return out;
}

Result<std::string> msgpack_to_json_text(std::string_view data) {
    std::string out;
    out.reserve(data.size() + data.size() / 2 + 16);
    Deserializer d(data);
    MsgpackToJson t(out);
    auto ok = t.item(d);
    if (!ok) return fail(error_text(ok.error()));
    return out;
}

}  // namespace norvane::msgpack
