// Structural diff: two model values (JSON texts separated by the first newline);
// the operations of diff(a, b) applied to a give b, through their JSON text too,
// and diff(a, a) is empty.
#include "common.hpp"
#include "diff/apply.hpp"
#include "diff/diff.hpp"
#include "diff/patch_json.hpp"
#include "value/json.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    std::string_view s = in.view();
    size_t nl = s.find('\n');
    if (nl == std::string_view::npos || !fuzz::utf8(s)) return 0;
    auto a = parse_value(s.substr(0, nl));
    auto b = parse_value(s.substr(nl + 1));
    if (!a || !b) return 0;
    std::vector<Op> same_ops;
    diff_value({}, *a, *a, same_ops);
    fuzz::check(same_ops.empty(), "diff of a value with itself is not empty");
    Patch p;
    diff_value({}, *a, *b, p.ops);
    std::string target = value_to_json(*b);
    Value c = *a;
    auto applied = apply_all_or_nothing(c, p.ops);
    if (!applied) fuzz::fail("the diff does not apply", patch_to_json(p), applied.error());
    fuzz::same(target, value_to_json(c), "the applied diff does not give the new value");
    auto text = apply_texts(value_to_json(*a), patch_to_json(p));
    if (!text) fuzz::fail("the diff's JSON does not apply", patch_to_json(p), text.error());
    fuzz::same(target, *text, "the applied diff text does not give the new value");
    return 0;
}
