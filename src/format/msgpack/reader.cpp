#include "format/msgpack/reader.hpp"

#include "util/float_text.hpp"

namespace norvane::msgpack {

void append_marker_name(std::string& out, uint8_t m) {
    auto with_arg = [&](const char* name, int64_t arg) {
        out += name;
        out += '(';
        append_i64(out, arg);
        out += ')';
    };
    if (m <= 0x7f) return with_arg("FixPos", m);
    if (m >= 0xe0) return with_arg("FixNeg", int8_t(m));
    if (m <= 0x8f) return with_arg("FixMap", m & 0x0f);
    if (m <= 0x9f) return with_arg("FixArray", m & 0x0f);
    if (m <= 0xbf) return with_arg("FixStr", m & 0x1f);
    static constexpr const char* kNames[] = {
        "Null",    "Reserved", "False",    "True",  "Bin8",  "Bin16",   "Bin32",   "Ext8",
        "Ext16",   "Ext32",    "F32",      "F64",   "U8",    "U16",     "U32",     "U64",
        "I8",      "I16",      "I32",      "I64",   "FixExt1", "FixExt2", "FixExt4", "FixExt8",
        "FixExt16", "Str8",    "Str16",    "Str32", "Array16", "Array32", "Map16",  "Map32",
    };
    out += kNames[m - 0xc0];
}

Error marker_eof() { return Error::format(msg::MarkerEof); }
Error data_eof() { return Error::format(msg::DataEof); }
Error depth_exceeded() { return Error::format(msg::DepthLimit); }

Error wrong_marker(uint8_t marker) {
    std::string t = msg::WrongMarker;
    append_marker_name(t, marker);
    return Error::format(std::move(t));
}

Error length_mismatch(uint64_t n) {
    std::string t = msg::LengthMismatch;
    append_u64(t, n);
    return Error::format(std::move(t));
}

Error utf8_error(const Utf8Error& e) {
    std::string t = msg::InvalidUtf8;
    append_utf8_error_text(t, e);
    return Error::format(std::move(t));
}

}  // namespace norvane::msgpack
