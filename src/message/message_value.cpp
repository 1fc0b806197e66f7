// The MessagePack and CBOR forms of a message: the message's generic document
// (what its JSON text describes, every record a map with string keys) written
// in the format. The document is not built: its members are written straight
// from the message, in ascending byte order of their keys at every level, as
// the document would hold them; opaque payloads are written in place.
#include <cmath>

#include "format/cbor/document.hpp"
#include "format/cbor/writer.hpp"
#include "format/msgpack/document.hpp"
#include "format/msgpack/writer.hpp"
#include "message/message.hpp"

namespace norvane {

namespace {

struct MsgpackOut {
    std::string& out;
    void map(size_t n) { msgpack::write_map_header(out, n); }
    void array(size_t n) { msgpack::write_array_header(out, n); }
    void str(std::string_view s) { msgpack::write_str(out, s); }
    void u64(uint64_t v) { msgpack::write_uint(out, v); }
    void i64(int64_t v) { msgpack::write_int(out, v); }
    void f64(double v) { msgpack::write_f64(out, v); }
    void boolean(bool v) { msgpack::write_bool(out, v); }
    void null() { msgpack::write_nil(out); }
    void document(const Document& d) { msgpack::write_document(out, d); }
};

struct CborOut {
    std::string& out;
    void map(size_t n) { cbor::write_map_head(out, n); }
    void array(size_t n) { cbor::write_array_head(out, n); }
    void str(std::string_view s) { cbor::write_text(out, s); }
    void u64(uint64_t v) { cbor::write_u64(out, v); }
    void i64(int64_t v) { cbor::write_i64(out, v); }
    void f64(double v) { cbor::write_f64(out, v); }
    void boolean(bool v) { cbor::write_bool(out, v); }
    void null() { cbor::write_null(out); }
    void document(const Document& d) { cbor::write_document(out, d); }
};

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Tagged model JSON as a document: "Null", or {variant: payload}; a float that
// is not finite is null.
template <class W>
void put_value(W& w, const Value& v) {
    if (v.kind() == Value::Kind::Null) {
        w.str("Null");
        return;
    }
    w.map(1);
    w.str(v.kind_name());
    switch (v.kind()) {
        case Value::Kind::Null: break;
        case Value::Kind::Bool: w.boolean(v.as_bool()); break;
        case Value::Kind::Int: w.i64(v.as_int()); break;
        case Value::Kind::Float:
            if (std::isfinite(v.as_float())) {
                w.f64(v.as_float());
            } else {
                w.null();
            }
            break;
        case Value::Kind::Str: w.str(v.as_str()); break;
        case Value::Kind::List:
            w.array(v.as_list().size());
            for (const Value& e : v.as_list()) put_value(w, e);
            break;
        case Value::Kind::Map:
            w.map(v.as_map().size());
            for (const auto& [k, e] : v.as_map()) {
                w.str(k);
                put_value(w, e);
            }
            break;
        case Value::Kind::Submodel: w.u64(v.as_submodel().id); break;
    }
}

template <class W>
void put_path(W& w, const Path& path) {
    w.array(path.size());
    for (const PathSeg& s : path) {
        w.map(1);
        if (s.kind == PathSeg::Kind::Key) {
            w.str("Key");
            w.str(s.key);
        } else {
            w.str("Index");
            w.u64(s.index);
        }
    }
}

// {"Set":{"path","value"}}, {"Insert":{"index","path","value"}}, ...: the
// fields of each operation in key order.
template <class W>
void put_op(W& w, const Op& op) {
    w.map(1);
    w.str(Op::kNames[size_t(op.kind)]);
    switch (op.kind) {
        case Op::Kind::Set:
            w.map(2);
            w.str("path");
            put_path(w, op.path);
            w.str("value");
            put_value(w, op.value);
            break;
        case Op::Kind::Remove:
            w.map(1);
            w.str("path");
            put_path(w, op.path);
            break;
        case Op::Kind::Insert:
            w.map(3);
            w.str("index");
            w.u64(op.index);
            w.str("path");
            put_path(w, op.path);
            w.str("value");
            put_value(w, op.value);
            break;
        case Op::Kind::RemoveAt:
            w.map(2);
            w.str("index");
            w.u64(op.index);
            w.str("path");
            put_path(w, op.path);
            break;
        case Op::Kind::Move:
            w.map(3);
            w.str("from");
            w.u64(op.from);
            w.str("path");
            put_path(w, op.path);
            w.str("to");
            w.u64(op.to);
            break;
        case Op::Kind::Reorder:
            w.map(2);
            w.str("order");
            w.array(op.order.size());
            for (uint64_t i : op.order) w.u64(i);
            w.str("path");
            put_path(w, op.path);
            break;
    }
}

template <class W>
void put_documents(W& w, const std::vector<Document>& items) {
    w.array(items.size());
    for (const Document& d : items) w.document(d);
}

template <class W>
void put_message(W& w, const Message& m) {
    auto tag = [&](Message::Kind k) {
        w.str("t");
        w.str(Message::kTags[size_t(k)]);
    };
    using K = Message::Kind;
    std::visit(Overloaded{
                   [&](const SnapshotMessage& s) {
                       w.map(5);
                       w.str("id");
                       w.u64(s.id);
                       w.str("rev");
                       w.u64(s.rev);
                       tag(K::Snapshot);
                       w.str("type");
                       w.str(s.type);
                       w.str("value");
                       put_value(w, s.value);
                   },
                   [&](const CrdtSnapshotMessage& s) {
                       w.map(7);
                       w.str("id");
                       w.u64(s.id);
                       w.str("rev");
                       w.u64(s.rev);
                       w.str("spec");
                       w.document(s.spec);
                       w.str("state");
                       w.document(s.state);
                       tag(K::CrdtSnapshot);
                       w.str("type");
                       w.str(s.type);
                       w.str("value");
                       put_value(w, s.value);
                   },
                   [&](const PatchMessage& p) {
                       w.map(3 + p.proposal.has_value());
                       w.str("id");
                       w.u64(p.id);
                       w.str("patch");
                       w.map(2);
                       w.str("ops");
                       w.array(p.patch.ops.size());
                       for (const Op& op : p.patch.ops) put_op(w, op);
                       w.str("rev");
                       w.u64(p.patch.rev);
                       if (p.proposal) {
                           w.str("proposal");
                           w.str(*p.proposal);
                       }
                       tag(K::Patch);
                   },
                   [&](const CrdtMessage& c) {
                       w.map(4 + c.effect.has_value() + c.proposal.has_value());
                       if (c.effect) {
                           w.str("effect");
                           w.document(*c.effect);
                       }
                       w.str("id");
                       w.u64(c.id);
                       w.str("ops");
                       put_documents(w, c.ops);
                       if (c.proposal) {
                           w.str("proposal");
                           w.str(*c.proposal);
                       }
                       w.str("rev");
                       w.u64(c.rev);
                       tag(K::Crdt);
                   },
                   [&](const AckMessage& a) {
                       w.map(4);
                       w.str("id");
                       w.u64(a.id);
                       w.str("proposal");
                       w.str(a.proposal);
                       w.str("rev");
                       w.u64(a.rev);
                       tag(K::Ack);
                   },
                   [&](const RejectMessage& r) {
                       w.map(4 + r.crdt_ops.has_value() + r.proposal.has_value());
                       if (r.crdt_ops) {
                           w.str("crdt_ops");
                           put_documents(w, *r.crdt_ops);
                       }
                       w.str("error");
                       w.str(r.error);
                       w.str("id");
                       w.u64(r.id);
                       if (r.proposal) {
                           w.str("proposal");
                           w.str(*r.proposal);
                       }
                       w.str("rev");
                       w.u64(r.rev);
                       tag(K::Reject);
                   },
                   [&](const AwarenessMessage& a) {
                       w.map(3 + a.peer.has_value());
                       w.str("id");
                       w.u64(a.id);
                       if (a.peer) {
                           w.str("peer");
                           w.str(*a.peer);
                       }
                       w.str("state");
                       if (a.state) {
                           w.document(*a.state);
                       } else {
                           w.null();
                       }
                       tag(K::Awareness);
                   },
                   [&](const BatchMessage& b) {
                       w.map(2);
                       w.str("msgs");
                       w.array(b.msgs.size());
                       for (const Message& e : b.msgs) put_message(w, e);
                       tag(K::Batch);
                   },
                   [&](const UnknownMessage& u) { w.document(u.doc); },
               },
               m.v);
}

}  // namespace

void Message::write_msgpack(std::string& out) const {
    MsgpackOut w{out};
    put_message(w, *this);
}

void Message::write_cbor(std::string& out) const {
    CborOut w{out};
    put_message(w, *this);
}

}  // namespace norvane
