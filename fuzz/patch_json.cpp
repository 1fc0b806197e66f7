// Patches from JSON text (valid UTF-8) and raw bytes.
#include "patch_check.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    auto bytes = parse_patch(in.view(), true);
    if (fuzz::utf8(in.view())) {
        auto text = parse_patch(in.view(), false);
        fuzz::check(text.has_value() == bytes.has_value(), "text and byte readers disagree");
        if (!text) fuzz::same(text.error(), bytes.error(), "text and byte readers fail differently");
    }
    if (bytes) fuzz::check_patch(*bytes);
    return 0;
}
