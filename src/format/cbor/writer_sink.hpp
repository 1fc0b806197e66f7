// The walker sink that writes the generic document in CBOR as it is read:
// definite lengths (a container's one-byte header is widened once its count is
// known), shortest arguments and float widths, object members in ascending byte
// order of their keys, the last of equal keys kept. The bytes are those of
// write_document on the document read.
#pragma once

#include "format/cbor/writer.hpp"
#include "format/tree/document_sink.hpp"

namespace norvane::cbor {

struct WriterFormat {
    static void null_(std::string& out) { write_null(out); }
    static void boolean(std::string& out, bool v) { write_bool(out, v); }
    static void u64(std::string& out, uint64_t v) { write_u64(out, v); }
    static void i64(std::string& out, int64_t v) { write_i64(out, v); }
    static void f64(std::string& out, double v) { write_f64(out, v); }
    static void text(std::string& out, std::string_view v) { write_text(out, v); }
    static size_t write_key(std::string& out, std::string_view k) {
        write_text(out, k);
        return out.size() - k.size();
    }
    static void finish_array(std::string& out, size_t at, size_t count) { finish(out, at, kArray, count); }
    static void finish_map(std::string& out, size_t at, size_t count) { finish(out, at, kMap, count); }

private:
    static void finish(std::string& out, size_t at, Major major, uint64_t count) {
        if (count < 24) {
            out[at] = char((major << 5) | count);
            return;
        }
        std::string head;
        write_head(head, major, count);
        out.replace(at, 1, head);
    }
};

using WriterSink = SortedBinarySink<WriterFormat>;

}  // namespace norvane::cbor
