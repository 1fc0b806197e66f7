// Connection codecs: one live protocol message to the bytes that travel on a
// connection and back, as JSON text, or as the MessagePack or CBOR form of the
// message's generic document. Nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/message.hpp"
#include "util/result.hpp"

namespace norvane {

enum class ConnectionCodec : uint8_t { Json, Msgpack, Cbor };

// "", "json", "application/json"; "msgpack", "x-msgpack", "application/msgpack",
// "application/x-msgpack"; "cbor", "application/cbor". Matched byte for byte;
// anything else fails with "unknown codec: {name}".
Result<ConnectionCodec> normalize_codec(std::string_view name);

// The bytes of the message in the codec.
Result<std::string> encode_message(const Message& m, ConnectionCodec codec);
// The same, with room reserved for about `expected_size` bytes.
Result<std::string> encode_message(const Message& m, ConnectionCodec codec, size_t expected_size);

// One message from the start of the bytes. JSON reads the whole input (only
// whitespace may follow); MessagePack and CBOR read one item and ignore the rest.
Result<Message> decode_message(std::string_view data, ConnectionCodec codec);
// The same reading, always through the generic document first (the reference
// the one-pass reads are checked against).
Result<Message> decode_message_tree(std::string_view data, ConnectionCodec codec);

// The module functions, on converted arguments.
namespace messages {

Result<std::string> normalize(std::string_view json);                      // -> str
Result<std::string> encode(std::string_view json, std::string_view codec);  // -> bytes
Result<std::string> decode(std::string_view data, std::string_view codec);  // -> str

}  // namespace messages

}  // namespace norvane
