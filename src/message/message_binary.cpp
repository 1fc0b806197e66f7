// Messages from MessagePack and CBOR bytes in one pass over the contents.
//
// The members of a message's map come in any order ("t" among them, and in
// the written form after "id"), so the map is first walked member by member:
// each value is walked by the format's document walker in its plain forms
// (SkimSink), which finds where it ends, notes what it is, and turns away
// what this reader leaves to the generic document (see each walker: byte
// strings, extensions, tags, indefinite lengths, floats that are not finite,
// ...), the nesting counted by the format's own reader. Once the tag is known,
// each member is read from its extent straight into the typed field.
//
// Members that hold the same in every kind are read during that walk instead
// (see Held): generic documents (the CRDT payloads, the awareness state) by
// the document reader, which finds their extent, and a batch's messages one
// after another, each as this reader reads a message.
//
// Anything not taken the short way (a failure, a field or "t" given twice, a
// required field missing, an integer that is not unsigned) makes the caller
// read the bytes again through the generic document, which gives the failure
// texts and the rules for duplicate keys; so a message read here is always
// the one that path reads.
#include "message/message_binary.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "diff/patch_read.hpp"
#include "format/cbor/document.hpp"
#include "format/cbor/walk.hpp"
#include "format/tree/document_sink.hpp"
#include "format/msgpack/document.hpp"
#include "format/msgpack/walk.hpp"
#include "message/fields.hpp"
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

// What each form gives the typed read below, all of it on the format's own reader:
//   reader(s, budget): a reader at s.begin with `budget` nesting levels left;
//   at(d): where the reader stands;
//   skim(d, what): the item at the reader walked in the plain forms;
//   key(d): the definite text at the reader;
//   open(d, map, n): the definite map (or array) at the reader entered, with
//     its n members (or elements); Other, the reader unmoved, when the item is
//     not one; Failed when it cannot be read or entered;
//   document(d), value(d): the generic document or the model value at the reader.
enum class Open : uint8_t { Opened, Other, Failed };

// ---- MessagePack ---------------------------------------------------------------------

struct MsgpackForm {
    using Deserializer = msgpack::Deserializer;
    static constexpr int kBudget = msgpack::kDepthLimit;

    static Deserializer reader(Span s, int budget) { return Deserializer(s.view(), budget); }
    static const uint8_t* at(const Deserializer& d) { return d.cursor(); }
    static bool skim(Deserializer& d, SkimSink& what) { return msgpack::walk(d, what).has_value(); }
    static std::optional<std::string_view> key(Deserializer& d) {
        auto m = d.take_marker();
        if (!m || !msgpack::is_str_marker(*m)) return std::nullopt;
        auto n = d.str_len(*m);
        if (!n) return std::nullopt;
        auto t = d.bytes(*n);
        if (!t || msgpack::check_text(*t)) return std::nullopt;
        return *t;
    }

    static Open open(Deserializer& d, bool map, uint64_t& n) {
        auto m = d.take_marker();
        if (!m) return Open::Failed;
        if (!(map ? msgpack::is_map_marker(*m) : msgpack::is_array_marker(*m))) {
            d.keep_marker(*m);
            return Open::Other;
        }
        auto len = map ? d.map_len(*m) : d.array_len(*m);
        if (!len || !d.enter()) return Open::Failed;
        n = *len;
        return Open::Opened;
    }

    static auto document(Deserializer& d) { return msgpack::read_document(d); }
    static auto value(Deserializer& d) { return value_from_msgpack(d); }
};

// ---- CBOR ----------------------------------------------------------------------------

struct CborForm {
    using Deserializer = cbor::Deserializer;
    static constexpr int kBudget = cbor::kRecursionLimit;

    static Deserializer reader(Span s, int budget) { return Deserializer(s.view(), budget); }
    static const uint8_t* at(const Deserializer& d) {
        return reinterpret_cast<const uint8_t*>(d.input().data()) + d.offset();
    }
    static bool skim(Deserializer& d, SkimSink& what) { return cbor::walk(d, what).has_value(); }
    static std::optional<std::string_view> key(Deserializer& d) {
        auto h = d.pull();
        if (!h || h->kind != cbor::Header::Kind::Text || h->indefinite) return std::nullopt;
        auto t = d.take_text(h->arg, d.last_offset());
        if (!t) return std::nullopt;
        return *t;
    }

    static Open open(Deserializer& d, bool map, uint64_t& n) {
        auto h = d.pull();
        if (!h) return Open::Failed;
        if (h->kind != (map ? cbor::Header::Kind::Map : cbor::Header::Kind::Array)) {
            d.push_back();
            return Open::Other;
        }
        if (h->indefinite || !d.enter()) return Open::Failed;
        n = h->arg;
        return Open::Opened;
    }

    static auto document(Deserializer& d) { return cbor::read_document(d); }
    static auto value(Deserializer& d) { return value_from_cbor(d); }
};

// ---- the typed read, written once for both forms --------------------------------------

struct Member {
    Member(std::string_view k, const uint8_t* at) : key(k), value{at, at} {}
    std::string_view key;
    Span value;
    SkimSink what;  // what the value is, for members skimmed
    // The value, for members that hold the same in every kind (see Held).
    std::optional<Document> doc;
    std::optional<std::vector<Message>> msgs;
};

// How a member is met while the map is walked. Where every kind with a field
// of the member's name holds the same there, it is read straight away: a
// generic document (or a list of them) by the document reader, which finds
// its extent and is the reference for what it holds; a list of messages one
// message after another, each read as this reader reads a message. Any other
// member is skimmed, and read once the kind is known.
enum class Held : uint8_t { Skimmed, Document, Messages };

template <class T>
inline constexpr Held kHeld = std::is_same_v<T, Document> || std::is_same_v<T, std::vector<Document>> ? Held::Document
                              : std::is_same_v<T, std::vector<Message>>                             ? Held::Messages
                                                                                                     : Held::Skimmed;
template <class T>
inline constexpr Held kHeld<std::optional<T>> = kHeld<T> == Held::Document ? Held::Document : Held::Skimmed;

// The names of the fields read straight away, and a filter of one bit per
// (length, first byte) that turns most other names away at once.
struct HeldNames {
    std::vector<std::pair<std::string_view, Held>> names;
    uint64_t filter = 0;
    static int bit(std::string_view n) { return int((n.size() * 7 + uint8_t(n.front())) & 63); }
};

Held held_by(std::string_view name) {
    static const HeldNames table = [] {
        std::vector<std::pair<std::string_view, Held>> all;
        for (size_t k = 0; k < size_t(Message::Kind::Unknown); ++k) {
            mf::with_kind(Message::Kind(k), [&]<class M>() {
                mf::for_each_field<M>([&](const auto& f) {
                    const Held held = kHeld<typename std::remove_cvref_t<decltype(f)>::Type>;
                    auto at = std::find_if(all.begin(), all.end(), [&](const auto& e) { return e.first == f.name; });
                    if (at == all.end()) {
                        all.emplace_back(f.name, held);
                    } else if (at->second != held) {
                        at->second = Held::Skimmed;
                    }
                });
                return 0;
            });
        }
        HeldNames out;
        for (const auto& e : all) {
            if (e.second == Held::Skimmed) continue;
            out.names.push_back(e);
            out.filter |= uint64_t(1) << HeldNames::bit(e.first);
        }
        return out;
    }();
    if (name.empty() || !(table.filter >> HeldNames::bit(name) & 1)) return Held::Skimmed;
    for (const auto& [n, held] : table.names)
        if (n == name) return held;
    return Held::Skimmed;
}

template <class Form>
class OnePass {
public:
    using Deserializer = typename Form::Deserializer;

    // One message at the reader, which is left where it ends.
    static std::optional<Message> message(Deserializer& d) {
        const uint8_t* start = Form::at(d);
        const int budget = d.depth();
        uint64_t n = 0;
        switch (Form::open(d, true, n)) {
            case Open::Opened: {
                std::vector<Member> members;
                auto kind = gather(d, n, members);
                if (!kind) return std::nullopt;
                if (*kind != Message::Kind::Unknown) {
                    const int inside = d.depth();
                    d.leave();
                    return mf::with_kind(*kind, [&]<class M>() { return OnePass(inside).record<M>(members); });
                }
                d.leave();
                break;
            }
            case Open::Other: {
                SkimSink what;
                if (!Form::skim(d, what)) return std::nullopt;
                break;
            }
            case Open::Failed: return std::nullopt;
        }
        return document({start, Form::at(d)}, budget);
    }

private:
    explicit OnePass(int budget) : budget_(budget) {}

    // Any other message: the generic document of the (walked) span, classified.
    static std::optional<Message> document(Span s, int budget) {
        Deserializer d = Form::reader(s, budget);
        auto doc = Form::document(d);
        if (!doc || Form::at(d) != s.end) return std::nullopt;
        auto m = Message::from_value(std::move(*doc));
        if (!m) return std::nullopt;
        return std::move(*m);
    }

    // The n members of the map the reader has entered; the kind its "t" names
    // (Unknown when it names none), or nullopt when the map is not taken the
    // short way.
    static std::optional<Message::Kind> gather(Deserializer& d, uint64_t n, std::vector<Member>& out) {
        out.reserve(size_t(std::min<uint64_t>(n, uint64_t(d.remaining()) / 2)));
        Message::Kind kind = Message::Kind::Unknown;
        bool tag_seen = false;
        for (uint64_t i = 0; i < n; ++i) {
            auto key = Form::key(d);
            if (!key) return std::nullopt;
            Member& m = out.emplace_back(*key, Form::at(d));
            switch (held_by(m.key)) {
                case Held::Document: {
                    auto doc = Form::document(d);
                    if (!doc) return std::nullopt;
                    m.doc.emplace(std::move(*doc));
                    break;
                }
                case Held::Messages:
                    if (!messages(d, m.msgs.emplace())) return std::nullopt;
                    break;
                case Held::Skimmed:
                    if (!Form::skim(d, m.what)) return std::nullopt;
                    break;
            }
            m.value.end = Form::at(d);
            if (m.key == "t") {
                if (tag_seen) return std::nullopt;
                tag_seen = true;
                if (m.what.kind() == SkimSink::Kind::Text)
                    kind = message_kind_of_tag(m.what.text_value()).value_or(Message::Kind::Unknown);
            }
        }
        return kind;
    }

    // The list of messages at the reader.
    static bool messages(Deserializer& d, std::vector<Message>& out) {
        uint64_t n = 0;
        if (Form::open(d, false, n) != Open::Opened) return false;
        out.reserve(size_t(std::min<uint64_t>(n, d.remaining())));
        for (uint64_t i = 0; i < n; ++i) {
            auto msg = message(d);
            if (!msg) return false;
            out.push_back(std::move(*msg));
        }
        d.leave();
        return true;
    }

    template <class M>
    std::optional<Message> record(std::vector<Member>& members) {
        M m;
        unsigned seen = 0;
        for (Member& member : members) {
            const int i = mf::field_index<M>(member.key);
            if (i < 0) {
                if (member.key == "t" || member.doc || member.msgs) continue;
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
        Deserializer d = Form::reader(s, budget_);
        return f(d) && Form::at(d) == s.end;
    }

    bool read(Member& mb, uint64_t& out) {
        if (mb.what.kind() != SkimSink::Kind::U64) return false;
        out = mb.what.u64_value();
        return true;
    }
    bool read(Member& mb, std::string& out) {
        if (mb.what.kind() != SkimSink::Kind::Text) return false;
        out = mb.what.text_value();
        return true;
    }
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
    bool read(Member& mb, std::vector<Message>& out) { return assign(out, std::move(mb.msgs)); }
    template <class T>
    bool read(Member& mb, std::optional<T>& out) {
        // Null is absent, as the document path reads it.
        if (mb.doc ? mb.doc->kind() == NodeKind::Null : mb.what.kind() == SkimSink::Kind::Null) {
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
    auto d = Form::reader({begin, begin + data.size()}, Form::kBudget);
    return OnePass<Form>::message(d);
}

}  // namespace

std::optional<Message> message_from_msgpack_one_pass(std::string_view data) { return one_pass<MsgpackForm>(data); }

std::optional<Message> message_from_cbor_one_pass(std::string_view data) { return one_pass<CborForm>(data); }

}  // namespace norvane
