#include "format/json/reader.hpp"

#include <cerrno>
#include <cmath>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "util/text.hpp"

namespace norvane::json {

void Reader::position_into(Error& e, size_t index) const {
    uint64_t line = 1;
    size_t line_start = 0;
    const void* p = s_;
    size_t pos = 0;
    while (pos < index) {
        const void* nl = std::memchr(static_cast<const unsigned char*>(p) + pos, '\n', index - pos);
        if (!nl) break;
        pos = size_t(static_cast<const unsigned char*>(nl) - s_) + 1;
        ++line;
        line_start = pos;
    }
    e.set_position(line, index - line_start);
}

namespace {

// The decoded text of escaped strings, kept from read to read on each thread
// for one reader at a time.
struct ScratchText {
    std::string text;
    bool busy = false;
};

ScratchText& thread_scratch() {
    thread_local ScratchText scratch;
    return scratch;
}

}  // namespace

void Reader::acquire_scratch() {
    ScratchText& shared = thread_scratch();
    if (!shared.busy) {
        shared.busy = true;
        leased_ = true;
        scratch_ = &shared.text;
    } else {
        scratch_ = &own_scratch_;
    }
}

void Reader::release_scratch() {
    ScratchText& shared = thread_scratch();
    if (shared.text.capacity() > (size_t(1) << 16)) {
        std::string().swap(shared.text);
    } else {
        shared.text.clear();
    }
    shared.busy = false;
}

Error Reader::error(const char* text) const {
    Error e = Error::format(text);
    position_into(e, i_);
    return e;
}

Error Reader::peek_error(const char* text) const {
    Error e = Error::format(text);
    position_into(e, i_ + 1 < n_ ? i_ + 1 : n_);
    return e;
}

DeResult<void> Reader::end() {
    if (parse_whitespace() >= 0) return de::fail(peek_error(msg::TrailingCharacters));
    return {};
}

DeResult<void> Reader::parse_ident_slow(const char* rest) {
    for (const char* p = rest; *p; ++p) {
        int c = next_char();
        if (c < 0) return de::fail(error(msg::EofValue));
        if (c != (unsigned char)*p) return de::fail(error(msg::ExpectedIdent));
    }
    return {};
}

DeResult<void> Reader::parse_object_colon() {
    int c = parse_whitespace();
    if (c == ':') {
        eat_char();
        return {};
    }
    if (c < 0) return de::fail(peek_error(msg::EofObject));
    return de::fail(peek_error(msg::ExpectedColon));
}

DeResult<void> Reader::end_seq() {
    int c = parse_whitespace();
    if (c == ']') {
        eat_char();
        return {};
    }
    if (c == ',') {
        eat_char();
        if (parse_whitespace() == ']') return de::fail(peek_error(msg::TrailingComma));
        return de::fail(peek_error(msg::TrailingCharacters));
    }
    if (c < 0) return de::fail(peek_error(msg::EofList));
    return de::fail(peek_error(msg::TrailingCharacters));
}

DeResult<void> Reader::end_map() {
    int c = parse_whitespace();
    if (c == '}') {
        eat_char();
        return {};
    }
    if (c == ',') return de::fail(peek_error(msg::TrailingComma));
    if (c < 0) return de::fail(peek_error(msg::EofObject));
    return de::fail(peek_error(msg::TrailingCharacters));
}

// ---- strings -----------------------------------------------------------------

namespace {

// 1 for bytes that end a plain run inside a string: the quote, the backslash
// and control characters.
struct StopTable {
    bool t[256];
    constexpr StopTable() : t() {
        for (int c = 0; c < 0x20; ++c) t[c] = true;
        t[int('"')] = true;
        t[int('\\')] = true;
    }
};
constexpr StopTable kStop;

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t load8(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The high bit of every byte of `w` that is a quote, a backslash or a control
// character. Bytes above the first such byte may be flagged wrongly (borrows),
// so only the lowest flag counts.
inline uint64_t stop_mask(uint64_t w) {
    const uint64_t q = w ^ (kOnes * '"');
    const uint64_t b = w ^ (kOnes * '\\');
    return (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHighs;
}

// The first byte at or after `p` that ends a plain run, or `end`. `high`
// collects (at least) the high bits of the bytes passed over.
inline const unsigned char* scan_plain(const unsigned char* p, const unsigned char* end, uint64_t& high) {
    while (end - p >= 8) {
        const uint64_t w = load8(p);
        const uint64_t m = stop_mask(w);
        high |= w;
        if (m) return p + (__builtin_ctzll(m) >> 3);
        p += 8;
    }
    while (p < end && !kStop.t[*p]) {
        high |= *p;
        ++p;
    }
    return p;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void push_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace

DeResult<uint16_t> Reader::decode_hex_escape() {
    if (n_ - i_ < 4) {
        i_ = n_;
        return de::fail(error(msg::EofString));
    }
    int v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        int h = hex_value(s_[i_ + k]);
        if (h < 0) ok = false;
        v = v * 16 + (h < 0 ? 0 : h);
    }
    i_ += 4;
    if (!ok) return de::fail(error(msg::InvalidEscape));
    return uint16_t(v);
}

DeResult<void> Reader::parse_unicode_escape() {
    uint16_t n = NV_TRY(decode_hex_escape());
    if (n >= 0xDC00 && n <= 0xDFFF) return de::fail(error(msg::LoneSurrogate));
    if (n < 0xD800 || n > 0xDBFF) {
        push_utf8(*scratch_, n);
        return {};
    }
    uint16_t n1 = n;
    if (peek() < 0) return de::fail(error(msg::EofString));
    if (peek() != '\\') {
        eat_char();
        return de::fail(error(msg::UnexpectedEndOfHexEscape));
    }
    eat_char();
    if (peek() < 0) return de::fail(error(msg::EofString));
    if (peek() != 'u') {
        eat_char();
        return de::fail(error(msg::UnexpectedEndOfHexEscape));
    }
    eat_char();
    uint16_t n2 = NV_TRY(decode_hex_escape());
    if (n2 < 0xDC00 || n2 > 0xDFFF) return de::fail(error(msg::LoneSurrogate));
    uint32_t cp = ((uint32_t(n1 - 0xD800) << 10) | uint32_t(n2 - 0xDC00)) + 0x10000;
    push_utf8(*scratch_, cp);
    return {};
}

DeResult<void> Reader::parse_escape() {
    int c = next_char();
    switch (c) {
        case -1: return de::fail(error(msg::EofString));
        case '"': *scratch_ += '"'; return {};
        case '\\': *scratch_ += '\\'; return {};
        case '/': *scratch_ += '/'; return {};
        case 'b': *scratch_ += '\b'; return {};
        case 'f': *scratch_ += '\f'; return {};
        case 'n': *scratch_ += '\n'; return {};
        case 'r': *scratch_ += '\r'; return {};
        case 't': *scratch_ += '\t'; return {};
        case 'u': return parse_unicode_escape();
        default: return de::fail(error(msg::InvalidEscape));
    }
}

DeResult<std::string_view> Reader::parse_str() {
    const size_t start = i_;
    uint64_t high = 0;
    const unsigned char* p = scan_plain(s_ + i_, s_ + n_, high);
    i_ = size_t(p - s_);
    if (i_ == n_) return de::fail(error(msg::EofString));
    const unsigned char c = *p;
    if (c == '"') [[likely]] {
        std::string_view out = slice(start, i_);
        ++i_;
        if (check_utf8_ && (high & kHighs) && !is_utf8(out)) return de::fail(error(msg::InvalidCodePoint));
        return out;
    }
    if (c == '\\') return parse_str_escaped(start);
    ++i_;
    return de::fail(error(msg::ControlChar));
}

// The rest of a string from its first escape on (at i_), decoded into the scratch text.
DeResult<std::string_view> Reader::parse_str_escaped(size_t start) {
    if (!scratch_) acquire_scratch();
    std::string& scratch = *scratch_;
    scratch.clear();
    uint64_t high = 0;
    for (;;) {
        // i_ is at a backslash.
        scratch.append(reinterpret_cast<const char*>(s_) + start, i_ - start);
        ++i_;
        NV_CHECK(parse_escape());
        start = i_;
        const unsigned char* p = scan_plain(s_ + i_, s_ + n_, high);
        i_ = size_t(p - s_);
        if (i_ == n_) return de::fail(error(msg::EofString));
        const unsigned char c = *p;
        if (c == '"') {
            scratch.append(reinterpret_cast<const char*>(s_) + start, i_ - start);
            ++i_;
            std::string_view out = scratch;
            if (check_utf8_ && !is_utf8(out)) return de::fail(error(msg::InvalidCodePoint));
            return out;
        }
        if (c != '\\') {
            ++i_;
            return de::fail(error(msg::ControlChar));
        }
    }
}

DeResult<void> Reader::ignore_str() {
    for (;;) {
        uint64_t high = 0;
        i_ = size_t(scan_plain(s_ + i_, s_ + n_, high) - s_);
        if (i_ == n_) return de::fail(error(msg::EofString));
        unsigned char c = s_[i_++];
        if (c == '"') return {};
        if (c == '\\') {
            int e = next_char();
            switch (e) {
                case -1: return de::fail(error(msg::EofString));
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                    break;
                case 'u':
                    NV_CHECK(decode_hex_escape());
                    break;
                default:
                    return de::fail(error(msg::InvalidEscape));
            }
            continue;
        }
        return de::fail(error(msg::ControlChar));
    }
}

// ---- numbers -------------------------------------------------------------------

// Converts the number text [start, i_) to the nearest double; a magnitude
// beyond the double range fails, one below it gives zero.
DeResult<double> Reader::number_from_text(size_t start, bool positive) {
    const char* b = reinterpret_cast<const char*>(s_) + start;
    const char* e = reinterpret_cast<const char*>(s_) + i_;
    double v = 0;
    auto [ptr, ec] = std::from_chars(b, e, v);
    if (ec == std::errc()) return v;
    if (ec == std::errc::result_out_of_range) {
        std::string copy(b, e);
        errno = 0;
        double w = std::strtod(copy.c_str(), nullptr);
        if (w == HUGE_VAL || w == -HUGE_VAL) return de::fail(error(msg::NumberOutOfRange));
        return positive ? 0.0 : -0.0;
    }
    return de::fail(error(msg::InvalidNumber));
}

DeResult<double> Reader::parse_exponent(bool positive, size_t start, bool zero_significand) {
    eat_char();  // e or E
    bool positive_exp = true;
    int c = peek_or_null();
    if (c == '+') {
        eat_char();
    } else if (c == '-') {
        eat_char();
        positive_exp = false;
    }
    int next = next_char();
    if (next < 0) return de::fail(error(msg::EofValue));
    if (next < '0' || next > '9') return de::fail(error(msg::InvalidNumber));
    int32_t exp = next - '0';
    for (;;) {
        int d = peek_or_null();
        if (d < '0' || d > '9') break;
        eat_char();
        int digit = d - '0';
        if (exp >= INT32_MAX / 10 && (exp > INT32_MAX / 10 || digit > INT32_MAX % 10)) {
            // The exponent itself overflows: infinite unless the value is zero
            // or the exponent negative.
            if (!zero_significand && positive_exp) return de::fail(error(msg::NumberOutOfRange));
            while (peek_or_null() >= '0' && peek_or_null() <= '9') eat_char();
            return positive ? 0.0 : -0.0;
        }
        exp = exp * 10 + digit;
    }
    return number_from_text(start, positive);
}

DeResult<double> Reader::parse_decimal(bool positive, size_t start, bool zero_significand) {
    eat_char();  // '.'
    size_t j = i_;
    unsigned nonzero = 0;
    while (j < n_ && unsigned(s_[j] - '0') < 10) nonzero |= unsigned(s_[j++] - '0');
    const bool any = j > i_;
    if (nonzero) zero_significand = false;
    i_ = j;
    if (!any) {
        if (peek() >= 0) return de::fail(peek_error(msg::InvalidNumber));
        return de::fail(peek_error(msg::EofValue));
    }
    int c = peek_or_null();
    if (c == 'e' || c == 'E') return parse_exponent(positive, start, zero_significand);
    return number_from_text(start, positive);
}

DeResult<Number> Reader::parse_integer_tail(bool positive, size_t start, uint64_t sig, bool overflow, bool zero) {
    const int c = peek_or_null();
    if (c == '.') {
        Number n{Number::Kind::F64};
        n.f = NV_TRY(parse_decimal(positive, start, zero));
        return n;
    }
    if (c == 'e' || c == 'E') {
        Number n{Number::Kind::F64};
        n.f = NV_TRY(parse_exponent(positive, start, zero));
        return n;
    }
    // A plain integer: u64 when it fits, i64 for negatives down to -2^63,
    // otherwise the nearest double ("-0" is negative zero).
    if (!overflow) [[likely]] {
        if (positive) {
            Number n{Number::Kind::U64};
            n.u = sig;
            return n;
        }
        if (sig != 0 && sig <= uint64_t(INT64_MAX) + 1) {
            Number n{Number::Kind::I64};
            n.i = sig == uint64_t(INT64_MAX) + 1 ? INT64_MIN : -int64_t(sig);
            return n;
        }
        Number n{Number::Kind::F64};
        n.f = -double(sig);
        return n;
    }
    Number n{Number::Kind::F64};
    n.f = NV_TRY(number_from_text(start, positive));
    return n;
}

DeResult<Number> Reader::parse_number(bool positive) {
    const size_t start = positive ? i_ : i_ - 1;
    if (i_ >= n_) return de::fail(error(msg::EofValue));
    const unsigned char c = s_[i_++];
    if (c == '0') {
        int d = peek_or_null();
        if (d >= '0' && d <= '9') return de::fail(peek_error(msg::InvalidNumber));
        return parse_integer_tail(positive, start, 0, false, true);
    }
    if (c >= '1' && c <= '9') {
        // Up to 19 digits cannot overflow; the value is gathered while scanning.
        uint64_t sig = uint64_t(c - '0');
        size_t j = i_;
        const size_t fast_end = n_ - j > 18 ? j + 18 : n_;
        while (j < fast_end && unsigned(s_[j] - '0') < 10) {
            sig = sig * 10 + uint64_t(s_[j] - '0');
            ++j;
        }
        bool overflow = false;
        while (j < n_ && unsigned(s_[j] - '0') < 10) {
            const uint64_t d = uint64_t(s_[j] - '0');
            if (!overflow) {
                if (sig > (UINT64_MAX - d) / 10) {
                    overflow = true;
                } else {
                    sig = sig * 10 + d;
                }
            }
            ++j;
        }
        i_ = j;
        return parse_integer_tail(positive, start, sig, overflow, false);
    }
    return de::fail(error(msg::InvalidNumber));
}

Error Reader::peek_invalid_type_text(std::string_view expected) {
    int c = peek();
    Error err;
    switch (c) {
        case 'n': {
            eat_char();
            auto r = parse_ident("ull");
            if (!r) return std::move(r).error();
            err = Error::invalid_type(Unexpected::of(Unexpected::Kind::Unit), expected);
            break;
        }
        case 't': {
            eat_char();
            auto r = parse_ident("rue");
            if (!r) return std::move(r).error();
            err = Error::invalid_type(Unexpected::boolean(true), expected);
            break;
        }
        case 'f': {
            eat_char();
            auto r = parse_ident("alse");
            if (!r) return std::move(r).error();
            err = Error::invalid_type(Unexpected::boolean(false), expected);
            break;
        }
        case '-': {
            eat_char();
            auto r = parse_number(false);
            if (!r) return std::move(r).error();
            err = Error::invalid_type(r->unexpected(), expected);
            break;
        }
        case '"': {
            eat_char();
            auto r = parse_str();
            if (!r) return std::move(r).error();
            err = Error::invalid_type(Unexpected::str(*r), expected);
            break;
        }
        case '[':
            err = Error::invalid_type(Unexpected::of(Unexpected::Kind::Seq), expected);
            break;
        case '{':
            err = Error::invalid_type(Unexpected::of(Unexpected::Kind::Map), expected);
            break;
        default:
            if (c >= '0' && c <= '9') {
                auto r = parse_number(true);
                if (!r) return std::move(r).error();
                err = Error::invalid_type(r->unexpected(), expected);
                break;
            }
            return peek_error(msg::ExpectedValue);
    }
    fix_position(err);
    return err;
}

// ---- skipping --------------------------------------------------------------------

DeResult<void> Reader::ignore_integer() {
    int c = next_char();
    if (c < 0) return de::fail(error(msg::EofValue));
    if (c == '0') {
        int d = peek_or_null();
        if (d >= '0' && d <= '9') return de::fail(peek_error(msg::InvalidNumber));
    } else if (c >= '1' && c <= '9') {
        while (peek_or_null() >= '0' && peek_or_null() <= '9') eat_char();
    } else {
        return de::fail(error(msg::InvalidNumber));
    }
    int d = peek_or_null();
    if (d == '.') return ignore_decimal();
    if (d == 'e' || d == 'E') return ignore_exponent();
    return {};
}

DeResult<void> Reader::ignore_decimal() {
    eat_char();
    bool any = false;
    while (peek_or_null() >= '0' && peek_or_null() <= '9') {
        eat_char();
        any = true;
    }
    if (!any) return de::fail(peek_error(msg::InvalidNumber));
    int d = peek_or_null();
    if (d == 'e' || d == 'E') return ignore_exponent();
    return {};
}

DeResult<void> Reader::ignore_exponent() {
    eat_char();
    int c = peek_or_null();
    if (c == '+' || c == '-') eat_char();
    int d = next_char();
    if (d < '0' || d > '9') return de::fail(error(msg::InvalidNumber));
    while (peek_or_null() >= '0' && peek_or_null() <= '9') eat_char();
    return {};
}

// Iterative, so that hostile nesting cannot exhaust the stack; the open
// arrays and objects still count against the nesting budget.
DeResult<void> Reader::ignore_value() {
    std::string frames;  // '[' or '{' for each open container
    int saved_depth = depth_;
    auto restore = [&] { depth_ = saved_depth; };
    for (;;) {
        int c = parse_whitespace();
        if (c < 0) {
            restore();
            return de::fail(peek_error(msg::EofValue));
        }
        bool opened = false;
        switch (c) {
            case 'n': {
                eat_char();
                auto r = parse_ident("ull");
                if (!r) { restore(); return r; }
                break;
            }
            case 't': {
                eat_char();
                auto r = parse_ident("rue");
                if (!r) { restore(); return r; }
                break;
            }
            case 'f': {
                eat_char();
                auto r = parse_ident("alse");
                if (!r) { restore(); return r; }
                break;
            }
            case '-': {
                eat_char();
                auto r = ignore_integer();
                if (!r) { restore(); return r; }
                break;
            }
            case '"': {
                eat_char();
                auto r = ignore_str();
                if (!r) { restore(); return r; }
                break;
            }
            case '[':
            case '{': {
                auto r = enter();
                if (!r) { restore(); return r; }
                eat_char();
                frames += char(c);
                opened = true;
                break;
            }
            default:
                if (c >= '0' && c <= '9') {
                    auto r = ignore_integer();
                    if (!r) { restore(); return r; }
                    break;
                }
                restore();
                return de::fail(peek_error(msg::ExpectedValue));
        }

        // After a value (or just inside a new container): close containers
        // until one expects another element.
        bool accept_comma = !opened;
        for (;;) {
            if (frames.empty()) {
                restore();
                return {};
            }
            char frame = frames.back();
            int d = parse_whitespace();
            if (d < 0) {
                restore();
                return de::fail(peek_error(frame == '[' ? msg::EofList : msg::EofObject));
            }
            if (d == ',' && accept_comma) {
                eat_char();
                break;
            }
            if ((d == ']' && frame == '[') || (d == '}' && frame == '{')) {
                eat_char();
                frames.pop_back();
                leave();
                accept_comma = true;
                continue;
            }
            if (accept_comma) {
                restore();
                return de::fail(peek_error(frame == '[' ? msg::ExpectedListCommaOrEnd : msg::ExpectedObjectCommaOrEnd));
            }
            break;
        }
        if (frames.back() == '{') {
            int d = parse_whitespace();
            if (d != '"') {
                restore();
                return de::fail(peek_error(d < 0 ? msg::EofObject : msg::KeyMustBeString));
            }
            eat_char();
            auto r = ignore_str();
            if (!r) { restore(); return r; }
            int e = parse_whitespace();
            if (e != ':') {
                restore();
                return de::fail(peek_error(e < 0 ? msg::EofObject : msg::ExpectedColon));
            }
            eat_char();
        }
    }
}

}  // namespace norvane::json
