// Model values from MessagePack bytes: the bytes written back are a fixed point, and
// the JSON form reads back to the same value.
#include "codec/msgpack_codec.hpp"
#include "value_codec_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::check_value_codec<norvane::MsgpackCodec>(data, size, "MessagePack bytes are not a fixed point");
    return 0;
}
