// Protocol messages from the json connection codec, also from text known to be
// UTF-8 (the module's str arguments).
#include "message_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace norvane;
    fuzz::Exact in(data, size);
    if (fuzz::utf8(in.view())) {
        auto fast = Message::from_json(in.view());
        auto tree = Message::from_json_tree(in.view());
        if (fast.has_value() != tree.has_value())
            fuzz::fail("the one-pass and document reads of text disagree on success",
                       fast ? fast->to_json() : fast.error(), tree ? tree->to_json() : tree.error());
        fuzz::same(fast ? fast->to_json() : fast.error(), tree ? tree->to_json() : tree.error(),
                   "the one-pass read of text gives another result");
    }
    return fuzz::check_message_codec(data, size, ConnectionCodec::Json);
}
