// Structural diff: two model values (JSON texts separated by the first newline);
// the operations of diff(a, b) applied to a give a value equal to b, through
// their JSON text too, and diff(a, a) is empty. Equal means the model's equality:
// floats compare as IEEE doubles, so 0.0 and -0.0 are equal and diff leaves one
// for the other (JSON texts hold no NaN).
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
    if (!(c == *b)) fuzz::fail("the applied diff does not give the new value", target, value_to_json(c));
    auto text = apply_texts(value_to_json(*a), patch_to_json(p));
    if (!text) fuzz::fail("the diff's JSON does not apply", patch_to_json(p), text.error());
    auto back = parse_value(*text);
    if (!back || !(*back == *b)) fuzz::fail("the applied diff text does not give the new value", target, *text);
    return 0;
}
