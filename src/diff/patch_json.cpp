#include "diff/patch_json.hpp"

#include "diff/patch_read.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane {

void path_to_json(std::string& out, const Path& path) {
    out += '[';
    bool first = true;
    for (const auto& seg : path) {
        if (!first) out += ',';
        first = false;
        if (seg.kind == PathSeg::Kind::Key) {
            out += "{\"Key\":";
            append_json_string(out, seg.key);
        } else {
            out += "{\"Index\":";
            append_u64(out, seg.index);
        }
        out += '}';
    }
    out += ']';
}

void op_to_json(std::string& out, const Op& op) {
    out += "{\"";
    out += Op::kNames[size_t(op.kind)];
    out += "\":{\"path\":";
    path_to_json(out, op.path);
    switch (op.kind) {
        case Op::Kind::Set:
            out += ",\"value\":";
            value_to_json(out, op.value);
            break;
        case Op::Kind::Remove:
            break;
        case Op::Kind::Insert:
            out += ",\"index\":";
            append_u64(out, op.index);
            out += ",\"value\":";
            value_to_json(out, op.value);
            break;
        case Op::Kind::RemoveAt:
            out += ",\"index\":";
            append_u64(out, op.index);
            break;
        case Op::Kind::Move:
            out += ",\"from\":";
            append_u64(out, op.from);
            out += ",\"to\":";
            append_u64(out, op.to);
            break;
        case Op::Kind::Reorder: {
            out += ",\"order\":[";
            bool first = true;
            for (uint64_t i : op.order) {
                if (!first) out += ',';
                first = false;
                append_u64(out, i);
            }
            out += ']';
            break;
        }
    }
    out += "}}";
}

void patch_to_json(std::string& out, const Patch& patch) {
    out += "{\"rev\":";
    append_u64(out, patch.rev);
    out += ",\"ops\":[";
    bool first = true;
    for (const auto& op : patch.ops) {
        if (!first) out += ',';
        first = false;
        op_to_json(out, op);
    }
    out += "]}";
}

std::string patch_to_json(const Patch& patch) {
    std::string out;
    out.reserve(128);
    patch_to_json(out, patch);
    return out;
}

Result<Patch> parse_patch(std::string_view text, bool check_utf8) {
    json::Reader r(text, check_utf8);
    auto p = patch_read::read_patch(r);
    if (!p) return fail(de::json_error_text(p.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*p);
}

Result<std::vector<Op>> parse_ops(std::string_view text) {
    json::Reader r(text);
    auto ops = patch_read::read_ops(r);
    if (!ops) return fail(de::json_error_text(ops.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*ops);
}

Result<Patch> patch_from_document(const Document& doc) {
    de::ContentDe<Document> d(doc);
    auto p = patch_read::read_patch(d);
    if (!p) return fail(p.error().message(de::Style::Json));
    return std::move(*p);
}

}  // namespace norvane
