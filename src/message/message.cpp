#include "message/message.hpp"

#include <utility>

#include "diff/patch_json.hpp"
#include "format/document.hpp"
#include "format/json/reader.hpp"
#include "format/record/error.hpp"
#include "message/fields.hpp"
#include "message/message_json.hpp"
#include "message/texts.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// ---- failure texts of the typed read (record-reading texts, no position) -----

std::string invalid_type(const Document& d, std::string_view expected) {
    return de::Error::invalid_type(tree_unexpected(d), expected).message(de::Style::Json);
}

std::string missing_field(std::string_view name) {
    return de::Error::missing_field(name).message(de::Style::Json);
}

// ---- conversions of one member -------------------------------------------------

Result<uint64_t> read_u64(const Document& d) {
    if (d.kind() == NodeKind::U64) return d.as_u64();
    if (d.kind() == NodeKind::I64)
        return fail(de::Error::invalid_value(de::Unexpected::signed_(d.as_i64()), message_texts::kExpectedU64).message(de::Style::Json));
    return fail(invalid_type(d, message_texts::kExpectedU64));
}

Result<std::string> read_text(Document& d) {
    if (d.kind() == NodeKind::Str) return std::move(d.as_str());
    return fail(invalid_type(d, message_texts::kExpectedText));
}

Result<std::vector<Document>> read_list(Document& d) {
    if (d.kind() == NodeKind::Seq) return std::move(d.items());
    return fail(invalid_type(d, message_texts::kExpectedList));
}

Result<Value> read_value(const Document& d) {
    auto v = value_from_tree(d);
    if (!v) return fail(v.error().message(de::Style::Json));
    return std::move(*v);
}

Result<std::vector<Message>> read_messages(Document& d) {
    if (d.kind() != NodeKind::Seq) return fail(invalid_type(d, message_texts::kExpectedList));
    std::vector<Message> msgs;
    msgs.reserve(d.items().size());
    for (Document& item : d.items()) msgs.push_back(NV_TRY(Message::from_value(std::move(item))));
    return msgs;
}

// One member's value into a field of its declared type.
Status read_member(uint64_t& out, Document& d) {
    out = NV_TRY(read_u64(d));
    return {};
}
Status read_member(std::string& out, Document& d) {
    out = NV_TRY(read_text(d));
    return {};
}
Status read_member(Value& out, Document& d) {
    out = NV_TRY(read_value(d));
    return {};
}
Status read_member(Document& out, Document& d) {
    out = std::move(d);
    return {};
}
Status read_member(std::vector<Document>& out, Document& d) {
    out = NV_TRY(read_list(d));
    return {};
}
Status read_member(Patch& out, Document& d) {
    out = NV_TRY(patch_from_document(d));
    return {};
}
Status read_member(std::vector<Message>& out, Document& d) {
    out = NV_TRY(read_messages(d));
    return {};
}
template <class T>
Status read_member(std::optional<T>& out, Document& d) {
    if (d.is_null()) {
        out.reset();
        return {};
    }
    return read_member(out.emplace(), d);
}

// Visits the members of a record in the document's (sorted) order: each member
// named like a field is read into it and the first failure ends the read;
// other members, "t" among them, are skipped. Then the first required field
// (in declaration order) that was absent fails.
template <class M>
Result<Message> read_record(std::vector<Document::Member>& members) {
    namespace mf = message_fields;
    M m;
    unsigned seen = 0;
    for (auto& [key, value] : members) {
        const int i = mf::field_index<M>(key);
        if (i < 0) continue;
        NV_CHECK(mf::with_field<M>(size_t(i), [&](const auto& f) { return read_member(m.*f.member, value); }));
        seen |= 1u << i;
    }
    const unsigned absent = mf::kRequired<M> & ~seen;
    for (size_t i = 0; i < mf::kCount<M>; ++i)
        if (absent >> i & 1) return fail(missing_field(mf::kNames<M>[i]));
    return Message{std::move(m)};
}

Result<Message> read_known(Message::Kind kind, std::vector<Document::Member>& m) {
    return message_fields::with_kind(kind, [&]<class M>() { return read_record<M>(m); });
}

// ---- writing -------------------------------------------------------------------

void put_tag(std::string& out, Message::Kind k) {
    out += "{\"t\":\"";
    out += Message::kTags[size_t(k)];
    out += '"';
}

// ,"name":
void put_key(std::string& out, std::string_view name) {
    out += ",\"";
    out += name;
    out += "\":";
}

void write_message(std::string& out, const Message& m);

// One field's value in JSON.
void put_json(std::string& out, uint64_t v) { append_u64(out, v); }
void put_json(std::string& out, const std::string& v) { append_json_string(out, v); }
void put_json(std::string& out, const Value& v) { value_to_json(out, v); }
void put_json(std::string& out, const Document& v) { write_json(out, v); }
void put_json(std::string& out, const Patch& v) { patch_to_json(out, v); }
void put_json(std::string& out, const std::vector<Document>& items) {
    out += '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        write_json(out, items[i]);
    }
    out += ']';
}
void put_json(std::string& out, const std::vector<Message>& msgs) {
    out += '[';
    for (size_t i = 0; i < msgs.size(); ++i) {
        if (i) out += ',';
        write_message(out, msgs[i]);
    }
    out += ']';
}

template <class F, class T>
void put_field(std::string& out, const F& f, const T& v) {
    put_key(out, f.name);
    put_json(out, v);
}
template <class F, class T>
void put_field(std::string& out, const F& f, const std::optional<T>& v) {
    if (v) {
        put_key(out, f.name);
        put_json(out, *v);
    } else if (f.absent == message_fields::Absent::Null) {
        put_key(out, f.name);
        out += "null";
    }
}

// "t" first, then the fields in their declared order.
template <class M>
void write_known(std::string& out, const M& m) {
    put_tag(out, message_fields::kind_of<M>());
    message_fields::for_each_field<M>([&](const auto& f) { put_field(out, f, m.*f.member); });
    out += '}';
}

void write_message(std::string& out, const Message& m) {
    std::visit(Overloaded{
                   [&](const UnknownMessage& u) { write_json(out, u.doc); },
                   [&](const auto& known) { write_known(out, known); },
               },
               m.v);
}

}  // namespace

std::optional<Message::Kind> message_kind_of_tag(std::string_view tag) {
    for (size_t i = 0; i < std::size(Message::kTags); ++i)
        if (Message::kTags[i] == tag) return Message::Kind(i);
    return std::nullopt;
}

Result<Message> Message::from_value(Document&& doc) {
    if (doc.kind() == NodeKind::Map) {
        const Document* t = doc.find("t");
        if (t && t->kind() == NodeKind::Str) {
            if (auto kind = message_kind_of_tag(t->as_str())) return read_known(*kind, doc.members());
        }
    }
    return Message{UnknownMessage{std::move(doc)}};
}

Result<Message> Message::from_json(std::string_view text, bool check_utf8) {
    if (auto m = message_from_json_one_pass(text, check_utf8)) return std::move(*m);
    return from_json_tree(text, check_utf8);
}

Result<Message> Message::from_json_tree(std::string_view text, bool check_utf8) {
    json::Reader r(text, check_utf8);
    auto doc = read_document(r);
    if (!doc) return fail(de::json_error_text(doc.error()));
    Message m = NV_TRY(from_value(std::move(*doc)));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return m;
}

void Message::write_json(std::string& out) const { write_message(out, *this); }

std::string Message::to_json() const {
    std::string out;
    out.reserve(128);
    write_message(out, *this);
    return out;
}

KnownMessage KnownMessage::from(const Message& m) {
    return std::visit(Overloaded{
                          [](const UnknownMessage&) -> KnownMessage {
                              internal_fault(message_texts::kUnknownHasNoFields);
                          },
                          [](const auto& known) -> KnownMessage { return KnownMessage{known}; },
                      },
                      m.v);
}

}  // namespace norvane
