#include "util/sha256.hpp"

#include <openssl/evp.h>

#include "util/result.hpp"

namespace norvane {

namespace {

// The digest fetched once and a context reused by every call of a thread:
// fetching the algorithm and making a context cost more than hashing the
// short texts this library hashes.
struct Hasher {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Hasher() = default;
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    ~Hasher() {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
};

}  // namespace

Sha256Digest sha256(std::string_view bytes) {
    thread_local Hasher hasher;
    Sha256Digest digest{};
    unsigned int len = 0;
    bool ok;
    if (hasher.md && hasher.ctx) {
        ok = EVP_DigestInit_ex2(hasher.ctx, hasher.md, nullptr) == 1 &&
             EVP_DigestUpdate(hasher.ctx, bytes.data(), bytes.size()) == 1 &&
             EVP_DigestFinal_ex(hasher.ctx, digest.data(), &len) == 1;
    } else {
        ok = EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_sha256(), nullptr) == 1;
    }
    // Hashing memory with a built-in digest only fails when the library cannot allocate.
    if (!ok || len != digest.size()) internal_fault("SHA-256 digest failed");
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
