#include "codec/msgpack_codec.hpp"

#include "diff/patch_read.hpp"
#include "diff/patch_write.hpp"
#include "format/msgpack/reader.hpp"
#include "format/msgpack/writer.hpp"
#include "value/msgpack.hpp"

namespace norvane {

namespace {

// Records as arrays of their field values; unions as maps of one entry.
struct MsgpackForm {
    static constexpr bool kNamedFields = false;
    static constexpr bool kSortedFields = false;
    std::string& out;

    template <class N>
    void begin_union() {
        patch_write::msgpack_union_head<N>(out);
    }
    void end_union() {}
    void begin_record(size_t n) { msgpack::write_array_header(out, n); }
    template <size_t P, class N>
    void field() {}
    void end_record() {}
    void begin_list(size_t n) { msgpack::write_array_header(out, n); }
    void item(size_t) {}
    void end_list() {}
    void u64(uint64_t v) { msgpack::write_uint(out, v); }
    void text(std::string_view s) { msgpack::write_str(out, s); }
    void value(const Value& v) { value_to_msgpack(out, v); }
};

}  // namespace

void patch_to_msgpack(std::string& out, const Patch& p) {
    MsgpackForm w{out};
    patch_write::write_patch(w, p);
}

std::string MsgpackCodec::encode_value(const Value& v) const {
    std::string out;
    value_to_msgpack(out, v);
    return out;
}

Result<Value> MsgpackCodec::decode_value(std::string_view bytes) const {
    msgpack::Deserializer d(bytes);
    auto v = value_from_msgpack(d);
    if (!v) return fail(msgpack::error_text(v.error()));
    return std::move(*v);
}

std::string MsgpackCodec::encode_patch(const Patch& p) const {
    std::string out;
    patch_to_msgpack(out, p);
    return out;
}

Result<Patch> MsgpackCodec::decode_patch(std::string_view bytes) const {
    msgpack::Deserializer d(bytes);
    auto p = patch_read::read_patch(d);
    if (!p) return fail(msgpack::error_text(p.error()));
    return std::move(*p);
}

}  // namespace norvane
