// SHA-256: the digest on the processor's instructions is the crypto library's.
#include "common.hpp"
#include "util/sha256.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzz::check(sha256(bytes) == sha256_library(bytes), "SHA-256 digests differ");
    return 0;
}
