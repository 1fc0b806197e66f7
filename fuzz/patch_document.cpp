// Patches from an already parsed generic document.
#include "format/document.hpp"
#include "patch_check.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    auto doc = parse_document(in.view(), true);
    if (!doc) return 0;
    auto p = patch_from_document(*doc);
    if (p) fuzz::check_patch(*p);
    return 0;
}
