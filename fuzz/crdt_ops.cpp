// CRDT ops lists applied to a fresh document (CrdtDocument::apply). An
// operation read with its source text (the writers' own form) writes back
// to exactly that text, which its fingerprint is taken of.
#include "crdt/reducer/ops.hpp"
#include "crdt_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0) {
        fuzz::Exact in(data + 1, size - 1);
        if (fuzz::utf8(in.view())) {
            norvane::crdt::ReplicaTable names;
            if (auto ops = norvane::crdt::parse_ops(in.view(), names)) {
                for (const auto& op : *ops) {
                    if (op.source.empty()) continue;
                    std::string written;
                    norvane::crdt::write_op(written, op);
                    fuzz::same(op.source, written, "an operation's source text is not its written form");
                }
            }
        }
    }
    return fuzz::check_list_on_fresh_document(
        data, size, [](norvane::crdt::CrdtDocument& doc, std::string_view text) { return doc.apply(text); });
}
