#include "codec/msgpack_codec.hpp"

#include "diff/patch_read.hpp"
#include "format/msgpack/reader.hpp"
#include "format/msgpack/writer.hpp"
#include "value/msgpack.hpp"

namespace norvane {

namespace {

void write_path(std::string& out, const Path& path) {
    msgpack::write_array_header(out, path.size());
    for (const PathSeg& seg : path) {
        out.push_back(char(0x81));
        if (seg.kind == PathSeg::Kind::Key) {
            msgpack::write_str(out, "Key");
            msgpack::write_str(out, seg.key);
        } else {
            msgpack::write_str(out, "Index");
            msgpack::write_uint(out, seg.index);
        }
    }
}

// A one-entry map from the variant name to the array of its fields in order.
void write_op(std::string& out, const Op& op) {
    out.push_back(char(0x81));
    msgpack::write_str(out, Op::kNames[size_t(op.kind)]);
    switch (op.kind) {
        case Op::Kind::Set:
            msgpack::write_array_header(out, 2);
            write_path(out, op.path);
            value_to_msgpack(out, op.value);
            return;
        case Op::Kind::Remove:
            msgpack::write_array_header(out, 1);
            write_path(out, op.path);
            return;
        case Op::Kind::Insert:
            msgpack::write_array_header(out, 3);
            write_path(out, op.path);
            msgpack::write_uint(out, op.index);
            value_to_msgpack(out, op.value);
            return;
        case Op::Kind::RemoveAt:
            msgpack::write_array_header(out, 2);
            write_path(out, op.path);
            msgpack::write_uint(out, op.index);
            return;
        case Op::Kind::Move:
            msgpack::write_array_header(out, 3);
            write_path(out, op.path);
            msgpack::write_uint(out, op.from);
            msgpack::write_uint(out, op.to);
            return;
        case Op::Kind::Reorder:
            msgpack::write_array_header(out, 2);
            write_path(out, op.path);
            msgpack::write_array_header(out, op.order.size());
            for (uint64_t i : op.order) msgpack::write_uint(out, i);
            return;
    }
}

}  // namespace

void patch_to_msgpack(std::string& out, const Patch& p) {
    msgpack::write_array_header(out, 2);
    msgpack::write_uint(out, p.rev);
    msgpack::write_array_header(out, p.ops.size());
    for (const Op& op : p.ops) write_op(out, op);
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
