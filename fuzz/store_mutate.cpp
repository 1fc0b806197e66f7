// Store.mutate: the first line is hosted, each later line replaces the model in turn.
// Every replacement gives the patch text (or the failure text) of reading the new line on
// its own and diffing it against the last accepted one, and the model then holds exactly
// what the new line says; a refused line changes nothing.
#include "common.hpp"
#include "diff/diff.hpp"
#include "store/store.hpp"
#include "value/json.hpp"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Exact in(data, size);
    std::string_view s = in.view();
    if (!fuzz::utf8(s)) return 0;
    size_t nl = s.find('\n');
    if (nl == std::string_view::npos) return 0;
    std::string_view held = s.substr(0, nl);
    Store store;
    if (!store.host("t", held)) return 0;
    std::uint64_t rev = 0;
    for (size_t at = nl + 1; at <= s.size();) {
        size_t end = s.find('\n', at);
        if (end == std::string_view::npos) end = s.size();
        const std::string_view next = s.substr(at, end - at);
        at = end + 1;
        const std::string before = **store.snapshot(1);
        auto expected = diff_texts(held, next);
        auto got = store.mutate(1, next);
        if (!expected) {
            fuzz::check(!got, "the store accepted a text the reader refuses", next);
            fuzz::same(got.error(), expected.error(), "failure texts differ");
            fuzz::same(**store.snapshot(1), before, "a refused text changed the model");
            continue;
        }
        if (!got) fuzz::fail("the store refused a text the reader accepts", next, got.error());
        ++rev;
        std::string want = "{\"rev\":" + std::to_string(rev) + expected->substr(std::string_view("{\"rev\":0").size());
        fuzz::same(**got, want, "the patch differs from the diff of the texts");
        std::string snap = "{\"rev\":" + std::to_string(rev) + ",\"type_name\":\"t\",\"value\":" +
                           value_to_json(*parse_value(next)) + "}";
        fuzz::same(**store.snapshot(1), snap, "the model differs from the text");
        held = next;
    }
    return 0;
}
