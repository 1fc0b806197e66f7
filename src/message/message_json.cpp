// Messages from JSON text in one pass.
//
// A known message is read straight into its typed form: the scalar fields
// from the text, the model value, the patch and the opaque payloads with their
// own readers. When "t" is not the first member, the members before it are
// skipped to find it, then read. Anything this reader does not take the short
// way (a failure of any kind, a field or "t" given twice, a required field
// missing, a number that is not a plain u64)
// makes the caller read the text again through the generic document, which
// gives the failure texts and positions and the rules for duplicate keys. So
// a message read here is always the one the document path reads.
#include "message/message_json.hpp"

#include <utility>

#include "diff/patch_read.hpp"
#include "format/document.hpp"
#include "message/fields.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane {

namespace {

using de::DeResult;
namespace mf = message_fields;

class OnePass {
public:
    explicit OnePass(json::Reader& r) : r_(r) {}

    // One message at the reader's position.
    DeResult<Message> message() {
        if (r_.parse_whitespace() == '{') {
            const size_t start = r_.index();
            NV_CHECK(r_.enter());
            r_.eat_char();
            const size_t body = r_.index();
            const Tag tag = NV_TRY(find_tag());
            if (tag.kind) {
                // A leading "t" has been read; any other is met again below.
                if (!tag.leading) r_.rewind(body);
                Message m = NV_TRY(
                    mf::with_kind(*tag.kind, [&]<class M>() { return record<M>(!tag.leading, tag.leading); }));
                r_.leave();
                NV_CHECK(r_.end_map());
                return m;
            }
            r_.leave();
            r_.rewind(start);
        }
        Document doc = NV_TRY(read_document(r_));
        auto m = Message::from_value(std::move(doc));
        if (!m) return other_way();
        return std::move(*m);
    }

private:
    static std::unexpected<de::Error> other_way() { return de::fail(de::Error::custom({})); }

    struct Tag {
        std::optional<Message::Kind> kind;  // a known tag
        bool leading = false;               // "t" was the first member
    };

    // After the opening brace: looks for the first member "t", skipping the
    // members before it; the reader stands after its value.
    DeResult<Tag> find_tag() {
        bool first = true;
        bool leading = true;
        while (NV_TRY(r_.next_member(first))) {
            r_.eat_char();
            const bool is_tag = NV_TRY(r_.parse_str()) == "t";
            NV_CHECK(r_.parse_object_colon());
            if (is_tag) {
                if (r_.parse_whitespace() != '"') return Tag{};
                r_.eat_char();
                return Tag{message_kind_of_tag(NV_TRY(r_.parse_str())), leading};
            }
            NV_CHECK(r_.ignore_value());
            leading = false;
        }
        return Tag{};
    }

    // The members up to the closing brace (not eaten): from the first one when
    // `first`, else after a member already read; "t" has been read when `tag_read`.
    template <class M>
    DeResult<Message> record(bool first, bool tag_read) {
        M m;
        unsigned seen = 0;
        while (NV_TRY(r_.next_member(first))) {
            r_.eat_char();
            const std::string_view key = NV_TRY(r_.parse_str());
            const int i = mf::field_index<M>(key);
            const bool tag = i < 0 && key == "t";
            NV_CHECK(r_.parse_object_colon());
            if (i < 0) {
                if (tag) {
                    if (tag_read) return other_way();
                    tag_read = true;
                    NV_CHECK(r_.ignore_value());
                    continue;
                }
                NV_CHECK(read_document(r_));
                continue;
            }
            if (seen >> i & 1) return other_way();
            seen |= 1u << i;
            NV_CHECK(mf::with_field<M>(size_t(i), [&](const auto& f) { return read(m.*f.member); }));
        }
        if ((seen & mf::kRequired<M>) != mf::kRequired<M>) return other_way();
        return Message{std::move(m)};
    }

    DeResult<void> read(uint64_t& out) {
        const int c = r_.parse_whitespace();
        if (c < '0' || c > '9') return other_way();
        const json::Number n = NV_TRY(r_.parse_number(true));
        if (n.kind != json::Number::Kind::U64) return other_way();
        out = n.u;
        return {};
    }
    DeResult<void> read(std::string& out) {
        if (r_.parse_whitespace() != '"') return other_way();
        r_.eat_char();
        out.assign(NV_TRY(r_.parse_str()));
        return {};
    }
    DeResult<void> read(Value& out) {
        out = NV_TRY(value_from_json(r_));
        return {};
    }
    DeResult<void> read(Document& out) {
        out = NV_TRY(read_document(r_));
        return {};
    }
    DeResult<void> read(std::vector<Document>& out) {
        if (r_.parse_whitespace() != '[') return other_way();
        Document list = NV_TRY(read_document(r_));
        out = std::move(list.items());
        return {};
    }
    DeResult<void> read(Patch& out) {
        out = NV_TRY(patch_read::read_patch(r_));
        return {};
    }
    DeResult<void> read(std::vector<Message>& out) {
        if (r_.parse_whitespace() != '[') return other_way();
        NV_CHECK(r_.enter());
        r_.eat_char();
        bool first = true;
        while (NV_TRY(r_.next_element(first))) out.push_back(NV_TRY(message()));
        r_.leave();
        return r_.end_seq();
    }
    template <class T>
    DeResult<void> read(std::optional<T>& out) {
        if (r_.parse_whitespace() == 'n') {
            r_.eat_char();
            NV_CHECK(r_.parse_ident("ull"));
            out.reset();
            return {};
        }
        return read(out.emplace());
    }

    json::Reader& r_;
};

}  // namespace

std::optional<Message> message_from_json_one_pass(std::string_view text, bool check_utf8) {
    if (check_utf8 && !is_utf8(text)) return std::nullopt;
    json::Reader r(text);
    auto m = OnePass(r).message();
    if (!m || !r.end()) return std::nullopt;
    return std::move(*m);
}

}  // namespace norvane
