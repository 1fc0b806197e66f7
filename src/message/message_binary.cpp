// Messages from MessagePack and CBOR bytes in one pass over the contents.
//
// The members of a message's map come in any order ("t" among them, and in
// the written form after "id"), so the map is first walked member by member:
// each value's extent is found by a plain skip, which also turns away what
// this reader leaves to the generic document (byte strings, extensions, tags,
// indefinite lengths, floats that are not finite, reserved forms, keys that
// are not texts) and checks the nesting against the format's budget as the
// document reader counts it. Once the tag is known, each member is read from
// its extent straight into the typed field.
//
// Members that hold a generic document in every kind (the CRDT payloads, the
// awareness state) are read as documents during that walk instead, the
// document reader finding their extent.
//
// Anything not taken the short way (a failure, a field or "t" given twice, a
// required field missing, an integer not in an unsigned form) makes the
// caller read the bytes again through the generic document, which gives the
// failure texts and the rules for duplicate keys; so a message read here is
// always the one that path reads.
#include "message/message_binary.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/patch_read.hpp"
#include "format/cbor/document.hpp"
#include "format/msgpack/document.hpp"
#include "message/fields.hpp"
#include "util/text.hpp"
#include "value/cbor.hpp"
#include "value/msgpack.hpp"

namespace norvane {

namespace {

namespace mf = message_fields;

struct Span {
    const uint8_t* begin;
    const uint8_t* end;
    size_t size() const { return size_t(end - begin); }
    std::string_view view() const { return {reinterpret_cast<const char*>(begin), size()}; }
};

template <class T>
T big_endian(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    if constexpr (sizeof(T) > 1) v = std::byteswap(v);
    return v;
}

uint64_t big_endian_n(const uint8_t* p, size_t width) {
    switch (width) {
        case 1: return big_endian<uint8_t>(p);
        case 2: return big_endian<uint16_t>(p);
        case 4: return big_endian<uint32_t>(p);
        default: return big_endian<uint64_t>(p);
    }
}

// ---- MessagePack ---------------------------------------------------------------------

struct MsgpackForm {
    using Deserializer = msgpack::Deserializer;
    static constexpr int kBudget = msgpack::kDepthLimit;
    static constexpr uint8_t kNil = 0xc0;

    // A container read with this much budget left opens (the counter must not reach zero).
    static bool opens(int budget) { return budget > 1; }

    // The end of the item at p read with `budget` left, or nullptr.
    static const uint8_t* skip(const uint8_t* p, const uint8_t* end, int budget) {
        if (p >= end) return nullptr;
        const uint8_t m = *p++;
        if (m <= 0x7f || m >= 0xe0) return p;
        uint64_t n;
        bool map;
        if (m >= 0xa0 && m <= 0xbf) return bytes(p, end, m & 0x1f);
        if (m <= 0x9f) {
            n = m & 0x0f;
            map = m <= 0x8f;
        } else {
            switch (m) {
                case 0xc0:
                case 0xc2:
                case 0xc3: return p;
                // Floats that are not finite: the document holds them as null.
                case 0xca: return end - p >= 4 && (~big_endian<uint32_t>(p) & 0x7f800000u) ? p + 4 : nullptr;
                case 0xcb: return end - p >= 8 && (~big_endian<uint64_t>(p) & 0x7ff0000000000000u) ? p + 8 : nullptr;
                case 0xcc:
                case 0xd0: return bytes(p, end, 1);
                case 0xcd:
                case 0xd1: return bytes(p, end, 2);
                case 0xce:
                case 0xd2: return bytes(p, end, 4);
                case 0xcf:
                case 0xd3: return bytes(p, end, 8);
                case 0xd9:
                case 0xda:
                case 0xdb: {
                    const size_t width = size_t(1) << (m - 0xd9);
                    if (size_t(end - p) < width) return nullptr;
                    return bytes(p + width, end, big_endian_n(p, width));
                }
                case 0xdc:
                case 0xdd:
                case 0xde:
                case 0xdf: {
                    const size_t width = m & 1 ? 4 : 2;
                    if (size_t(end - p) < width) return nullptr;
                    n = big_endian_n(p, width);
                    p += width;
                    map = m >= 0xde;
                    break;
                }
                default: return nullptr;  // bin, ext, reserved
            }
        }
        if (!opens(budget)) return nullptr;
        for (; n > 0 && p; --n) {
            if (map) {
                if (p >= end) return nullptr;
                const uint8_t k = *p;
                if ((k & 0xe0) == 0xa0) {
                    p = bytes(p + 1, end, k & 0x1f);
                } else if (k >= 0xd9 && k <= 0xdb) {
                    p = skip(p, end, budget);
                } else {
                    return nullptr;
                }
                if (!p) return nullptr;
            }
            p = skip(p, end, budget - 1);
        }
        return p;
    }

    static const uint8_t* bytes(const uint8_t* p, const uint8_t* end, uint64_t n) {
        return uint64_t(end - p) >= n ? p + n : nullptr;
    }

    // The number of members or elements of a skipped map or array, and where its first one starts.
    static std::optional<std::pair<uint64_t, const uint8_t*>> container(Span s, bool map) {
        if (s.size() == 0) return std::nullopt;
        const uint8_t m = *s.begin;
        const uint8_t* p = s.begin + 1;
        if (map ? (m & 0xf0) == 0x80 : (m & 0xf0) == 0x90) return std::pair{uint64_t(m & 0x0f), p};
        const size_t width = m == (map ? 0xde : 0xdc) ? 2 : m == (map ? 0xdf : 0xdd) ? 4 : 0;
        if (width == 0 || s.size() < 1 + width) return std::nullopt;
        return std::pair{big_endian_n(p, width), p + width};
    }

    // The text of a str item filling the span (UTF-8 checked).
    static std::optional<std::string_view> text(Span s) {
        const uint8_t m = *s.begin;
        const size_t head = m <= 0xbf ? 1 : m == 0xd9 ? 2 : m == 0xda ? 3 : 5;
        if (!msgpack::is_str_marker(m)) return std::nullopt;
        std::string_view t(reinterpret_cast<const char*>(s.begin) + head, s.size() - head);
        if (msgpack::check_text(t)) return std::nullopt;
        return t;
    }

    // An unsigned integer item filling the span.
    static std::optional<uint64_t> u64(Span s) {
        const uint8_t m = *s.begin;
        if (m <= 0x7f) return m;
        if (m >= 0xcc && m <= 0xcf) return big_endian_n(s.begin + 1, size_t(1) << (m - 0xcc));
        return std::nullopt;
    }

    // Runs f on a reader at s.begin with `budget` left; true when f succeeds,
    // with `next` where the reader stopped.
    template <class F>
    static bool with_reader(Span s, int budget, const uint8_t*& next, F&& f) {
        Deserializer d(s.view(), budget);
        if (!f(d) || d.has_pending()) return false;
        next = d.cursor();
        return true;
    }
    static auto document(Deserializer& d) { return msgpack::read_document(d); }
    static auto value(Deserializer& d) { return value_from_msgpack(d); }
};

// ---- CBOR ----------------------------------------------------------------------------

struct CborForm {
    using Deserializer = cbor::Deserializer;
    static constexpr int kBudget = cbor::kRecursionLimit;
    static constexpr uint8_t kNil = 0xf6;

    // A container read with this much budget left opens (some must be left).
    static bool opens(int budget) { return budget > 0; }

    // The major type and argument of the head at p (moved past it), or nullopt for an
    // indefinite length or a reserved width.
    static std::optional<std::pair<uint8_t, uint64_t>> head(const uint8_t*& p, const uint8_t* end) {
        if (p >= end) return std::nullopt;
        const uint8_t ib = *p++;
        const uint8_t ai = ib & 0x1f;
        if (ai < 24) return std::pair{uint8_t(ib >> 5), uint64_t(ai)};
        if (ai > 27) return std::nullopt;
        const size_t width = size_t(1) << (ai - 24);
        if (size_t(end - p) < width) return std::nullopt;
        const uint64_t arg = big_endian_n(p, width);
        p += width;
        return std::pair{uint8_t(ib >> 5), arg};
    }

    static const uint8_t* skip(const uint8_t* p, const uint8_t* end, int budget) {
        const uint8_t* start = p;
        auto h = head(p, end);
        if (!h) return nullptr;
        const auto [major, arg] = *h;
        switch (major) {
            case 0: return p;
            case 1: return arg >> 63 ? nullptr : p;
            case 3: return uint64_t(end - p) >= arg ? p + arg : nullptr;
            case 4:
            case 5: {
                if (!opens(budget)) return nullptr;
                for (uint64_t i = 0; i < arg && p; ++i) {
                    if (major == 5) {
                        // Keys: definite texts that fit the identifier scratch.
                        const uint8_t* k = p;
                        auto kh = head(k, end);
                        if (!kh || kh->first != 3 || kh->second > cbor::kScratchSize ||
                            !(p = skip(p, end, budget)))
                            return nullptr;
                    }
                    p = skip(p, end, budget - 1);
                }
                return p;
            }
            case 7: {
                const uint8_t ai = *start & 0x1f;
                if (ai >= 20 && ai <= 22) return p;  // false, true, null
                if (ai == 25) return (~arg & 0x7c00) ? p : nullptr;
                if (ai == 26) return (~arg & 0x7f800000u) ? p : nullptr;
                if (ai == 27) return (~arg & 0x7ff0000000000000u) ? p : nullptr;
                return nullptr;  // undefined and the other simple values
            }
            default: return nullptr;  // byte strings, tags
        }
    }

    static std::optional<std::pair<uint64_t, const uint8_t*>> container(Span s, bool map) {
        const uint8_t* p = s.begin;
        auto h = head(p, s.end);
        if (!h || h->first != (map ? 5 : 4)) return std::nullopt;
        return std::pair{h->second, p};
    }

    static std::optional<std::string_view> text(Span s) {
        const uint8_t* p = s.begin;
        auto h = head(p, s.end);
        if (!h || h->first != 3) return std::nullopt;
        std::string_view t(reinterpret_cast<const char*>(p), size_t(s.end - p));
        if (!is_utf8(t)) return std::nullopt;
        return t;
    }

    static std::optional<uint64_t> u64(Span s) {
        const uint8_t* p = s.begin;
        auto h = head(p, s.end);
        if (!h || h->first != 0) return std::nullopt;
        return h->second;
    }

    template <class F>
    static bool with_reader(Span s, int budget, const uint8_t*& next, F&& f) {
        Deserializer d(s.view());
        for (int i = budget; i < kBudget; ++i) (void)d.enter();  // the levels taken above
        if (!f(d)) return false;
        next = s.begin + d.offset();
        return true;
    }
    static auto document(Deserializer& d) { return cbor::read_document(d); }
    static auto value(Deserializer& d) { return value_from_cbor(d); }
};

// ---- the typed read, written once for both forms --------------------------------------

struct Member {
    std::string_view key;
    Span value;
    std::optional<Document> doc;  // the value, for members that hold a document in every kind
};

// Whether every kind with a field of this name holds a generic document (or
// a list of them) there: such members are read as documents straight away.
template <class T>
inline constexpr bool kDocumentLike = std::is_same_v<T, Document> || std::is_same_v<T, std::vector<Document>>;
template <class T>
inline constexpr bool kDocumentLike<std::optional<T>> = kDocumentLike<T>;

bool holds_document(std::string_view name) {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> all, out;
        std::vector<bool> documents;
        for (size_t k = 0; k < size_t(Message::Kind::Unknown); ++k) {
            mf::with_kind(Message::Kind(k), [&]<class M>() {
                mf::for_each_field<M>([&](const auto& f) {
                    const bool doc = kDocumentLike<typename std::remove_cvref_t<decltype(f)>::Type>;
                    auto at = std::find(all.begin(), all.end(), f.name);
                    if (at == all.end()) {
                        all.push_back(f.name);
                        documents.push_back(doc);
                    } else {
                        documents[size_t(at - all.begin())] = documents[size_t(at - all.begin())] && doc;
                    }
                });
                return 0;
            });
        }
        for (size_t i = 0; i < all.size(); ++i)
            if (documents[i]) out.push_back(all[i]);
        return out;
    }();
    for (std::string_view n : names)
        if (n.size() == name.size() && n.front() == name.front() && n == name) return true;
    return false;
}

template <class Form>
class OnePass {
public:
    using Deserializer = typename Form::Deserializer;

    // One message at p, read with `budget` left; `next` is where it ends.
    static std::optional<Message> message(const uint8_t* p, const uint8_t* end, int budget, const uint8_t*& next) {
        if (Form::opens(budget)) {
            if (auto map = Form::container({p, end}, true)) {
                std::vector<Member> members;
                auto kind = gather(*map, end, budget, members, next);
                if (!kind) return std::nullopt;
                if (*kind != Message::Kind::Unknown)
                    return mf::with_kind(*kind, [&]<class M>() { return OnePass(budget - 1).record<M>(members); });
                return document({p, next}, budget);
            }
        }
        next = Form::skip(p, end, budget);
        if (!next) return std::nullopt;
        return document({p, next}, budget);
    }

private:
    explicit OnePass(int budget) : budget_(budget) {}

    // Any other message: the generic document of the (skipped) span, classified.
    static std::optional<Message> document(Span s, int budget) {
        std::optional<Message> out;
        const uint8_t* next = nullptr;
        const bool ok = Form::with_reader(s, budget, next, [&](Deserializer& d) {
            auto doc = Form::document(d);
            if (!doc) return false;
            auto m = Message::from_value(std::move(*doc));
            if (!m) return false;
            out.emplace(std::move(*m));
            return true;
        });
        return ok && next == s.end ? std::move(out) : std::nullopt;
    }

    // The members of a map; the kind its "t" names (Unknown when it names none),
    // or nullopt when the map is not taken the short way.
    static std::optional<Message::Kind> gather(std::pair<uint64_t, const uint8_t*> map, const uint8_t* end,
                                               int budget, std::vector<Member>& out, const uint8_t*& next) {
        auto [n, p] = map;
        out.reserve(size_t(std::min<uint64_t>(n, uint64_t(end - p) / 2)));
        Message::Kind kind = Message::Kind::Unknown;
        bool tag_seen = false;
        for (uint64_t i = 0; i < n; ++i) {
            const uint8_t* k = p;
            p = Form::skip(p, end, budget);
            if (!p) return std::nullopt;
            auto key = Form::text({k, p});
            if (!key) return std::nullopt;
            const uint8_t* v = p;
            std::optional<Document> doc;
            if (holds_document(*key)) {
                // The document reader finds the extent and is the reference for what it holds.
                if (!Form::with_reader({v, end}, budget - 1, p, [&](Deserializer& d) {
                        auto r = Form::document(d);
                        if (r) doc.emplace(std::move(*r));
                        return r.has_value();
                    }))
                    return std::nullopt;
            } else {
                p = Form::skip(p, end, budget - 1);
                if (!p) return std::nullopt;
            }
            if (*key == "t") {
                if (tag_seen) return std::nullopt;
                tag_seen = true;
                if (auto tag = Form::text({v, p})) kind = message_kind_of_tag(*tag).value_or(Message::Kind::Unknown);
            }
            out.push_back({*key, {v, p}, std::move(doc)});
        }
        next = p;
        return kind;
    }

    template <class M>
    std::optional<Message> record(std::vector<Member>& members) {
        M m;
        unsigned seen = 0;
        for (Member& member : members) {
            const int i = mf::field_index<M>(member.key);
            if (i < 0) {
                if (member.key == "t" || member.doc) continue;
                if (!whole(member.value, [](Deserializer& d) { return bool(Form::document(d)); })) return std::nullopt;
                continue;
            }
            if (seen >> i & 1) return std::nullopt;
            seen |= 1u << i;
            if (!mf::with_field<M>(size_t(i), [&](const auto& f) { return read(member, m.*f.member); }))
                return std::nullopt;
        }
        if ((seen & mf::kRequired<M>) != mf::kRequired<M>) return std::nullopt;
        return Message{std::move(m)};
    }

    // Runs f on a reader over the span; it must read the span whole.
    template <class F>
    bool whole(Span s, F&& f) {
        const uint8_t* next = nullptr;
        return Form::with_reader(s, budget_, next, std::forward<F>(f)) && next == s.end;
    }

    bool read(Member& mb, uint64_t& out) { return assign(out, Form::u64(mb.value)); }
    bool read(Member& mb, std::string& out) { return assign(out, Form::text(mb.value)); }
    bool read(Member& mb, Value& out) {
        return whole(mb.value, [&](Deserializer& d) { return assign(out, Form::value(d)); });
    }
    bool read(Member& mb, Document& out) {
        if (mb.doc) return assign(out, std::move(mb.doc));
        return whole(mb.value, [&](Deserializer& d) { return assign(out, Form::document(d)); });
    }
    bool read(Member& mb, std::vector<Document>& out) {
        Document list;
        if (!read(mb, list) || list.kind() != NodeKind::Seq) return false;
        out = std::move(list.items());
        return true;
    }
    bool read(Member& mb, Patch& out) {
        return whole(mb.value, [&](Deserializer& d) { return assign(out, patch_read::read_patch(d)); });
    }
    bool read(Member& mb, std::vector<Message>& out) {
        const Span s = mb.value;
        auto list = Form::container(s, false);
        if (!list) return false;
        auto [n, p] = *list;
        out.reserve(size_t(std::min<uint64_t>(n, s.size())));
        for (uint64_t i = 0; i < n; ++i) {
            auto msg = message(p, s.end, budget_ - 1, p);
            if (!msg) return false;
            out.push_back(std::move(*msg));
        }
        return p == s.end;
    }
    template <class T>
    bool read(Member& mb, std::optional<T>& out) {
        if (mb.value.size() == 1 && *mb.value.begin == Form::kNil) {
            out.reset();
            return true;
        }
        return read(mb, out.emplace());
    }

    template <class T, class R>
    static bool assign(T& out, R&& r) {
        if (!r) return false;
        out = std::move(*r);
        return true;
    }

    int budget_;  // what each member's value is read with
};

template <class Form>
std::optional<Message> one_pass(std::string_view data) {
    const auto* begin = reinterpret_cast<const uint8_t*>(data.data());
    const uint8_t* end = nullptr;
    return OnePass<Form>::message(begin, begin + data.size(), Form::kBudget, end);
}

}  // namespace

std::optional<Message> message_from_msgpack_one_pass(std::string_view data) { return one_pass<MsgpackForm>(data); }

std::optional<Message> message_from_cbor_one_pass(std::string_view data) { return one_pass<CborForm>(data); }

}  // namespace norvane
