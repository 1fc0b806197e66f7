// Applying an untrusted patch (JSON text after the first newline) to a model
// value (JSON text before it): all or nothing, and the result reads back.
#include "common.hpp"
#include "diff/apply.hpp"
#include "diff/patch_json.hpp"
#include "value/json.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    std::string_view s = in.view();
    size_t nl = s.find('\n');
    if (nl == std::string_view::npos || !fuzz::utf8(s)) return 0;
    auto v = parse_value(s.substr(0, nl));
    auto p = parse_patch(s.substr(nl + 1));
    if (!v || !p) return 0;
    std::string before = value_to_json(*v);
    Value c = *v;
    auto applied = apply_all_or_nothing(c, p->ops);
    std::string after = value_to_json(c);
    if (!applied) {
        fuzz::same(before, after, "a refused patch changed the value");
        return 0;
    }
    auto back = parse_value(after);
    if (!back && !fuzz::too_deep(back.error())) fuzz::fail("the patched value does not read back", after, back.error());
    return 0;
}
