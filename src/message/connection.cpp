#include "message/connection.hpp"

#include <utility>

#include "codec/codec.hpp"
#include "format/cbor/document.hpp"
#include "format/msgpack/document.hpp"
#include "message/message_binary.hpp"
#include "message/texts.hpp"

namespace norvane {

Result<ConnectionCodec> normalize_codec(std::string_view name) {
    if (name.empty() || name == "json" || name == "application/json") return ConnectionCodec::Json;
    if (name == "msgpack" || name == "x-msgpack" || name == "application/msgpack" ||
        name == "application/x-msgpack")
        return ConnectionCodec::Msgpack;
    if (name == "cbor" || name == "application/cbor") return ConnectionCodec::Cbor;
    std::string e = codec_msg::UnknownCodec;
    e += name;
    return fail(std::move(e));
}

Result<std::string> encode_message(const Message& m, ConnectionCodec codec) { return encode_message(m, codec, 128); }

Result<std::string> encode_message(const Message& m, ConnectionCodec codec, size_t expected_size) {
    std::string out;
    out.reserve(expected_size);
    switch (codec) {
        case ConnectionCodec::Json: m.write_json(out); return out;
        case ConnectionCodec::Msgpack: m.write_msgpack(out); return out;
        case ConnectionCodec::Cbor: m.write_cbor(out); return out;
    }
    return fail(message_texts::kUnknownCodec);
}

Result<Message> decode_message(std::string_view data, ConnectionCodec codec) {
    switch (codec) {
        case ConnectionCodec::Json: return Message::from_json(data, true);
        case ConnectionCodec::Msgpack:
            if (auto m = message_from_msgpack_one_pass(data)) return std::move(*m);
            break;
        case ConnectionCodec::Cbor:
            if (auto m = message_from_cbor_one_pass(data)) return std::move(*m);
            break;
    }
    return decode_message_tree(data, codec);
}

Result<Message> decode_message_tree(std::string_view data, ConnectionCodec codec) {
    switch (codec) {
        case ConnectionCodec::Json: return Message::from_json_tree(data, true);
        case ConnectionCodec::Msgpack: {
            // A failure of the typed read is the library's custom error, which
            // displays as its text alone.
            msgpack::Deserializer de(data);
            auto doc = msgpack::read_document(de);
            if (!doc) return fail(msgpack::error_text(doc.error()));
            return Message::from_value(std::move(*doc));
        }
        case ConnectionCodec::Cbor: {
            Document doc = NV_TRY(cbor::decode_document(data));
            auto m = Message::from_value(std::move(doc));
            if (!m) return fail(cbor::error_text(cbor::semantic_error(std::nullopt, m.error())));
            return m;
        }
    }
    return fail(message_texts::kUnknownCodec);
}

namespace messages {

// The outputs are sized from the inputs: compact JSON is at most about as long
// as the text it came from, and about half as long again as the binary forms.
Result<std::string> normalize(std::string_view json) {
    Message m = NV_TRY(Message::from_json(json));
    return encode_message(m, ConnectionCodec::Json, json.size() + 16);
}

Result<std::string> encode(std::string_view json, std::string_view codec) {
    Message m = NV_TRY(Message::from_json(json));
    ConnectionCodec c = NV_TRY(normalize_codec(codec));
    return encode_message(m, c, json.size() + 16);
}

Result<std::string> decode(std::string_view data, std::string_view codec) {
    ConnectionCodec c = NV_TRY(normalize_codec(codec));
    Message m = NV_TRY(decode_message(data, c));
    return encode_message(m, ConnectionCodec::Json, data.size() + data.size() / 2 + 16);
}

}  // namespace messages

}  // namespace norvane
