// Member keys of set members (CrdtDocument::member_key). The first input byte
// picks the CRDT specification; the rest is the path, a newline and the value.
// The same arguments give the same answer; a key is compact JSON that reads
// back to itself and does not depend on how the path or value was spelt; adding
// the value to the set makes a visible member with that key, and removing the
// key leaves no member with it.
#include <algorithm>

#include "crdt_check.hpp"
#include "crdt/reducer/document.hpp"
#include "crdt/reducer/reducer.hpp"
#include "format/document.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

using namespace norvane;

namespace {

// Sets without and with identity paths, at the root and below maps, sequence
// elements and set members.
constexpr std::string_view kSpecs[] = {
    R"({"root":{"kind":"set"}})",
    R"({"root":{"kind":"set","keys":[["id"]],"element":{"kind":"map"}}})",
    R"({"root":{"kind":"set","keys":[["id"],["name","first"]],)"
    R"("element":{"kind":"map","fields":{"name":{"kind":"map"}}}}})",
    R"({"root":{"kind":"map","fields":{"tags":{"kind":"set"},)"
    R"("people":{"kind":"set","keys":[["id"]],"element":{"kind":"map"}}},)"
    R"("values":{"kind":"set","keys":[["k"]],"element":{"kind":"map"}}}})",
    R"({"root":{"kind":"sequence","element":{"kind":"set"}}})",
    R"({"root":{"kind":"set","element":{"kind":"map",)"
    R"("values":{"kind":"set","keys":[["a"]],"element":{"kind":"map"}}}}})",
};
constexpr std::string_view kValues[] = {
    R"({"List":[]})", R"({"List":[]})", R"({"List":[]})", R"({"Map":{}})", R"({"List":[]})", R"({"List":[]})",
};
static_assert(std::size(kValues) == std::size(kSpecs));

bool same_result(const Result<std::string>& a, const Result<std::string>& b) {
    return a.has_value() == b.has_value() && (a ? *a == *b : a.error() == b.error());
}

// The member keys of the visible members of the set at `path`.
std::vector<std::string> visible_keys(const crdt::CrdtDocument& doc, const crdt::CrdtPath& path) {
    auto at = crdt::node_at_path(doc.root, doc.policy(), path);
    if (!at) fuzz::fail("the set a member was added to is not found", at.error());
    auto list = crdt::materialize_node(*at->node, *at->policy);
    if (!list) fuzz::fail("the set a member was added to does not materialise", list.error());
    fuzz::check(list->kind() == Value::Kind::List, "a set does not materialise as a list");
    std::vector<std::string> keys;
    for (const Value& item : list->as_list()) {
        auto k = crdt::member_key(at->policy->keys, item);
        if (!k) fuzz::fail("a visible member has no member key", k.error());
        keys.push_back(*k);
    }
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t pick = data[0] % std::size(kSpecs);
    fuzz::Exact in(data + 1, size - 1);
    if (!fuzz::utf8(in.view())) return 0;
    std::string_view text = in.view();
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return 0;
    std::string_view path_text = text.substr(0, nl), value_text = text.substr(nl + 1);
    auto doc = crdt::CrdtDocument::create(kSpecs[pick], kValues[pick], "a");
    fuzz::check(doc.has_value(), "a fixed CRDT specification and value were refused");

    auto key = doc->member_key(path_text, value_text);
    fuzz::check(same_result(key, doc->member_key(path_text, value_text)), "member_key is not deterministic");
    if (!key) return 0;

    auto parsed = parse_document(*key);
    if (!parsed) fuzz::fail("a member key is not JSON", *key, parsed.error());
    std::string rewritten;
    write_json(rewritten, *parsed);
    fuzz::same(*key, rewritten, "a member key is not compact JSON that reads back to itself");

    crdt::ReplicaTable names;
    auto path = crdt::parse_path(path_text, names);
    auto value = parse_value(value_text);
    fuzz::check(path.has_value() && value.has_value(), "the arguments of an accepted member key do not read");
    std::string path_json, value_json;
    crdt::write_path(path_json, *path);
    value_to_json(value_json, *value);
    auto respelt = doc->member_key(path_json, value_json);
    if (!respelt) fuzz::fail("the compact spelling of the arguments is refused", *key, respelt.error());
    fuzz::same(*key, *respelt, "the member key depends on the spelling of its arguments");

    std::string add = R"([{"kind":"set_add","path":)" + path_json + R"(,"value":)" + value_json + "}]";
    auto added = doc->mutate(add);
    fuzz::check_caches(*doc, add);
    if (!added) return 0;
    auto keys = visible_keys(*doc, *path);
    fuzz::check(std::find(keys.begin(), keys.end(), *key) != keys.end(), "an added member is not visible by its key",
                *key);
    std::string remove = R"([{"kind":"set_remove","path":)" + path_json + R"(,"key":)";
    append_json_string(remove, *key);
    remove += "}]";
    auto removed = doc->mutate(remove);
    fuzz::check_caches(*doc, remove);
    if (!removed) fuzz::fail("removing an added member is refused", remove, removed.error());
    keys = visible_keys(*doc, *path);
    fuzz::check(std::find(keys.begin(), keys.end(), *key) == keys.end(), "a removed member is still visible", *key);
    return 0;
}
