#include "message/message.hpp"

#include <utility>

#include "diff/patch_json.hpp"
#include "format/document.hpp"
#include "format/json/reader.hpp"
#include "format/record/error.hpp"
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
        return fail(de::Error::invalid_value(de::Unexpected::signed_(d.as_i64()), "u64").message(de::Style::Json));
    return fail(invalid_type(d, "u64"));
}

Result<std::string> read_text(Document& d) {
    if (d.kind() == NodeKind::Str) return std::move(d.as_str());
    return fail(invalid_type(d, "a string"));
}

Result<std::optional<std::string>> read_optional_text(Document& d) {
    if (d.is_null()) return std::optional<std::string>();
    return std::optional<std::string>(NV_TRY(read_text(d)));
}

std::optional<Document> read_optional_document(Document& d) {
    if (d.is_null()) return std::nullopt;
    return std::move(d);
}

Result<std::vector<Document>> read_list(Document& d) {
    if (d.kind() == NodeKind::Seq) return std::move(d.items());
    return fail(invalid_type(d, "a sequence"));
}

Result<std::optional<std::vector<Document>>> read_optional_list(Document& d) {
    if (d.is_null()) return std::optional<std::vector<Document>>();
    return std::optional<std::vector<Document>>(NV_TRY(read_list(d)));
}

Result<Value> read_value(const Document& d) {
    auto v = value_from_tree(d);
    if (!v) return fail(v.error().message(de::Style::Json));
    return std::move(*v);
}

Result<std::vector<Message>> read_messages(Document& d) {
    if (d.kind() != NodeKind::Seq) return fail(invalid_type(d, "a sequence"));
    std::vector<Message> msgs;
    msgs.reserve(d.items().size());
    for (Document& item : d.items()) msgs.push_back(NV_TRY(Message::from_value(std::move(item))));
    return msgs;
}

// Visits the members of a record in the document's (sorted) order: each member
// named like a field is converted by on_field(index, value) and the first
// failure ends the read; other members, "t" among them, are skipped. Then the
// first required field (bit i of `required`) that was absent fails.
template <size_t N, class OnField>
Status read_record(std::vector<Document::Member>& members, const std::string_view (&fields)[N], unsigned required,
                   OnField&& on_field) {
    unsigned seen = 0;
    for (auto& [key, value] : members) {
        for (size_t i = 0; i < N; ++i) {
            if (fields[i] == key) {
                NV_CHECK(on_field(i, value));
                seen |= 1u << i;
                break;
            }
        }
    }
    unsigned absent = required & ~seen;
    for (size_t i = 0; i < N; ++i)
        if (absent >> i & 1) return fail(missing_field(fields[i]));
    return {};
}

constexpr std::string_view kSnapshotFields[] = {"id", "type", "rev", "value"};
constexpr std::string_view kCrdtSnapshotFields[] = {"id", "type", "rev", "value", "spec", "state"};
constexpr std::string_view kPatchFields[] = {"id", "patch", "proposal"};
constexpr std::string_view kCrdtFields[] = {"id", "rev", "ops", "effect", "proposal"};
constexpr std::string_view kAckFields[] = {"id", "rev", "proposal"};
constexpr std::string_view kRejectFields[] = {"id", "rev", "error", "proposal", "crdt_ops"};
constexpr std::string_view kAwarenessFields[] = {"id", "peer", "state"};
constexpr std::string_view kBatchFields[] = {"msgs"};

Result<Message> read_known(Message::Kind kind, std::vector<Document::Member>& m) {
    using K = Message::Kind;
    switch (kind) {
        case K::Snapshot: {
            SnapshotMessage s;
            NV_CHECK(read_record(m, kSnapshotFields, 0b1111, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: s.id = NV_TRY(read_u64(d)); break;
                    case 1: s.type = NV_TRY(read_text(d)); break;
                    case 2: s.rev = NV_TRY(read_u64(d)); break;
                    default: s.value = NV_TRY(read_value(d)); break;
                }
                return {};
            }));
            return Message{std::move(s)};
        }
        case K::CrdtSnapshot: {
            CrdtSnapshotMessage s;
            NV_CHECK(read_record(m, kCrdtSnapshotFields, 0b111111, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: s.id = NV_TRY(read_u64(d)); break;
                    case 1: s.type = NV_TRY(read_text(d)); break;
                    case 2: s.rev = NV_TRY(read_u64(d)); break;
                    case 3: s.value = NV_TRY(read_value(d)); break;
                    case 4: s.spec = std::move(d); break;
                    default: s.state = std::move(d); break;
                }
                return {};
            }));
            return Message{std::move(s)};
        }
        case K::Patch: {
            PatchMessage p;
            NV_CHECK(read_record(m, kPatchFields, 0b011, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: p.id = NV_TRY(read_u64(d)); break;
                    case 1: p.patch = NV_TRY(patch_from_document(d)); break;
                    default: p.proposal = NV_TRY(read_optional_text(d)); break;
                }
                return {};
            }));
            return Message{std::move(p)};
        }
        case K::Crdt: {
            CrdtMessage c;
            NV_CHECK(read_record(m, kCrdtFields, 0b00111, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: c.id = NV_TRY(read_u64(d)); break;
                    case 1: c.rev = NV_TRY(read_u64(d)); break;
                    case 2: c.ops = NV_TRY(read_list(d)); break;
                    case 3: c.effect = read_optional_document(d); break;
                    default: c.proposal = NV_TRY(read_optional_text(d)); break;
                }
                return {};
            }));
            return Message{std::move(c)};
        }
        case K::Ack: {
            AckMessage a;
            NV_CHECK(read_record(m, kAckFields, 0b111, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: a.id = NV_TRY(read_u64(d)); break;
                    case 1: a.rev = NV_TRY(read_u64(d)); break;
                    default: a.proposal = NV_TRY(read_text(d)); break;
                }
                return {};
            }));
            return Message{std::move(a)};
        }
        case K::Reject: {
            RejectMessage r;
            NV_CHECK(read_record(m, kRejectFields, 0b00111, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: r.id = NV_TRY(read_u64(d)); break;
                    case 1: r.rev = NV_TRY(read_u64(d)); break;
                    case 2: r.error = NV_TRY(read_text(d)); break;
                    case 3: r.proposal = NV_TRY(read_optional_text(d)); break;
                    default: r.crdt_ops = NV_TRY(read_optional_list(d)); break;
                }
                return {};
            }));
            return Message{std::move(r)};
        }
        case K::Awareness: {
            AwarenessMessage a;
            NV_CHECK(read_record(m, kAwarenessFields, 0b001, [&](size_t i, Document& d) -> Status {
                switch (i) {
                    case 0: a.id = NV_TRY(read_u64(d)); break;
                    case 1: a.peer = NV_TRY(read_optional_text(d)); break;
                    default: a.state = read_optional_document(d); break;
                }
                return {};
            }));
            return Message{std::move(a)};
        }
        case K::Batch: {
            BatchMessage b;
            NV_CHECK(read_record(m, kBatchFields, 0b1, [&](size_t, Document& d) -> Status {
                b.msgs = NV_TRY(read_messages(d));
                return {};
            }));
            return Message{std::move(b)};
        }
        case K::Unknown: break;
    }
    internal_fault("internal error: entered unreachable code: unknown messages serialize through their raw value");
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

void put_u64(std::string& out, std::string_view name, uint64_t v) {
    put_key(out, name);
    append_u64(out, v);
}

void put_text(std::string& out, std::string_view name, const std::string& v) {
    put_key(out, name);
    append_json_string(out, v);
}

void put_list(std::string& out, const std::vector<Document>& items) {
    out += '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        write_json(out, items[i]);
    }
    out += ']';
}

void write_message(std::string& out, const Message& m) {
    using K = Message::Kind;
    std::visit(Overloaded{
                   [&](const SnapshotMessage& s) {
                       put_tag(out, K::Snapshot);
                       put_u64(out, "id", s.id);
                       put_text(out, "type", s.type);
                       put_u64(out, "rev", s.rev);
                       put_key(out, "value");
                       value_to_json(out, s.value);
                       out += '}';
                   },
                   [&](const CrdtSnapshotMessage& s) {
                       put_tag(out, K::CrdtSnapshot);
                       put_u64(out, "id", s.id);
                       put_text(out, "type", s.type);
                       put_u64(out, "rev", s.rev);
                       put_key(out, "value");
                       value_to_json(out, s.value);
                       put_key(out, "spec");
                       write_json(out, s.spec);
                       put_key(out, "state");
                       write_json(out, s.state);
                       out += '}';
                   },
                   [&](const PatchMessage& p) {
                       put_tag(out, K::Patch);
                       put_u64(out, "id", p.id);
                       put_key(out, "patch");
                       patch_to_json(out, p.patch);
                       if (p.proposal) put_text(out, "proposal", *p.proposal);
                       out += '}';
                   },
                   [&](const CrdtMessage& c) {
                       put_tag(out, K::Crdt);
                       put_u64(out, "id", c.id);
                       put_u64(out, "rev", c.rev);
                       put_key(out, "ops");
                       put_list(out, c.ops);
                       if (c.effect) {
                           put_key(out, "effect");
                           write_json(out, *c.effect);
                       }
                       if (c.proposal) put_text(out, "proposal", *c.proposal);
                       out += '}';
                   },
                   [&](const AckMessage& a) {
                       put_tag(out, K::Ack);
                       put_u64(out, "id", a.id);
                       put_u64(out, "rev", a.rev);
                       put_text(out, "proposal", a.proposal);
                       out += '}';
                   },
                   [&](const RejectMessage& r) {
                       put_tag(out, K::Reject);
                       put_u64(out, "id", r.id);
                       put_u64(out, "rev", r.rev);
                       put_text(out, "error", r.error);
                       if (r.proposal) put_text(out, "proposal", *r.proposal);
                       if (r.crdt_ops) {
                           put_key(out, "crdt_ops");
                           put_list(out, *r.crdt_ops);
                       }
                       out += '}';
                   },
                   [&](const AwarenessMessage& a) {
                       put_tag(out, K::Awareness);
                       put_u64(out, "id", a.id);
                       if (a.peer) put_text(out, "peer", *a.peer);
                       put_key(out, "state");
                       if (a.state) {
                           write_json(out, *a.state);
                       } else {
                           out += "null";
                       }
                       out += '}';
                   },
                   [&](const BatchMessage& b) {
                       put_tag(out, K::Batch);
                       put_key(out, "msgs");
                       out += '[';
                       for (size_t i = 0; i < b.msgs.size(); ++i) {
                           if (i) out += ',';
                           write_message(out, b.msgs[i]);
                       }
                       out += "]}";
                   },
                   [&](const UnknownMessage& u) { write_json(out, u.doc); },
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
                              internal_fault(
                                  "internal error: entered unreachable code: unknown messages serialize "
                                  "through their raw value");
                          },
                          [](const auto& known) -> KnownMessage { return KnownMessage{known}; },
                      },
                      m.v);
}

}  // namespace norvane
