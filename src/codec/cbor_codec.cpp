#include "codec/cbor_codec.hpp"

#include "diff/patch_read.hpp"
#include "format/cbor/reader.hpp"
#include "format/cbor/writer.hpp"
#include "value/cbor.hpp"

namespace norvane {

namespace {

void write_path(std::string& out, const Path& path) {
    cbor::write_array_head(out, path.size());
    for (const PathSeg& seg : path) {
        out.push_back('\xa1');
        if (seg.kind == PathSeg::Kind::Key) {
            cbor::write_text(out, "Key");
            cbor::write_text(out, seg.key);
        } else {
            cbor::write_text(out, "Index");
            cbor::write_u64(out, seg.index);
        }
    }
}

void write_op(std::string& out, const Op& op) {
    out.push_back('\xa1');
    cbor::write_text(out, Op::kNames[size_t(op.kind)]);
    auto field = [&](std::string_view name) { cbor::write_text(out, name); };
    switch (op.kind) {
        case Op::Kind::Set:
            cbor::write_map_head(out, 2);
            field("path");
            write_path(out, op.path);
            field("value");
            value_to_cbor(out, op.value);
            return;
        case Op::Kind::Remove:
            cbor::write_map_head(out, 1);
            field("path");
            write_path(out, op.path);
            return;
        case Op::Kind::Insert:
            cbor::write_map_head(out, 3);
            field("path");
            write_path(out, op.path);
            field("index");
            cbor::write_u64(out, op.index);
            field("value");
            value_to_cbor(out, op.value);
            return;
        case Op::Kind::RemoveAt:
            cbor::write_map_head(out, 2);
            field("path");
            write_path(out, op.path);
            field("index");
            cbor::write_u64(out, op.index);
            return;
        case Op::Kind::Move:
            cbor::write_map_head(out, 3);
            field("path");
            write_path(out, op.path);
            field("from");
            cbor::write_u64(out, op.from);
            field("to");
            cbor::write_u64(out, op.to);
            return;
        case Op::Kind::Reorder:
            cbor::write_map_head(out, 2);
            field("path");
            write_path(out, op.path);
            field("order");
            cbor::write_array_head(out, op.order.size());
            for (uint64_t i : op.order) cbor::write_u64(out, i);
            return;
    }
}

}  // namespace

void patch_to_cbor(std::string& out, const Patch& p) {
    cbor::write_map_head(out, 2);
    cbor::write_text(out, "rev");
    cbor::write_u64(out, p.rev);
    cbor::write_text(out, "ops");
    cbor::write_array_head(out, p.ops.size());
    for (const Op& op : p.ops) write_op(out, op);
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
