// The generic document of a message: what the MessagePack and CBOR connection
// codecs carry. Every object holds its members in ascending byte order of
// their keys, so the members below are listed in that order.
#include <utility>

#include "message/message.hpp"
#include "value/json.hpp"

namespace norvane {

namespace {

using Members = std::vector<Document::Member>;

void add(Members& m, std::string_view key, Document value) { m.emplace_back(std::string(key), std::move(value)); }

Document one(std::string_view key, Document value) {
    Members m;
    add(m, key, std::move(value));
    return Document::map(std::move(m));
}

Document path_document(const Path& path) {
    std::vector<Document> segs;
    segs.reserve(path.size());
    for (const PathSeg& s : path) {
        segs.push_back(s.kind == PathSeg::Kind::Key ? one("Key", Document::str(s.key))
                                                    : one("Index", Document::u64(s.index)));
    }
    return Document::seq(std::move(segs));
}

Document op_document(const Op& op) {
    Members f;
    switch (op.kind) {
        case Op::Kind::Set:
            add(f, "path", path_document(op.path));
            add(f, "value", value_to_document(op.value));
            break;
        case Op::Kind::Remove:
            add(f, "path", path_document(op.path));
            break;
        case Op::Kind::Insert:
            add(f, "index", Document::u64(op.index));
            add(f, "path", path_document(op.path));
            add(f, "value", value_to_document(op.value));
            break;
        case Op::Kind::RemoveAt:
            add(f, "index", Document::u64(op.index));
            add(f, "path", path_document(op.path));
            break;
        case Op::Kind::Move:
            add(f, "from", Document::u64(op.from));
            add(f, "path", path_document(op.path));
            add(f, "to", Document::u64(op.to));
            break;
        case Op::Kind::Reorder: {
            std::vector<Document> order;
            order.reserve(op.order.size());
            for (uint64_t i : op.order) order.push_back(Document::u64(i));
            add(f, "order", Document::seq(std::move(order)));
            add(f, "path", path_document(op.path));
            break;
        }
    }
    return one(Op::kNames[size_t(op.kind)], Document::map(std::move(f)));
}

Document patch_document(const Patch& p) {
    std::vector<Document> ops;
    ops.reserve(p.ops.size());
    for (const Op& op : p.ops) ops.push_back(op_document(op));
    Members m;
    add(m, "ops", Document::seq(std::move(ops)));
    add(m, "rev", Document::u64(p.rev));
    return Document::map(std::move(m));
}

Document tag(Message::Kind k) { return Document::str(std::string(Message::kTags[size_t(k)])); }

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace

Document Message::to_value() const {
    using K = Kind;
    return std::visit(
        Overloaded{
            [](const SnapshotMessage& s) {
                Members m;
                m.reserve(5);
                add(m, "id", Document::u64(s.id));
                add(m, "rev", Document::u64(s.rev));
                add(m, "t", tag(K::Snapshot));
                add(m, "type", Document::str(s.type));
                add(m, "value", value_to_document(s.value));
                return Document::map(std::move(m));
            },
            [](const CrdtSnapshotMessage& s) {
                Members m;
                m.reserve(7);
                add(m, "id", Document::u64(s.id));
                add(m, "rev", Document::u64(s.rev));
                add(m, "spec", s.spec);
                add(m, "state", s.state);
                add(m, "t", tag(K::CrdtSnapshot));
                add(m, "type", Document::str(s.type));
                add(m, "value", value_to_document(s.value));
                return Document::map(std::move(m));
            },
            [](const PatchMessage& p) {
                Members m;
                m.reserve(4);
                add(m, "id", Document::u64(p.id));
                add(m, "patch", patch_document(p.patch));
                if (p.proposal) add(m, "proposal", Document::str(*p.proposal));
                add(m, "t", tag(K::Patch));
                return Document::map(std::move(m));
            },
            [](const CrdtMessage& c) {
                Members m;
                m.reserve(6);
                if (c.effect) add(m, "effect", *c.effect);
                add(m, "id", Document::u64(c.id));
                add(m, "ops", Document::seq(c.ops));
                if (c.proposal) add(m, "proposal", Document::str(*c.proposal));
                add(m, "rev", Document::u64(c.rev));
                add(m, "t", tag(K::Crdt));
                return Document::map(std::move(m));
            },
            [](const AckMessage& a) {
                Members m;
                m.reserve(4);
                add(m, "id", Document::u64(a.id));
                add(m, "proposal", Document::str(a.proposal));
                add(m, "rev", Document::u64(a.rev));
                add(m, "t", tag(K::Ack));
                return Document::map(std::move(m));
            },
            [](const RejectMessage& r) {
                Members m;
                m.reserve(6);
                if (r.crdt_ops) add(m, "crdt_ops", Document::seq(*r.crdt_ops));
                add(m, "error", Document::str(r.error));
                add(m, "id", Document::u64(r.id));
                if (r.proposal) add(m, "proposal", Document::str(*r.proposal));
                add(m, "rev", Document::u64(r.rev));
                add(m, "t", tag(K::Reject));
                return Document::map(std::move(m));
            },
            [](const AwarenessMessage& a) {
                Members m;
                m.reserve(4);
                add(m, "id", Document::u64(a.id));
                if (a.peer) add(m, "peer", Document::str(*a.peer));
                add(m, "state", a.state ? *a.state : Document::null());
                add(m, "t", tag(K::Awareness));
                return Document::map(std::move(m));
            },
            [](const BatchMessage& b) {
                std::vector<Document> msgs;
                msgs.reserve(b.msgs.size());
                for (const Message& e : b.msgs) msgs.push_back(e.to_value());
                Members m;
                m.reserve(2);
                add(m, "msgs", Document::seq(std::move(msgs)));
                add(m, "t", tag(K::Batch));
                return Document::map(std::move(m));
            },
            [](const UnknownMessage& u) { return u.doc; },
        },
        v);
}

}  // namespace norvane
