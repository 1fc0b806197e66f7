// Protocol messages from the json connection codec.
#include "message_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::check_message_codec(data, size, norvane::ConnectionCodec::Json);
}
