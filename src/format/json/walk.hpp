// One JSON value read as a generic document and handed to a sink as it is
// read, so that a tree can be built or another format written straight from
// the text. The reader calls, and so every error text and position, are those
// of reading a document through the record accessors. The sink interface is
// the one of every document walker (format/tree/document_sink.hpp); keys and texts
// without escapes are views of the input.
#pragma once

#include <string>
#include <string_view>

#include "format/json/reader.hpp"
#include "util/result.hpp"

namespace norvane::json {

template <class Sink>
class Walker {
public:
    Walker(Reader& r, Sink& sink) : r_(r), sink_(sink) {}

    DeResult<void> value() {
        const int c = r_.parse_whitespace();
        switch (c) {
            case '"': {
                r_.eat_char();
                sink_.text(NV_TRY(r_.parse_str()));
                return {};
            }
            case '{': return object();
            case '[': return array();
            case 'n':
                r_.eat_char();
                NV_CHECK(r_.parse_ident("ull"));
                sink_.null_();
                return {};
            case 't':
                r_.eat_char();
                NV_CHECK(r_.parse_ident("rue"));
                sink_.boolean(true);
                return {};
            case 'f':
                r_.eat_char();
                NV_CHECK(r_.parse_ident("alse"));
                sink_.boolean(false);
                return {};
            case '-':
                r_.eat_char();
                return number(false);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return number(true);
            case -1: return de::fail(r_.peek_error(msg::EofValue));
            default: return de::fail(r_.peek_error(msg::ExpectedValue));
        }
    }

private:
    DeResult<void> number(bool positive) {
        // Read in place: copying the number out as a whole would wait on the
        // reader's narrower stores.
        auto read = r_.parse_number(positive);
        if (!read) [[unlikely]]
            return de::fail(std::move(read).error());
        const Number& n = *read;
        switch (n.kind) {
            case Number::Kind::U64: sink_.u64(n.u); break;
            case Number::Kind::I64: sink_.i64(n.i); break;
            default: sink_.f64(n.f); break;
        }
        return {};
    }

    // The element loop of SeqAccess; the closing bracket is next on success.
    template <class Token>
    DeResult<void> elements(Token& token, size_t& count) {
        bool first = true;
        while (NV_TRY(r_.next_element(first))) {
            sink_.element(token, count);
            NV_CHECK(value());
            ++count;
        }
        return {};
    }

    // The key and value loop of MapAccess; the closing brace is next on success.
    template <class Token>
    DeResult<void> members(Token& token, size_t& count) {
        bool first = true;
        while (NV_TRY(r_.next_member(first))) {
            r_.eat_char();
            sink_.key(token, count, NV_TRY(r_.parse_str()));
            NV_CHECK(r_.parse_object_colon());
            NV_CHECK(value());
            ++count;
        }
        return {};
    }

    DeResult<void> array() {
        NV_CHECK(r_.enter());
        r_.eat_char();
        auto token = sink_.begin_array(0);
        size_t count = 0;
        auto body = elements(token, count);
        r_.leave();
        NV_CHECK(body);
        r_.eat_char();  // ']'
        sink_.end_array(token, count);
        return {};
    }

    DeResult<void> object() {
        NV_CHECK(r_.enter());
        r_.eat_char();
        auto token = sink_.begin_map(0);
        size_t count = 0;
        auto body = members(token, count);
        r_.leave();
        NV_CHECK(body);
        r_.eat_char();  // '}'
        sink_.end_map(token, count);
        return {};
    }

    Reader& r_;
    Sink& sink_;
};

// Reads one value at the reader's position into the sink.
template <class Sink>
DeResult<void> walk(Reader& r, Sink& sink) {
    Walker<Sink> w(r, sink);
    return w.value();
}

// A whole JSON text (only whitespace after the value) written out in another format as it
// is read, by the writer sink `Sink` made over the output; the failure is the JSON
// reading text. The bytes are those of reading the generic document and writing it.
template <class Sink>
Result<std::string> transcode_text(std::string_view json) {
    std::string out;
    out.reserve(json.size() + 16);
    Reader r(json);
    Sink sink(out);
    auto ok = walk(r, sink);
    if (!ok) return fail(de::json_error_text(ok.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return out;
}

}  // namespace norvane::json
