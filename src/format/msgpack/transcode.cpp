#include "format/msgpack/transcode.hpp"

#include "format/json/walk.hpp"
#include "format/msgpack/walk.hpp"
#include "format/msgpack/writer_sink.hpp"
#include "format/tree/document_sink.hpp"

namespace norvane::msgpack {

Result<std::string> json_text_to_msgpack(std::string_view json) { return json::transcode_text<WriterSink>(json); }

Result<std::string> msgpack_to_json_text(std::string_view data) {
    std::string out;
    out.reserve(data.size() + data.size() / 2 + 16);
    Deserializer d(data);
    JsonSink sink(out, data);
    auto ok = walk(d, sink);
    if (!ok) return fail(error_text(ok.error()));
    return out;
}

}  // namespace norvane::msgpack
