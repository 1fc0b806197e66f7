#include "util/sha256.hpp"

#include <openssl/evp.h>

#include "util/result.hpp"

namespace norvane {

Sha256Digest sha256(std::string_view bytes) {
    Sha256Digest digest{};
    unsigned int len = 0;
    // Hashing memory with a built-in digest only fails when the library cannot allocate.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1 ||
        len != digest.size())
        internal_fault("SHA-256 digest failed");
    return digest;
}

void append_hex(std::string& out, const std::uint8_t* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
}

std::string sha256_text(std::string_view bytes) {
    Sha256Digest digest = sha256(bytes);
    std::string out;
    out.reserve(7 + 2 * digest.size());
    out += "sha256:";
    append_hex(out, digest.data(), digest.size());
    return out;
}

}  // namespace norvane
