// Patches from CBOR bytes through the codec.
#include "patch_check.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    auto p = CborCodec().decode_patch(in.view());
    if (p) fuzz::check_patch(*p);
    return 0;
}
