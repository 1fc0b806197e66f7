// Messages from JSON text in one pass, without the generic document.
#pragma once

#include <optional>
#include <string_view>

#include "message/message.hpp"

namespace norvane {

// The message of a whole JSON text (only whitespace after it), read in one
// pass; nullopt wherever the text must be read through the generic document
// instead (every failure among those cases). `check_utf8` for raw bytes.
std::optional<Message> message_from_json_one_pass(std::string_view text, bool check_utf8 = false);

}  // namespace norvane
