#include "codec/cbor_codec.hpp"

#include "diff/patch_read.hpp"
#include "diff/patch_write.hpp"
#include "format/cbor/reader.hpp"
#include "format/cbor/writer.hpp"
#include "value/cbor.hpp"

namespace norvane {

namespace {

// Records as maps of their named fields in declared order; unions as maps of one pair.
struct CborForm {
    static constexpr bool kNamedFields = true;
    static constexpr bool kSortedFields = false;
    std::string& out;

    template <class N>
    void begin_union() {
        patch_write::cbor_union_head<N>(out);
    }
    void end_union() {}
    void begin_record(size_t n) { cbor::write_map_head(out, n); }
    template <size_t P, class N>
    void field() {
        patch_write::cbor_name<N>(out);
    }
    void end_record() {}
    void begin_list(size_t n) { cbor::write_array_head(out, n); }
    void item(size_t) {}
    void end_list() {}
    void u64(uint64_t v) { cbor::write_u64(out, v); }
    void text(std::string_view s) { cbor::write_text(out, s); }
    void value(const Value& v) { value_to_cbor(out, v); }
};

}  // namespace

void patch_to_cbor(std::string& out, const Patch& p) {
    CborForm w{out};
    patch_write::write_patch(w, p);
}

std::string CborCodec::encode_value(const Value& v) const {
    std::string out;
    value_to_cbor(out, v);
    return out;
}

Result<Value> CborCodec::decode_value(std::string_view bytes) const {
    cbor::Deserializer de(bytes);
    auto v = value_from_cbor(de);
    if (!v) return fail(cbor::error_text(v.error()));
    return std::move(*v);
}

std::string CborCodec::encode_patch(const Patch& p) const {
    std::string out;
    patch_to_cbor(out, p);
    return out;
}

Result<Patch> CborCodec::decode_patch(std::string_view bytes) const {
    cbor::Deserializer de(bytes);
    auto p = patch_read::read_patch(de);
    if (!p) return fail(cbor::error_text(p.error()));
    return std::move(*p);
}

}  // namespace norvane
