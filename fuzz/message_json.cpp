// Protocol messages from the json connection codec; the one-pass read of JSON
// text gives what the read through the generic document gives, byte for byte,
// failures included.
#include "message_check.hpp"

namespace {

void same_reading(std::string_view text, bool check_utf8) {
    using namespace norvane;
    auto fast = Message::from_json(text, check_utf8);
    auto tree = Message::from_json_tree(text, check_utf8);
    if (fast.has_value() != tree.has_value())
        fuzz::fail("the one-pass and document reads disagree on success", fast ? fast->to_json() : fast.error(),
                   tree ? tree->to_json() : tree.error());
    if (fast) {
        fuzz::same(fast->to_json(), tree->to_json(), "the one-pass read gives another message");
        std::string a, b;
        fast->write_msgpack(a);
        tree->write_msgpack(b);
        fuzz::same(a, b, "the one-pass read gives another binary form");
    } else {
        fuzz::same(fast.error(), tree.error(), "the one-pass read fails with another text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    same_reading(in.view(), true);
    if (fuzz::utf8(in.view())) same_reading(in.view(), false);
    return fuzz::check_message_codec(data, size, norvane::ConnectionCodec::Json);
}
