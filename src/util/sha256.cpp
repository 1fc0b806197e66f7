#include "util/sha256.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "util/result.hpp"

namespace norvane {

namespace {

#if defined(__x86_64__)

// SHA-256 (FIPS 180-4) on the processor's SHA instructions, where it has
// them: the texts this library hashes are short, and the crypto library's
// set-up around each costs about as much as hashing it.
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

bool has_sha_instructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
}

// The instructions keep the state as (a, b, e, f) and (c, d, g, h).
struct Halves {
    __m128i abef, cdgh;
};

[[gnu::target("sha,sse4.1,ssse3")]] inline Halves load_state(const uint32_t state[8]) {
    const __m128i t = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    const __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    return {_mm_alignr_epi8(t, cdgh, 8), _mm_blend_epi16(cdgh, t, 0xF0)};
}

[[gnu::target("sha,sse4.1,ssse3")]] inline void store_state(uint32_t state[8], Halves h) {
    const __m128i t = _mm_shuffle_epi32(h.abef, 0x1B);
    const __m128i cdgh = _mm_shuffle_epi32(h.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(t, cdgh, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(cdgh, t, 8));
}

// Hashes `blocks` 64-byte blocks of each of `Ways` texts into its state
// (a, b, … h). The rounds of one text wait on each other; those of two
// texts, interleaved, keep the instructions busy.
template <int Ways>
[[gnu::target("sha,sse4.1,ssse3")]] void compress(uint32_t* const (&state)[Ways],
                                                   const unsigned char* const (&from)[Ways], size_t blocks) {
    // Big-endian words from the bytes.
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    Halves h[Ways];
    const unsigned char* data[Ways];
    for (int k = 0; k < Ways; ++k) h[k] = load_state(state[k]), data[k] = from[k];
    for (; blocks > 0; --blocks) {
        Halves was[Ways];
        // w[k][g % 4]: the message words of rounds 4g to 4g + 3 of text k.
        __m128i w[Ways][4];
        for (int k = 0; k < Ways; ++k) was[k] = h[k];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            for (int k = 0; k < Ways; ++k) {
                if (g < 4) {
                    w[k][g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data[k] + 16 * g)), swap);
                } else {
                    // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
                    __m128i x = _mm_sha256msg1_epu32(w[k][g % 4], w[k][(g + 1) % 4]);
                    x = _mm_add_epi32(x, _mm_alignr_epi8(w[k][(g + 3) % 4], w[k][(g + 2) % 4], 4));
                    w[k][g % 4] = _mm_sha256msg2_epu32(x, w[k][(g + 3) % 4]);
                }
            }
            const __m128i round = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g));
            __m128i m[Ways];
            // Two rounds each; after the first two, (c, d, g, h) is what
            // (a, b, e, f) was, so the halves take turns.
            for (int k = 0; k < Ways; ++k) {
                m[k] = _mm_add_epi32(w[k][g % 4], round);
                h[k].cdgh = _mm_sha256rnds2_epu32(h[k].cdgh, h[k].abef, m[k]);
            }
            for (int k = 0; k < Ways; ++k)
                h[k].abef = _mm_sha256rnds2_epu32(h[k].abef, h[k].cdgh, _mm_shuffle_epi32(m[k], 0x0E));
        }
        for (int k = 0; k < Ways; ++k) {
            h[k].abef = _mm_add_epi32(h[k].abef, was[k].abef);
            h[k].cdgh = _mm_add_epi32(h[k].cdgh, was[k].cdgh);
            data[k] += 64;
        }
    }
    for (int k = 0; k < Ways; ++k) store_state(state[k], h[k]);
}

// One text on its way through the rounds: its whole blocks where they are,
// then its last one or two blocks (the rest of its bytes, the bit 1, zeros
// and the length in bits) from `last`.
struct Stream {
    uint32_t state[8];
    const unsigned char* next = nullptr;
    size_t whole = 0, tail = 0;  // blocks left of each
    unsigned char last[128];

    void start(std::string_view bytes) {
        static constexpr uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
        std::memcpy(state, kStart, sizeof state);
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        const size_t n = bytes.size(), rest = n % 64;
        whole = n / 64;
        tail = rest < 56 ? 1 : 2;
        next = whole ? p : last;
        std::memset(last, 0, sizeof last);
        if (rest) std::memcpy(last, p + 64 * whole, rest);
        last[rest] = 0x80;
        const uint64_t bits = uint64_t(n) * 8;
        for (int i = 0; i < 8; ++i) last[64 * tail - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    bool done() const { return whole + tail == 0; }
    // Blocks that follow each other in memory from `next`.
    size_t run() const { return whole ? whole : tail; }
    void advance(size_t blocks) {
        if (whole) {
            whole -= blocks;
            next = whole ? next + 64 * blocks : last;
        } else {
            tail -= blocks;
            next += 64 * blocks;
        }
    }
    void finish(Sha256Digest& digest) const {
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 4; ++j) digest[size_t(4 * i + j)] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
    }
};

void run_alone(Stream& s) {
    while (!s.done()) {
        const size_t n = s.run();
        compress<1>({s.state}, {s.next}, n);
        s.advance(n);
    }
}

Sha256Digest sha256_instructions(std::string_view bytes) {
    Stream s;
    s.start(bytes);
    run_alone(s);
    Sha256Digest digest;
    s.finish(digest);
    return digest;
}

// Two texts at a time: when one ends, the next text takes its place.
void sha256_instructions(std::span<const std::string_view> texts, Sha256Digest* digests) {
    Stream s[2];
    size_t at[2] = {0, 1}, taken = 2;
    if (texts.size() < 2) {
        if (!texts.empty()) digests[0] = sha256_instructions(texts[0]);
        return;
    }
    s[0].start(texts[0]);
    s[1].start(texts[1]);
    for (;;) {
        const size_t n = std::min(s[0].run(), s[1].run());
        compress<2>({s[0].state, s[1].state}, {s[0].next, s[1].next}, n);
        s[0].advance(n);
        s[1].advance(n);
        for (int k = 0; k < 2; ++k) {
            if (!s[k].done()) continue;
            s[k].finish(digests[at[k]]);
            if (taken == texts.size()) {
                Stream& other = s[1 - k];
                run_alone(other);
                other.finish(digests[at[1 - k]]);
                return;
            }
            at[k] = taken;
            s[k].start(texts[taken++]);
        }
    }
}

const bool kShaInstructions = has_sha_instructions();

#endif

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
#if defined(__x86_64__)
    if (kShaInstructions) return sha256_instructions(bytes);
#endif
    return sha256_library(bytes);
}

void sha256_each(std::span<const std::string_view> texts, Sha256Digest* digests) {
#if defined(__x86_64__)
    if (kShaInstructions) return sha256_instructions(texts, digests);
#endif
    for (size_t i = 0; i < texts.size(); ++i) digests[i] = sha256_library(texts[i]);
}

Sha256Digest sha256_library(std::string_view bytes) {
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
