// Text helpers: JSON string escaping, the quoted debug text of strings, and
// UTF-8 validation with its error positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// Appends the quoted JSON string: the quotation mark, the backslash and the
// control characters below U+0020 are escaped (\b \f \n \r \t, others \u00xx in
// lowercase hex); every other byte, the slash, DEL and non-ASCII included, is
// copied unchanged.
void append_json_string(std::string& out, std::string_view utf8);

// The JSON forms of the last long strings written while it is in use: a
// string that shares its beginning and its end with one of them is written by
// copying those parts' JSON forms and escaping only what lies between them, as
// when a long text is written whole after every small edit. The output is
// always append_json_string's.
class JsonStringMemo {
public:
    // The lengths of the strings kept: past the largest, the memory a kept
    // copy and its JSON form take outweighs the time they save.
    static constexpr std::size_t kMinLength = 1024, kMaxLength = std::size_t(16) << 20;

    // While a scope lives, append_json_string in this thread writes strings of
    // kMinLength to kMaxLength bytes through `memo`.
    class Scope {
    public:
        explicit Scope(JsonStringMemo& memo);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        JsonStringMemo* previous_;
    };

    void append(std::string& out, std::string_view utf8);

private:
    struct Slot {
        std::string raw, json;  // a string and its JSON form without the quotes
        std::uint64_t used = 0;
        // head[k]: the length of the JSON form of raw's first k * kMark bytes;
        // tail[k]: of its last k * kMark bytes. Each holds the marks found so
        // far that an edit has not moved.
        std::vector<std::size_t> head{0}, tail{0};
    };
    static constexpr std::size_t kMark = 1024;
    template <class F>
    void keep(Slot& slot, F&& update);
    // The length of the JSON form of the first (`from_end`: last) `n` bytes of
    // `raw`, from its marks on that side, which it extends.
    static std::size_t marked_json(const std::string& raw, std::vector<std::size_t>& marks, std::size_t n,
                                   bool from_end);

    Slot slots_[2];
    std::uint64_t clock_ = 0;
};

// Appends the quoted debug text of a string: \" \\ \t \n \r \0 escapes,
// printable ASCII (the apostrophe included) as itself, "\u{hex}" for other
// controls and for characters that are not printable (see debug_escapes), every
// other character as its UTF-8. Bytes that are not valid UTF-8 are shown as
// U+FFFD; callers pass valid text.
void append_debug_str(std::string& out, std::string_view utf8);

// ["a", "b"]: the debug texts of the items joined by ", " in square brackets.
void append_debug_str_list(std::string& out, const std::vector<std::string>& items);

// Where validation of UTF-8 stopped: the bytes before valid_up_to are valid;
// error_len is the length of the invalid sequence that follows, or empty when
// the input ends inside a sequence that was valid so far.
struct Utf8Error {
    std::size_t valid_up_to = 0;
    std::optional<std::size_t> error_len;
};

// Strict UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
// error_len follows the "maximal subpart" rule: 1 for a stray continuation byte
// or a byte that cannot start a sequence, otherwise the number of bytes of the
// longest prefix of a valid sequence that was seen.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// Whether a text of at most 24 bytes is all ASCII (false for a longer one):
// the high bits of a few overlapping loads that stay inside the text.
inline bool short_ascii(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::uint64_t high = 0;
    if (n >= 8) {
        if (n > 24) return false;
        std::uint64_t a, b, c;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
        std::memcpy(&c, p + (n > 16 ? 8 : 0), 8);
        high = a | b | c;
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        high = a | b;
    } else {
        for (std::size_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(p[i]);
    }
    return (high & 0x8080808080808080ull) == 0;
}

inline bool is_utf8(std::string_view bytes) { return short_ascii(bytes) || !check_utf8(bytes).has_value(); }

// "invalid utf-8 sequence of {n} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}".
void append_utf8_error_text(std::string& out, const Utf8Error& err);

// The bytes as UTF-8, each maximal invalid subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace norvane
