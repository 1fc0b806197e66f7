// The MessagePack and CBOR forms of a message: the message's generic document
// (what its JSON text describes, every record a map with string keys) written
// in the format. The document is not built: its members are written straight
// from the message, in ascending byte order of their keys at every level, as
// the document would hold them; opaque payloads are written in place.
#include <cmath>
#include <utility>

#include "diff/patch_write.hpp"
#include "format/cbor/document.hpp"
#include "format/cbor/writer.hpp"
#include "format/msgpack/document.hpp"
#include "format/msgpack/writer.hpp"
#include "message/fields.hpp"
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
    template <class N>
    void union_head() {
        patch_write::msgpack_union_head<N>(out);
    }
    template <class N>
    void name() {
        patch_write::msgpack_name<N>(out);
    }
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
    template <class N>
    void union_head() {
        patch_write::cbor_union_head<N>(out);
    }
    template <class N>
    void name() {
        patch_write::cbor_name<N>(out);
    }
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

// A patch as a document: records as maps, names in ascending byte order.
template <class W>
struct PatchForm {
    static constexpr bool kNamedFields = true;
    static constexpr bool kSortedFields = true;
    W& w;

    template <class N>
    void begin_union() {
        w.template union_head<N>();
    }
    void end_union() {}
    void begin_record(size_t n) { w.map(n); }
    template <size_t P, class N>
    void field() {
        w.template name<N>();
    }
    void end_record() {}
    void begin_list(size_t n) { w.array(n); }
    void item(size_t) {}
    void end_list() {}
    void u64(uint64_t v) { w.u64(v); }
    void text(std::string_view s) { w.str(s); }
    void value(const Value& v) { put_value(w, v); }
};

template <class W>
void put_message(W& w, const Message& m);

// One field's value.
template <class W>
void put_item(W& w, uint64_t v) {
    w.u64(v);
}
template <class W>
void put_item(W& w, const std::string& v) {
    w.str(v);
}
template <class W>
void put_item(W& w, const Value& v) {
    put_value(w, v);
}
template <class W>
void put_item(W& w, const Document& v) {
    w.document(v);
}
template <class W>
void put_item(W& w, const std::vector<Document>& items) {
    w.array(items.size());
    for (const Document& d : items) w.document(d);
}
template <class W>
void put_item(W& w, const std::vector<Message>& msgs) {
    w.array(msgs.size());
    for (const Message& e : msgs) put_message(w, e);
}
template <class W>
void put_item(W& w, const Patch& p) {
    PatchForm<W> form{w};
    patch_write::write_patch(form, p);
}

// Whether a field takes a member of the written map.
template <class F, class T>
bool written(const F&, const T&) {
    return true;
}
template <class F, class T>
bool written(const F& f, const std::optional<T>& v) {
    return v.has_value() || f.absent == message_fields::Absent::Null;
}

template <class W, class F, class T>
void put_field(W& w, const F& f, const T& v) {
    w.str(f.name);
    put_item(w, v);
}
template <class W, class F, class T>
void put_field(W& w, const F& f, const std::optional<T>& v) {
    if (v) {
        w.str(f.name);
        put_item(w, *v);
    } else if (f.absent == message_fields::Absent::Null) {
        w.str(f.name);
        w.null();
    }
}

// The members in ascending byte order of their keys, "t" among them.
template <class W, class M>
void put_known(W& w, const M& m) {
    namespace mf = message_fields;
    size_t n = 1;
    mf::for_each_field<M>([&](const auto& f) { n += written(f, m.*f.member); });
    w.map(n);
    [&]<size_t... K>(std::index_sequence<K...>) {
        auto one = [&]<int I>() {
            if constexpr (I < 0) {
                w.str("t");
                w.str(mf::kTag<M>);
            } else {
                const auto& f = std::get<I>(mf::Decl<M>::fields);
                put_field(w, f, m.*f.member);
            }
        };
        (one.template operator()<mf::kSorted<M>[K]>(), ...);
    }(std::make_index_sequence<mf::kSorted<M>.size()>{});
}

template <class W>
void put_message(W& w, const Message& m) {
    std::visit(Overloaded{
                   [&](const UnknownMessage& u) { w.document(u.doc); },
                   [&](const auto& known) { put_known(w, known); },
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
