// CRDT ops lists applied to a fresh document (CrdtDocument::apply).
#include "crdt_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::check_list_on_fresh_document(
        data, size, [](norvane::crdt::CrdtDocument& doc, std::string_view text) { return doc.apply(text); });
}
