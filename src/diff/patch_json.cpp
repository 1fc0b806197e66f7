#include "diff/patch_json.hpp"

#include "diff/patch_read.hpp"
#include "diff/patch_write.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane {

namespace {

using patch_fields::Chars;
using patch_fields::Joined;

// The compact JSON form: records as objects, fields in declared order.
struct JsonForm {
    static constexpr bool kNamedFields = true;
    static constexpr bool kSortedFields = false;
    std::string& out;

    template <class T>
    void put() {
        patch_write::append_text<T>(out);
    }
    template <class N>
    void begin_union() {
        put<Joined<Chars<'{', '"'>, N, Chars<'"', ':'>>>();
    }
    void end_union() { put<Chars<'}'>>(); }
    // The opening brace goes with the first field's name.
    void begin_record(size_t n) {
        if (n == 0) put<Chars<'{'>>();
    }
    template <size_t P, class N>
    void field() {
        put<Joined<Chars<P == 0 ? '{' : ','>, Chars<'"'>, N, Chars<'"', ':'>>>();
    }
    void end_record() { put<Chars<'}'>>(); }
    void begin_list(size_t) { put<Chars<'['>>(); }
    void item(size_t i) {
        if (i) put<Chars<','>>();
    }
    void end_list() { put<Chars<']'>>(); }
    void u64(uint64_t v) { append_u64(out, v); }
    void text(std::string_view s) { append_json_string(out, s); }
    void value(const Value& v) { value_to_json(out, v); }
};

}  // namespace

void path_to_json(std::string& out, const Path& path) {
    JsonForm w{out};
    patch_write::write_path(w, path);
}

void op_to_json(std::string& out, const Op& op) {
    JsonForm w{out};
    patch_write::write_op(w, op);
}

void patch_to_json(std::string& out, const Patch& patch) {
    JsonForm w{out};
    patch_write::write_patch(w, patch);
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
