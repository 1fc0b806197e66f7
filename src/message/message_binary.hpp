// Messages from MessagePack and CBOR bytes in one pass, without the generic document.
#pragma once

#include <optional>
#include <string_view>

#include "message/message.hpp"

namespace norvane {

// The message of the first item of the bytes (what follows it is ignored);
// nullopt wherever the bytes must be read through the generic document
// instead (every failure among those cases).
std::optional<Message> message_from_msgpack_one_pass(std::string_view data);
std::optional<Message> message_from_cbor_one_pass(std::string_view data);

}  // namespace norvane
