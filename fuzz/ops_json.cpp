// Operation lists from JSON text: the list written back is a fixed point.
#include "common.hpp"
#include "diff/patch_json.hpp"

using namespace norvane;

namespace {
std::string ops_text(const std::vector<Op>& ops) {
    std::string out = "[";
    for (size_t i = 0; i < ops.size(); ++i) {
        if (i) out += ',';
        op_to_json(out, ops[i]);
    }
    out += ']';
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    if (!fuzz::utf8(in.view())) return 0;
    auto ops = parse_ops(in.view());
    if (!ops) return 0;
    std::string t1 = ops_text(*ops);
    auto again = parse_ops(t1);
    if (!again) fuzz::fail("written operations do not read back", t1, again.error());
    fuzz::same(t1, ops_text(*again), "operation text is not a fixed point");
    return 0;
}
