// SHA-256: the digests on the processor's instructions are the crypto library's,
// for one text and for many hashed side by side.
#include <vector>

#include "common.hpp"
#include "util/sha256.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzz::check(sha256(bytes) == sha256_library(bytes), "SHA-256 digests differ");
    // The same bytes cut into texts: each cut's length is its first byte
    // times three (up to 765 bytes, so texts end anywhere in their blocks).
    std::vector<std::string_view> texts;
    for (size_t at = 0; at < size;) {
        const size_t n = std::min<size_t>(size - at - 1, size_t(data[at]) * 3);
        texts.push_back(bytes.substr(at + 1, n));
        at += 1 + n;
    }
    std::vector<Sha256Digest> digests(texts.size());
    sha256_each(texts, digests.data());
    for (size_t i = 0; i < texts.size(); ++i)
        fuzz::check(digests[i] == sha256_library(texts[i]), "SHA-256 digests of texts side by side differ");
    return 0;
}
