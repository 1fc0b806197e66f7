#include "message/connection.hpp"

#include <utility>

namespace norvane {

Result<ConnectionCodec> normalize_codec(std::string_view name) {
    if (name.empty() || name == "json" || name == "application/json") return ConnectionCodec::Json;
    if (name == "msgpack" || name == "x-msgpack" || name == "application/msgpack" ||
        name == "application/x-msgpack")
        return ConnectionCodec::Msgpack;
    if (name == "cbor" || name == "application/cbor") return ConnectionCodec::Cbor;
    std::string e = "unknown codec: ";
    e += name;
    return fail(std::move(e));
}

Result<std::string> encode_message(const Message& m, ConnectionCodec codec) {
    switch (codec) {
        case ConnectionCodec::Json: {
            std::string out;
            out.reserve(128);
            m.write_json(out);
            return out;
        }
        case ConnectionCodec::Msgpack:
        case ConnectionCodec::Cbor:
            break;
    }
    return fail("not implemented");
}

Result<Message> decode_message(std::string_view data, ConnectionCodec codec) {
    switch (codec) {
        case ConnectionCodec::Json: return Message::from_json(data, true);
        case ConnectionCodec::Msgpack:
        case ConnectionCodec::Cbor:
            break;
    }
    return fail("not implemented");
}

namespace messages {

Result<std::string> normalize(std::string_view json) {
    Message m = NV_TRY(Message::from_json(json));
    return m.to_json();
}

Result<std::string> encode(std::string_view json, std::string_view codec) {
    Message m = NV_TRY(Message::from_json(json));
    ConnectionCodec c = NV_TRY(normalize_codec(codec));
    return encode_message(m, c);
}

Result<std::string> decode(std::string_view data, std::string_view codec) {
    ConnectionCodec c = NV_TRY(normalize_codec(codec));
    Message m = NV_TRY(decode_message(data, c));
    return m.to_json();
}

}  // namespace messages

}  // namespace norvane
