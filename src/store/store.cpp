#include "store/store.hpp"

#include <limits>

#include "diff/apply.hpp"
#include "diff/diff.hpp"
#include "diff/patch_json.hpp"
#include "store/texts.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"
#include "value/edit.hpp"
#include "value/json.hpp"

namespace norvane {

Store::Held* Store::find(std::uint64_t id) {
    if (id == 0 || id > models_.size()) return nullptr;
    return &models_[id - 1];
}

const Store::Held* Store::find(std::uint64_t id) const {
    if (id == 0 || id > models_.size()) return nullptr;
    return &models_[id - 1];
}

Result<std::uint64_t> Store::host(std::string_view type_name, std::string_view value_json) {
    Value value = NV_TRY(parse_value(value_json));
    models_.push_back(Held{std::string(type_name), std::move(value), 0, {}});
    return models_.size();
}

Result<std::optional<std::string>> Store::snapshot(std::uint64_t id) const {
    const Held* held = find(id);
    if (held == nullptr) return std::nullopt;
    // A generic JSON object, so its members are written in ascending key order.
    std::string out = "{\"rev\":";
    append_u64(out, held->rev);
    out += ",\"type_name\":";
    append_json_string(out, held->type_name);
    out += ",\"value\":";
    value_to_json(out, held->value);
    out += '}';
    return out;
}

Result<std::optional<std::string>> Store::mutate(std::uint64_t id, std::string_view value_json) {
    Held* held = find(id);
    if (held == nullptr) {
        NV_CHECK(parse_value(value_json));
        return std::nullopt;
    }
    // The read uses up the kept text; until the new one is kept, every way out (a failed
    // read or check, or a failed allocation) forgets it rather than leave it standing for
    // a value it no longer describes.
    struct ForgetSource {
        HeldText* source;
        ~ForgetSource() {
            if (source != nullptr) *source = HeldText();
        }
    } forget{&held->source};
    // Read against the held value: what the text leaves as it was is neither built nor
    // compared again.
    ValueEdit edit = NV_TRY(parse_value_against(value_json, held->value, &held->source));
    // Wrapping to 0 would make every later patch of this model look stale to a client.
    if (held->rev == std::numeric_limits<std::uint64_t>::max()) {
        const auto& text = store_texts::kRevisionExhausted;
        std::string msg = text[0];
        append_u64(msg, held->rev);
        msg += text[1];
        append_u64(msg, id);
        msg += text[2];
        return fail(std::move(msg));
    }
    // Everything that can fail comes first, while the model is as it was: the patch and
    // its text, the kept copy of the new text, and the new value (taking it leaves the
    // held value whole when it fails).
    Patch patch;
    diff_edit(held->value, edit, patch.ops);
    patch.rev = held->rev + 1;
    std::string out = patch_to_json(patch);
    // The kept text's own buffer is written over when the new text fits in it (which
    // cannot fail); only a longer text needs a new one.
    const bool fits = held->source.text.capacity() >= value_json.size();
    std::string text;
    if (!fits) text.assign(value_json);
    const bool changed = !edit.unchanged();
    Value next;
    if (changed) next = edit.take(held->value);
    // Then the model takes them over by moves, which cannot fail.
    if (changed) held->value = std::move(next);
    held->rev = patch.rev;
    if (fits) held->source.text.assign(value_json);
    else held->source.text = std::move(text);
    held->source.span = std::move(edit.span());
    held->source.known = true;
    forget.source = nullptr;
    return out;
}

Result<bool> Store::apply(std::uint64_t id, std::string_view patch_json) {
    Patch patch = NV_TRY(parse_patch(patch_json));
    Held* held = find(id);
    if (held == nullptr) return false;
    NV_CHECK(apply_all_or_nothing(held->value, std::move(patch.ops)));
    held->rev = patch.rev;
    held->source = HeldText();
    return true;
}

}  // namespace norvane
