#include "util/text.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define NORVANE_AVX2_DISPATCH 1
#endif

#include "util/float_text.hpp"
#include "util/unicode_tables.hpp"

namespace norvane {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

inline std::uint64_t load8(const char* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

// Non-zero when some byte of x is below n (n <= 0x80). Exact as an existence test.
inline std::uint64_t has_less(std::uint64_t x, std::uint64_t n) {
    return (x - kOnes * n) & ~x & kHigh;
}

// Non-zero when some byte of x equals b. Exact as an existence test.
inline std::uint64_t has_byte(std::uint64_t x, std::uint64_t b) {
    const std::uint64_t y = x ^ (kOnes * b);
    return (y - kOnes) & ~y & kHigh;
}

// ---------------------------------------------------------------- JSON strings

// 0: copy the byte; otherwise the letter after the backslash ('u' for \u00xx).
constexpr std::array<char, 256> make_json_escapes() {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
    t['\b'] = 'b';
    t['\f'] = 'f';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
constexpr std::array<char, 256> kJsonEscapes = make_json_escapes();

constexpr char kHexDigits[] = "0123456789abcdef";

// The number of bytes from `p` on, in whole blocks of 16 before `end`, that a
// JSON string holds as they are (no quotation mark, backslash or control
// character); 0 where SSE2 is not there.
#if defined(__SSE2__)
// The bytes of a block of 16 that a JSON string cannot hold as they are, as a
// vector (0xFF where an escape is needed).
inline __m128i json_escape_bytes(__m128i x) {
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x1F);
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                        _mm_cmpeq_epi8(_mm_min_epu8(x, space), x));
}
// The same as a bit mask.
inline unsigned json_escape_mask(__m128i x) { return static_cast<unsigned>(_mm_movemask_epi8(json_escape_bytes(x))); }
// Whether any byte of four blocks needs an escape, in one test.
inline bool json_escape_any(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i bad = _mm_or_si128(_mm_or_si128(json_escape_bytes(a), json_escape_bytes(b)),
                                     _mm_or_si128(json_escape_bytes(c), json_escape_bytes(d)));
    return _mm_movemask_epi8(bad) != 0;
}
#endif

inline std::size_t json_plain_blocks(const char* p, const char* end) {
    std::size_t n = 0;
#if defined(__SSE2__)
    while (end - p - std::ptrdiff_t(n) >= 16 &&
           json_escape_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n))) == 0)
        n += 16;
#else
    (void)p;
    (void)end;
#endif
    return n;
}

inline bool json_chunk_is_plain(std::uint64_t x) {
    return (has_less(x, 0x20) | has_byte(x, '"') | has_byte(x, '\\')) == 0;
}

// ---------------------------------------------------------------- debug text

// Printable ASCII other than the quotation mark and the backslash.
inline bool debug_byte_is_plain(unsigned char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
}

inline bool debug_chunk_is_plain(std::uint64_t x) {
    // A byte >= 0x7f: either its high bit is set, or adding one sets it (no byte
    // has its high bit set, so no carry crosses a byte).
    const std::uint64_t high_or_del = (x | (x + kOnes)) & kHigh;
    return (has_less(x, 0x20) | high_or_del | has_byte(x, '"') | has_byte(x, '\\')) == 0;
}

void append_unicode_escape(std::string& out, char32_t c) {
    char buf[8];
    int n = 0;
    auto v = static_cast<std::uint32_t>(c);
    do {
        buf[n++] = kHexDigits[v & 0xf];
        v >>= 4;
    } while (v != 0);
    out.append("\\u{", 3);
    while (n > 0) out.push_back(buf[--n]);
    out.push_back('}');
}

// ---------------------------------------------------------------- UTF-8

inline bool is_cont(unsigned char b) { return (b & 0xc0) == 0x80; }

// Checks the sequence starting at p[0] (a byte >= 0x80) with `avail` bytes
// available. Returns its length when valid, or 0 with *err_len set to the
// length of the maximal invalid subpart (0 meaning the input ended inside a
// sequence that was valid so far).
inline std::size_t check_sequence(const unsigned char* p, std::size_t avail, std::size_t* err_len) {
    const unsigned char b0 = p[0];
    std::size_t width;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        width = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        width = 3;
        if (b0 == 0xe0) lo = 0xa0;       // no overlongs
        else if (b0 == 0xed) hi = 0x9f;  // no surrogates
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        width = 4;
        if (b0 == 0xf0) lo = 0x90;       // no overlongs
        else if (b0 == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
        *err_len = 1;
        return 0;
    }
    if (avail < 2) {
        *err_len = 0;
        return 0;
    }
    if (p[1] < lo || p[1] > hi) {
        *err_len = 1;
        return 0;
    }
    for (std::size_t k = 2; k < width; ++k) {
        if (avail <= k) {
            *err_len = 0;
            return 0;
        }
        if (!is_cont(p[k])) {
            *err_len = k;
            return 0;
        }
    }
    return width;
}

inline char32_t decode_valid(const unsigned char* p, std::size_t len) {
    switch (len) {
        case 2:
            return (char32_t(p[0] & 0x1f) << 6) | char32_t(p[1] & 0x3f);
        case 3:
            return (char32_t(p[0] & 0x0f) << 12) | (char32_t(p[1] & 0x3f) << 6) | char32_t(p[2] & 0x3f);
        default:
            return (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3f) << 12) |
                   (char32_t(p[2] & 0x3f) << 6) | char32_t(p[3] & 0x3f);
    }
}

constexpr char kReplacement[] = "\xef\xbf\xbd";

}  // namespace

namespace {

// Writes the escape of `c` (a byte kJsonEscapes marks) at `o`; returns its end.
inline char* write_json_escape(char* o, unsigned char c) {
    const char e = kJsonEscapes[c];
    o[0] = '\\';
    o[1] = e;
    if (e != 'u') return o + 2;
    o[2] = '0';
    o[3] = '0';
    o[4] = kHexDigits[c >> 4];
    o[5] = kHexDigits[c & 0xf];
    return o + 6;
}

// The bytes the escape of `c` adds to it: 0 when it needs none.
inline std::size_t json_escape_extra(unsigned char c) {
    const char e = kJsonEscapes[c];
    return e == 0 ? 0 : e == 'u' ? 5 : 1;
}

#if defined(__SSE2__)

// The set bits of a 16-bit mask, inline (no population count instruction is
// assumed).
inline unsigned bits16(unsigned x) {
    x = x - ((x >> 1) & 0x5555u);
    x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
    x = (x + (x >> 4)) & 0x0F0Fu;
    return (x + (x >> 8)) & 0x1Fu;
}

// The control bytes of a block that have a two-byte escape (\b \t \n \f \r),
// as a bit mask.
inline unsigned json_short_control_mask(__m128i x) {
    const __m128i m = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\b')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\t'))),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\f'))),
                     _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// The bytes the escapes of `n` bytes at `s` add to them.
std::size_t json_escape_extra_count(const char* s, std::size_t n) {
    std::size_t extra = 0;
    std::size_t i = 0;
    auto load = [&](std::size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)); };
    for (; i + 64 <= n; i += 64)
        if (json_escape_any(load(i), load(i + 16), load(i + 32), load(i + 48))) break;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = load(i);
        const unsigned mask = json_escape_mask(x);
        if (mask == 0) continue;
        // Two bytes for each escape; six for a control byte without a short one.
        const unsigned control = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x)));
        extra += bits16(mask) + 4 * bits16(control & ~json_short_control_mask(x));
    }
    for (; i < n; ++i) extra += json_escape_extra(static_cast<unsigned char>(s[i]));
    return extra;
}

// The length of the common beginning of `a` and `b`, and of their common end
// within the `limit` bytes of each that follow it.
std::size_t common_prefix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.data() + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data() + i));
        const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
        if (same != 0xFFFF) return i + unsigned(__builtin_ctz(~same));
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}
std::size_t common_suffix(std::string_view a, std::string_view b, std::size_t limit) {
    const char* x = a.data() + a.size();
    const char* y = b.data() + b.size();
    std::size_t i = 0;
    for (; i + 16 <= limit; i += 16) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x - i - 16));
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y - i - 16));
        const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(u, v)));
        if (same != 0xFFFF) return i + unsigned(__builtin_clz(~same << 16));
    }
    while (i < limit && x[-std::ptrdiff_t(i) - 1] == y[-std::ptrdiff_t(i) - 1]) ++i;
    return i;
}

// Writes the `n` bytes at `s` escaped at `o` (with room for their escapes and
// 16 bytes more); returns the end. Each block is stored whole, and at an
// escape the escape is written and the next block read from the byte after
// it, so that text dense with escapes (source code, with its quotation marks
// and line ends) costs one block per escape.
char* write_escaped(char* o, const char* s, std::size_t n) {
    // Copies the `len` (< 16) bytes at `from` (inside the block before the
    // last 16 bytes of the input) to `o` as one block: the output has room.
    auto copy = [&](const char* from, unsigned len) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
        o += len;
    };
    std::size_t j = 0;
    for (; j + 32 <= n; j += 16) {
        const char* b = s + j;
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        unsigned mask = json_escape_mask(x);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
        if (mask == 0) {
            o += 16;
            continue;
        }
        // The bytes before the first escape are in place already.
        unsigned k = unsigned(__builtin_ctz(mask));
        o = write_json_escape(o + k, static_cast<unsigned char>(b[k]));
        unsigned from = k + 1;
        for (mask &= mask - 1; mask != 0; mask &= mask - 1) {
            k = unsigned(__builtin_ctz(mask));
            copy(b + from, k - from);
            o = write_json_escape(o, static_cast<unsigned char>(b[k]));
            from = k + 1;
        }
        copy(b + from, 16 - from);
    }
    for (; j < n; ++j) {
        const auto c = static_cast<unsigned char>(s[j]);
        if (kJsonEscapes[c] == 0) *o++ = char(c);
        else o = write_json_escape(o, c);
    }
    return o;
}

#if defined(NORVANE_AVX2_DISPATCH)
// The bytes of a block of 32 that a JSON string cannot hold as they are.
__attribute__((target("avx2"))) inline __m256i json_escape_bytes32(__m256i x) {
    const __m256i quote = _mm256_set1_epi8('"'), backslash = _mm256_set1_epi8('\\'),
                  space = _mm256_set1_epi8(0x1F);
    return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, quote), _mm256_cmpeq_epi8(x, backslash)),
                           _mm256_cmpeq_epi8(_mm256_min_epu8(x, space), x));
}

// Copies the `n` bytes at `s` to `o` in blocks of 128 while a block needs no
// escape; returns the bytes copied (the block that needs one is left).
__attribute__((target("avx2"))) std::size_t copy_plain_blocks_avx2(char* o, const char* s, std::size_t n) {
    std::size_t j = 0;
    for (; j + 128 <= n; j += 128) {
        const auto* from = reinterpret_cast<const __m256i*>(s + j);
        const __m256i a = _mm256_loadu_si256(from), b = _mm256_loadu_si256(from + 1),
                      c = _mm256_loadu_si256(from + 2), d = _mm256_loadu_si256(from + 3);
        const __m256i bad = _mm256_or_si256(_mm256_or_si256(json_escape_bytes32(a), json_escape_bytes32(b)),
                                            _mm256_or_si256(json_escape_bytes32(c), json_escape_bytes32(d)));
        if (!_mm256_testz_si256(bad, bad)) break;
        auto* to = reinterpret_cast<__m256i*>(o + j);
        _mm256_storeu_si256(to, a);
        _mm256_storeu_si256(to + 1, b);
        _mm256_storeu_si256(to + 2, c);
        _mm256_storeu_si256(to + 3, d);
    }
    return j;
}

const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// A long string. Most need no escape at all: their blocks are checked and
// stored in one pass, 64 bytes a test (128 where the processor has AVX2).
// From the first block that needs one, the rest's escapes are counted and the
// rest written escaped.
void append_long_json_string(std::string& out, const char* s, std::size_t n) {
    const std::size_t at = out.size();
    std::size_t j = 0;
    bool whole = false;
    out.resize_and_overwrite(at + n + 2, [&](char* buf, std::size_t) {
        char* o = buf + at + 1;
        buf[at] = '"';
        auto load = [&](std::size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)); };
        auto store = [&](std::size_t k, __m128i x) { _mm_storeu_si128(reinterpret_cast<__m128i*>(o + k), x); };
#if defined(NORVANE_AVX2_DISPATCH)
        if (kHaveAvx2) j = copy_plain_blocks_avx2(o, s, n);
#endif
        for (; j + 64 <= n; j += 64) {
            const __m128i a = load(j), b = load(j + 16), c = load(j + 32), d = load(j + 48);
            if (json_escape_any(a, b, c, d)) break;
            store(j, a);
            store(j + 16, b);
            store(j + 32, c);
            store(j + 48, d);
        }
        for (; j + 16 <= n; j += 16) {
            const __m128i x = load(j);
            if (json_escape_mask(x) != 0) return at + 1 + j;
            store(j, x);
        }
        for (std::size_t k = j; k < n; ++k)
            if (kJsonEscapes[static_cast<unsigned char>(s[k])] != 0) return at + 1 + j;
        std::memcpy(o + j, s + j, n - j);
        o[n] = '"';
        whole = true;
        return at + n + 2;
    });
    if (whole) return;
    const std::size_t rest = n - j;
    const std::size_t size = out.size();
    const std::size_t extra = json_escape_extra_count(s + j, rest);
    // 16 bytes of room past the end for whole-block stores.
    out.resize_and_overwrite(size + rest + extra + 1 + 16, [&](char* buf, std::size_t) {
        char* o = write_escaped(buf + size, s + j, rest);
        *o++ = '"';
        return std::size_t(o - buf);
    });
}
#else
std::size_t json_escape_extra_count(const char* s, std::size_t n) {
    std::size_t extra = 0;
    for (std::size_t i = 0; i < n; ++i) extra += json_escape_extra(static_cast<unsigned char>(s[i]));
    return extra;
}
std::size_t common_prefix(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}
std::size_t common_suffix(std::string_view a, std::string_view b, std::size_t limit) {
    std::size_t i = 0;
    while (i < limit && a[a.size() - i - 1] == b[b.size() - i - 1]) ++i;
    return i;
}
#endif

// append_json_string's output, written afresh.
void append_json_string_direct(std::string& out, std::string_view utf8) {
    const char* s = utf8.data();
    const std::size_t n = utf8.size();
    // Short strings (a character, a key, a replica name) mostly need no
    // escape: checked and copied in one go.
    if (n <= 16) {
        unsigned char escapes = 0;
        for (std::size_t k = 0; k < n; ++k) escapes |= kJsonEscapes[static_cast<unsigned char>(s[k])];
        if (escapes == 0) {
            const std::size_t at = out.size();
            out.resize(at + n + 2);
            char* o = out.data() + at;
            o[0] = '"';
            std::memcpy(o + 1, s, n);
            o[n + 1] = '"';
            return;
        }
    }
#if defined(__SSE2__)
    if (n >= 64) {
        append_long_json_string(out, s, n);
        return;
    }
#endif
    out.reserve(out.size() + n + 2);
    out.push_back('"');
    std::size_t run = 0;
    std::size_t i = 0;
    for (;;) {
        i += json_plain_blocks(s + i, s + n);
        while (i + 8 <= n && json_chunk_is_plain(load8(s + i))) i += 8;
        // At most one chunk (or the short tail) is scanned byte by byte.
        while (i < n && kJsonEscapes[static_cast<unsigned char>(s[i])] == 0) ++i;
        if (i == n) break;
        out.append(s + run, i - run);
        char esc[6];
        out.append(esc, std::size_t(write_json_escape(esc, static_cast<unsigned char>(s[i])) - esc));
        run = ++i;
    }
    out.append(s + run, n - run);
    out.push_back('"');
}

// Whether the JSON form of a string escapes enough of it that copying the form
// beats writing it again: escaping costs little per byte, but much per escape.
bool dense_escapes(std::size_t raw, std::size_t json) { return (json - raw) * 32 >= raw; }

thread_local JsonStringMemo* active_memo = nullptr;

}  // namespace

JsonStringMemo::Scope::Scope(JsonStringMemo& memo) : previous_(active_memo) { active_memo = &memo; }
JsonStringMemo::Scope::~Scope() { active_memo = previous_; }

template <class F>
void JsonStringMemo::keep(Slot& slot, F&& update) {
    // The output is written: a slot that cannot be updated (no memory) is
    // emptied rather than left holding a string and another's JSON form.
    try {
        update();
        slot.used = ++clock_;
    } catch (...) {
        slot.raw.clear();
        slot.json.clear();
        slot.head.assign(1, 0);
        slot.tail.assign(1, 0);
    }
}

std::size_t JsonStringMemo::marked_json(const std::string& raw, std::vector<std::size_t>& marks, std::size_t n,
                                        bool from_end) {
    // The `len` bytes `at` bytes from the start, or before the last `at` bytes.
    auto bytes = [&](std::size_t at, std::size_t len) {
        return from_end ? raw.data() + raw.size() - at - len : raw.data() + at;
    };
    std::size_t k = std::min(n / kMark, marks.size() - 1);
    std::size_t at = k * kMark, json = marks[k];
    for (; at + kMark <= n; at += kMark) {
        json += kMark + json_escape_extra_count(bytes(at, kMark), kMark);
        marks.push_back(json);
    }
    return json + (n - at) + json_escape_extra_count(bytes(at, n - at), n - at);
}

void JsonStringMemo::append(std::string& out, std::string_view s) {
    // The slot sharing the most with `s` at its two ends.
    Slot* best = nullptr;
    std::size_t p = 0, q = 0;
    for (Slot& slot : slots_) {
        if (slot.raw.empty() || !dense_escapes(slot.raw.size(), slot.json.size())) continue;
        const std::size_t sp = common_prefix(slot.raw, s);
        const std::size_t sq = common_suffix(slot.raw, s, std::min(slot.raw.size(), s.size()) - sp);
        if (!best || sp + sq > p + q) {
            best = &slot;
            p = sp;
            q = sq;
        }
    }
    const std::size_t start = out.size();
    if (!best || p + q < s.size() / 2) {
        // Little to share: written as it is, and kept in the slot used longest
        // ago when its escapes make a copy worth it.
        append_json_string_direct(out, s);
        if (!dense_escapes(s.size(), out.size() - start - 2)) return;
        Slot& slot = slots_[0].used <= slots_[1].used ? slots_[0] : slots_[1];
        keep(slot, [&] {
            slot.head.assign(1, 0);
            slot.tail.assign(1, 0);
            slot.raw.assign(s);
            slot.json.assign(out, start + 1, out.size() - start - 2);
        });
        return;
    }
    // The JSON forms of the shared beginning and end, from the slot's.
    const std::size_t m = best->raw.size();
    const std::size_t pj = marked_json(best->raw, best->head, p, false);
    const std::size_t qj = marked_json(best->raw, best->tail, q, true);
    const std::string_view middle = s.substr(p, s.size() - p - q);
    out.push_back('"');
    out.append(best->json, 0, pj);
    // The middle as a JSON string, its quotes dropped.
    const std::size_t mid_at = out.size();
    append_json_string_direct(out, middle);
    out.pop_back();
    out.erase(mid_at, 1);
    const std::size_t mid_len = out.size() - mid_at;
    out.append(best->json, best->json.size() - qj, qj);
    out.push_back('"');
    // The slot now holds `s`: its middle replaced in both forms.
    keep(*best, [&] {
        // The marks inside the shared beginning and end stay.
        best->head.resize(std::min(best->head.size(), p / kMark + 1));
        best->tail.resize(std::min(best->tail.size(), q / kMark + 1));
        best->raw.replace(p, m - p - q, middle);
        best->json.replace(pj, best->json.size() - pj - qj, out, mid_at, mid_len);
    });
}

void append_json_string(std::string& out, std::string_view utf8) {
    if (active_memo && utf8.size() >= JsonStringMemo::kMinLength && utf8.size() <= JsonStringMemo::kMaxLength)
        [[unlikely]] {
        active_memo->append(out, utf8);
        return;
    }
    append_json_string_direct(out, utf8);
}

void append_debug_str(std::string& out, std::string_view utf8) {
    const char* s = utf8.data();
    const auto* u = reinterpret_cast<const unsigned char*>(s);
    const std::size_t n = utf8.size();
    out.reserve(out.size() + n + 2);
    out.push_back('"');
    std::size_t run = 0;
    std::size_t i = 0;
    for (;;) {
        while (i + 8 <= n && debug_chunk_is_plain(load8(s + i))) i += 8;
        while (i < n && debug_byte_is_plain(u[i])) ++i;
        if (i == n) break;
        out.append(s + run, i - run);
        const unsigned char c = u[i];
        if (c < 0x80) {
            switch (c) {
                case '"': out.append("\\\"", 2); break;
                case '\\': out.append("\\\\", 2); break;
                case '\t': out.append("\\t", 2); break;
                case '\n': out.append("\\n", 2); break;
                case '\r': out.append("\\r", 2); break;
                case '\0': out.append("\\0", 2); break;
                default: append_unicode_escape(out, c); break;
            }
            ++i;
        } else {
            std::size_t err_len = 0;
            const std::size_t len = check_sequence(u + i, n - i, &err_len);
            if (len == 0) {
                out.append(kReplacement, 3);
                i += err_len == 0 ? n - i : err_len;
            } else {
                const char32_t cp = decode_valid(u + i, len);
                if (debug_escapes(cp)) {
                    append_unicode_escape(out, cp);
                } else {
                    out.append(s + i, len);
                }
                i += len;
            }
        }
        run = i;
    }
    out.append(s + run, n - run);
    out.push_back('"');
}

void append_debug_str_list(std::string& out, const std::vector<std::string>& items) {
    out.push_back('[');
    bool first = true;
    for (const std::string& item : items) {
        if (!first) out.append(", ", 2);
        first = false;
        append_debug_str(out, item);
    }
    out.push_back(']');
}

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
    const char* s = bytes.data();
    const auto* u = reinterpret_cast<const unsigned char*>(s);
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (u[i] < 0x80) {
            ++i;
            while (i + 8 <= n && (load8(s + i) & kHigh) == 0) i += 8;
            continue;
        }
        std::size_t err_len = 0;
        const std::size_t len = check_sequence(u + i, n - i, &err_len);
        if (len == 0) {
            Utf8Error err;
            err.valid_up_to = i;
            if (err_len != 0) err.error_len = err_len;
            return err;
        }
        i += len;
    }
    return std::nullopt;
}

void append_utf8_error_text(std::string& out, const Utf8Error& err) {
    if (err.error_len) {
        out.append("invalid utf-8 sequence of ");
        append_u64(out, *err.error_len);
        out.append(" bytes from index ");
    } else {
        out.append("incomplete utf-8 byte sequence from index ");
    }
    append_u64(out, err.valid_up_to);
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::optional<Utf8Error> err = check_utf8(bytes);
        if (!err) {
            out.append(bytes);
            break;
        }
        out.append(bytes.substr(0, err->valid_up_to));
        out.append(kReplacement, 3);
        if (!err->error_len) break;
        bytes.remove_prefix(err->valid_up_to + *err->error_len);
    }
    return out;
}

}  // namespace norvane
