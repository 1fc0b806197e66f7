#include "format/cbor/document.hpp"
#include "util/sorted_pairs.hpp"

#include <algorithm>
#include <deque>
#include <vector>

#include "format/cbor/writer.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::cbor {

namespace {

constexpr std::string_view kAnyJson = "any valid JSON value";

Error out_of_range() { return Error::custom("JSON number out of range"); }

// Reads one item as a generic document and hands it to a sink, which either
// builds a Document or writes JSON text straight away. Both see exactly the
// same reading rules and errors.
//
// Sink: null_(), boolean(b), u64(v), i64(v), f64(v) (finite), text(view),
// text_owned(string&&), begin_array(room), element(), end_array(),
// begin_map(room), key(view), key_owned(string&&), end_map().
template <class Sink>
class Walker {
public:
    Walker(Deserializer& de, Sink& sink) : de_(de), sink_(sink) {}

    DeResult<void> item() {
        Header h = NV_TRY(de_.pull());
        using K = Header::Kind;
        switch (h.kind) {
            case K::Positive: sink_.u64(h.arg); return {};
            case K::Negative:
                if (h.arg > uint64_t(INT64_MAX)) return de::fail(out_of_range());
                sink_.i64(int64_t(~h.arg));
                return {};
            case K::Text: {
                if (!h.indefinite) {
                    sink_.text(NV_TRY(de_.take_text(h.arg, de_.last_offset())));
                    return {};
                }
                std::string joined;
                NV_CHECK(de_.join_chunks(K::Text, joined));
                sink_.text_owned(std::move(joined));
                return {};
            }
            case K::Array: return array(h);
            case K::Map: return map(h);
            case K::Float:
                if (h.f - h.f == 0) {
                    sink_.f64(h.f);
                } else {
                    sink_.null_();
                }
                return {};
            case K::Simple:
                if (h.arg == kSimpleFalse || h.arg == kSimpleTrue) {
                    sink_.boolean(h.arg == kSimpleTrue);
                    return {};
                }
                if (h.arg == kSimpleNull || h.arg == kSimpleUndefined) {
                    sink_.null_();
                    return {};
                }
                return de::fail(Error::invalid_type(found(h), "known simple value"));
            case K::Bytes: {
                // The bytes are read before they are refused.
                if (h.indefinite) {
                    std::string joined;
                    NV_CHECK(de_.join_chunks(K::Bytes, joined));
                } else {
                    NV_CHECK(de_.take(h.arg));
                }
                return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::Bytes), kAnyJson));
            }
            case K::Tag: return tagged(h.arg);
            case K::Break: break;
        }
        return de::fail(Error::invalid_type(found(h), "non-break"));
    }

private:
    // Room reserved for a declared count: never more than the bytes left.
    size_t room(uint64_t declared) const {
        const size_t left = de_.size() - de_.offset();
        return declared < left ? size_t(declared) : left;
    }

    // Whether another entry follows (consumes the break of an indefinite container).
    DeResult<bool> more(const Header& h, uint64_t& left) {
        if (!h.indefinite) {
            if (left == 0) return false;
            --left;
            return true;
        }
        Header e = NV_TRY(de_.pull());
        if (e.kind == Header::Kind::Break) return false;
        de_.push_back();
        return true;
    }

    DeResult<void> array(const Header& h) {
        NV_CHECK(de_.enter());
        sink_.begin_array(h.indefinite ? 0 : room(h.arg));
        uint64_t left = h.arg;
        while (NV_TRY(more(h, left))) {
            sink_.element();
            NV_CHECK(item());
        }
        sink_.end_array();
        de_.leave();
        return {};
    }

    DeResult<void> map(const Header& h) {
        NV_CHECK(de_.enter());
        sink_.begin_map(h.indefinite ? 0 : room(h.arg));
        uint64_t left = h.arg;
        bool first = true;
        while (NV_TRY(more(h, left))) {
            NV_CHECK(key(first));
            first = false;
            NV_CHECK(item());
        }
        sink_.end_map();
        de_.leave();
        return {};
    }

    // A map key: a text of any length, definite or in chunks, tags in front
    // skipped. Any other item is refused; the expected part of that text is
    // "str" for a map's first key and "string" for the later ones.
    DeResult<void> key(bool first) {
        for (;;) {
            Header h = NV_TRY(de_.pull());
            if (h.kind == Header::Kind::Tag) continue;
            if (h.kind != Header::Kind::Text) [[unlikely]]
                return de::fail(Error::invalid_type(found(h), first ? "str" : "string"));
            if (!h.indefinite) {
                sink_.key(NV_TRY(de_.take_text(h.arg, de_.last_offset())));
                return {};
            }
            std::string joined;
            NV_CHECK(de_.join_chunks(Header::Kind::Text, joined));
            sink_.key_owned(std::move(joined));
            return {};
        }
    }

    DeResult<void> tagged(uint64_t tag) {
        Header next = NV_TRY(de_.pull());
        de_.push_back();
        if ((tag == 2 || tag == 3) && next.kind == Header::Kind::Bytes && !next.indefinite && next.arg <= 16) {
            RawInt n = NV_TRY(de_.bignum(tag == 3));
            if (!n.negative) {
                if (n.raw > UINT64_MAX) return de::fail(out_of_range());
                sink_.u64(uint64_t(n.raw));
                return {};
            }
            if (n.raw >> 127) return de::fail(Error::custom("integer too large"));
            if (n.raw > uint64_t(INT64_MAX)) return de::fail(out_of_range());
            sink_.i64(-1 - int64_t(n.raw));
            return {};
        }
        // Any other tag is offered as an enum, which a document refuses.
        NV_CHECK(de_.enter());
        de_.leave();
        return de::fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::Enum), kAnyJson));
    }

    Deserializer& de_;
    Sink& sink_;
};

// Builds a Document in place.
class DocumentSink {
public:
    explicit DocumentSink(Document& root) : target_(&root) {}

    void null_() { *target_ = Document::null(); }
    void boolean(bool v) { *target_ = Document::boolean(v); }
    void u64(uint64_t v) { *target_ = Document::u64(v); }
    void i64(int64_t v) { *target_ = Document::i64(v); }
    void f64(double v) { *target_ = Document::f64(v); }
    void text(std::string_view v) { *target_ = Document::str(std::string(v)); }
    void text_owned(std::string&& v) { *target_ = Document::str(std::move(v)); }

    void begin_array(size_t room) {
        *target_ = Document::seq();
        target_->items().reserve(room);
        open_.push_back(target_);
    }
    void element() { target_ = &open_.back()->items().emplace_back(); }
    void end_array() { open_.pop_back(); }

    void begin_map(size_t room) {
        *target_ = Document::map();
        target_->members().reserve(room);
        open_.push_back(target_);
    }
    void key(std::string_view k) { key_owned(std::string(k)); }
    void key_owned(std::string&& k) {
        target_ = &open_.back()->members().emplace_back(std::move(k), Document()).second;
    }
    void end_map() {
        sort_pairs_keep_last(open_.back()->members());
        open_.pop_back();
    }

private:
    Document* target_;
    std::vector<Document*> open_;
};

// Writes compact JSON as the items arrive. A map whose keys do not arrive in
// strictly ascending order has its members reordered in the output when it
// ends (the last of equal keys kept).
class JsonSink {
public:
    explicit JsonSink(std::string& out) : out_(out) {}

    void null_() { out_.append("null", 4); }
    void boolean(bool v) { v ? out_.append("true", 4) : out_.append("false", 5); }
    void u64(uint64_t v) { append_u64(out_, v); }
    void i64(int64_t v) { append_i64(out_, v); }
    void f64(double v) { append_json_double(out_, v); }
    void text(std::string_view v) { append_json_string(out_, v); }
    void text_owned(std::string&& v) { append_json_string(out_, v); }

    void begin_array(size_t) {
        out_.push_back('[');
        frames_.push_back(Frame{0, true, true});
    }
    void element() {
        Frame& f = frames_.back();
        if (!f.first) out_.push_back(',');
        f.first = false;
    }
    void end_array() {
        frames_.pop_back();
        out_.push_back(']');
    }

    void begin_map(size_t) {
        out_.push_back('{');
        frames_.push_back(Frame{members_.size(), true, true});
    }
    void key(std::string_view k) {
        Frame& f = frames_.back();
        if (!f.first) {
            members_.back().end = out_.size();
            out_.push_back(',');
            if (!(members_.back().key < k)) f.sorted = false;
        }
        f.first = false;
        members_.push_back(Member{k, out_.size(), 0});
        append_json_string(out_, k);
        out_.push_back(':');
    }
    void key_owned(std::string&& k) { key(owned_keys_.emplace_back(std::move(k))); }
    void end_map() {
        Frame f = frames_.back();
        frames_.pop_back();
        if (!f.first) members_.back().end = out_.size();
        if (!f.sorted) reorder(f.base);
        members_.resize(f.base);
        out_.push_back('}');
    }

private:
    struct Frame {
        size_t base;  // first member of this map in members_
        bool first;
        bool sorted;  // keys so far strictly ascending
    };
    struct Member {
        std::string_view key;
        size_t start;  // the member's text in the output: key, colon, value
        size_t end;
    };

    void reorder(size_t base) {
        auto begin = members_.begin() + std::ptrdiff_t(base);
        const size_t region = begin->start;
        const std::string text = out_.substr(region);
        std::stable_sort(begin, members_.end(), [](const Member& a, const Member& b) { return a.key < b.key; });
        out_.resize(region);
        bool first = true;
        for (auto it = begin; it != members_.end(); ++it) {
            if (it + 1 != members_.end() && (it + 1)->key == it->key) continue;
            if (!first) out_.push_back(',');
            first = false;
            out_.append(text, it->start - region, it->end - it->start);
        }
    }

    std::string& out_;
    std::vector<Frame> frames_;
    std::vector<Member> members_;
    std::deque<std::string> owned_keys_;  // keys joined from chunks (stable addresses)
};

}  // namespace

DeResult<Document> read_document(Deserializer& de) {
    Document root;
    DocumentSink sink(root);
    Walker<DocumentSink> walker(de, sink);
    NV_CHECK(walker.item());
    return root;
}

Result<Document> decode_document(std::string_view data) {
    Deserializer de(data);
    auto doc = read_document(de);
    if (!doc) return fail(error_text(doc.error()));
    return std::move(*doc);
}

Result<std::string> decode_to_json(std::string_view data) {
    Deserializer de(data);
    std::string out;
    out.reserve(data.size() + data.size() / 2 + 16);
    JsonSink sink(out);
    Walker<JsonSink> walker(de, sink);
    auto r = walker.item();
    if (!r) return fail(error_text(r.error()));
    return out;
}

void write_document(std::string& out, const Document& doc) {
    switch (doc.kind()) {
        case NodeKind::Null: write_null(out); return;
        case NodeKind::Bool: write_bool(out, doc.as_bool()); return;
        case NodeKind::U64: write_u64(out, doc.as_u64()); return;
        case NodeKind::I64: write_i64(out, doc.as_i64()); return;
        case NodeKind::F64: write_f64(out, doc.as_f64()); return;
        case NodeKind::Str: write_text(out, doc.as_str()); return;
        case NodeKind::Bytes:
            write_head(out, kBytes, doc.as_str().size());
            out.append(doc.as_str());
            return;
        case NodeKind::Seq:
            write_array_head(out, doc.items().size());
            for (const auto& e : doc.items()) write_document(out, e);
            return;
        case NodeKind::Map:
            write_map_head(out, doc.members().size());
            for (const auto& [k, v] : doc.members()) {
                write_text(out, k);
                write_document(out, v);
            }
            return;
    }
}

}  // namespace norvane::cbor
