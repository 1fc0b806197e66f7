// The walker sink that writes the generic document in MessagePack as it is
// read: smallest integer and length forms (a container's one-byte header is
// widened once its count is known), doubles as float 64, object members in
// ascending byte order of their keys, the last of equal keys kept. The bytes
// are those of write_document on the document read.
#pragma once

#include "format/msgpack/writer.hpp"
#include "format/tree/document_sink.hpp"

namespace norvane::msgpack {

struct WriterFormat {
    static void null_(std::string& out) { write_nil(out); }
    static void boolean(std::string& out, bool v) { write_bool(out, v); }
    static void u64(std::string& out, uint64_t v) { write_uint(out, v); }
    static void i64(std::string& out, int64_t v) { write_int(out, v); }
    static void f64(std::string& out, double v) { write_f64(out, v); }
    static void text(std::string& out, std::string_view v) { write_str(out, v); }
    static size_t write_key(std::string& out, std::string_view k) {
        write_str_header(out, k.size());
        const size_t at = out.size();
        out.append(k);
        return at;
    }
    static void finish_array(std::string& out, size_t at, size_t count) { finish(out, at, count, 0x90, 0xdc, 0xdd); }
    static void finish_map(std::string& out, size_t at, size_t count) { finish(out, at, count, 0x80, 0xde, 0xdf); }

private:
    static void finish(std::string& out, size_t at, size_t count, uint8_t fix_base, uint8_t m16, uint8_t m32) {
        if (count < 16) {
            out[at] = char(fix_base + count);
            return;
        }
        char buf[5];
        size_t len;
        if (count <= 0xffff) {
            buf[0] = char(m16);
            buf[1] = char(count >> 8);
            buf[2] = char(count);
            len = 3;
        } else {
            buf[0] = char(m32);
            buf[1] = char(count >> 24);
            buf[2] = char(count >> 16);
            buf[3] = char(count >> 8);
            buf[4] = char(count);
            len = 5;
        }
        out.replace(at, 1, buf, len);
    }
};

using WriterSink = SortedBinarySink<WriterFormat>;

}  // namespace norvane::msgpack
