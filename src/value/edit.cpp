#include "value/edit.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "util/sorted_pairs.hpp"
#include "value/json.hpp"

namespace norvane {

using de::DeResult;
using de::Error;
using de::Unexpected;
using json::Reader;
namespace msg = json::msg;

Value::Kind EditNode::kind() const { return value != nullptr ? value->kind() : container->kind; }

bool same_value(const Value& a, const Value& b) {
    return same_structure(a, b, [](double x, double y) {
        return x == x && std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
    });
}

namespace {

// The new value is taken in two steps so that a failed allocation leaves the held value
// whole: first every rebuilt container is allocated, with null members where held or built
// values go and the keys the held map does not have; then those values and the held keys
// are moved in, which cannot fail.
Value shell(EditNode node) {
    if (node.value != nullptr) return Value();
    const EditContainer& c = *node.container;
    if (c.kind == Value::Kind::List) {
        ValueList items;
        items.reserve(c.items.size());
        for (EditNode item : c.items) items.push_back(shell(item));
        return Value::list(std::move(items));
    }
    ValueMap entries;
    entries.reserve(c.entries.size());
    for (const EditEntry& e : c.entries)
        entries.emplace_back(e.held_key != nullptr ? std::string() : std::string(e.key), shell(e.node));
    return Value::map(std::move(entries));
}

void fill(Value& out, EditNode node) noexcept {
    if (node.value != nullptr) {
        out = std::move(*const_cast<Value*>(node.value));
        return;
    }
    const EditContainer& c = *node.container;
    if (c.kind == Value::Kind::List) {
        ValueList& items = out.as_list();
        for (std::size_t i = 0; i < items.size(); ++i) fill(items[i], c.items[i]);
        return;
    }
    ValueMap& entries = out.as_map();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const EditEntry& e = c.entries[i];
        if (e.held_key != nullptr) entries[i].first = std::move(*const_cast<std::string*>(e.held_key));
        fill(entries[i].second, e.node);
    }
}

}  // namespace

Value ValueEdit::take(Value& held) {
    if (root_.value == &held) return std::move(held);
    Value out = shell(root_);
    fill(out, root_);
    return out;
}

Value ValueEdit::copy(EditNode node) {
    if (node.value != nullptr) return *node.value;
    const EditContainer& c = *node.container;
    if (c.kind == Value::Kind::List) {
        ValueList items;
        items.reserve(c.items.size());
        for (EditNode item : c.items) items.push_back(copy(item));
        return Value::list(std::move(items));
    }
    ValueMap entries;
    entries.reserve(c.entries.size());
    for (const EditEntry& e : c.entries) entries.emplace_back(std::string(e.key), copy(e.node));
    return Value::map(std::move(entries));
}

// Walks the text and the held value together. The text is read with exactly the reader
// calls of the plain value reader (so failures and their positions are the same); where
// the text has the usual compact form of the held value's own variant the two are
// compared as they are read, and anything else is read by the plain reader and compared
// afterwards.
//
// Where the previous text is known, with the place of every held part in it, a held part
// whose bytes the new text repeats at the same place in the tree is taken as it is: the
// same bytes at the same depth read as the same value.
class EditReader {
public:
    EditReader(Reader& r, ValueEdit& edit, std::string_view previous) : r_(r), edit_(edit), previous_(previous) {}

    // Reads one value against `held` (null: nothing to compare with) whose place in the
    // previous text is `old` (null: unknown), counted from `old_base`; records its own
    // place, counted from `new_base`, in `out`.
    DeResult<EditNode> value(const Value* held, TextSpan* old, std::size_t old_base, std::size_t new_base,
                             TextSpan& out) {
        const int c = r_.parse_whitespace();
        const std::size_t begin = r_.index();
        out.offset = begin - new_base;
        if (old != nullptr) {
            const std::size_t at = old_base + old->offset;
            const std::string_view input = r_.input();
            if (old->length <= input.size() - begin && at <= previous_.size() &&
                old->length <= previous_.size() - at &&
                std::memcmp(input.data() + begin, previous_.data() + at, old->length) == 0) {
                for (std::size_t k = 0; k < old->length; ++k) r_.eat_char();
                out.length = old->length;
                out.members = std::move(old->members);
                return EditNode{held};
            }
        }
        DeResult<EditNode> node = read(c, held, old, old_base, begin, out);
        out.length = r_.index() - begin;
        return node;
    }

private:
    DeResult<EditNode> read(int c, const Value* held, TextSpan* old, std::size_t old_base, std::size_t begin,
                            TextSpan& out) {
        if (held != nullptr && c == '{') {
            if (compact_name_next(held->kind())) {
                NV_CHECK(r_.enter());
                r_.eat_char();
                eat_name(held->kind());
                const Place place{old, old != nullptr ? old_base + old->offset : 0, begin};
                DeResult<EditNode> body = payload(*held, place, out);
                r_.leave();
                if (!body) return body;
                NV_CHECK(r_.end_variant_object());
                return *body;
            }
        }
        if (held != nullptr && held->kind() == Value::Kind::Null && c == '"' && r_.eat_literal("\"Null\""))
            return EditNode{held};
        Value v = NV_TRY(value_from_json(r_));
        if (held != nullptr && same_value(*held, v)) return EditNode{held};
        return built(std::move(v));
    }

    // A container's place in the previous text (`old` null: unknown) and in the new one.
    struct Place {
        TextSpan* old;
        std::size_t old_at;
        std::size_t new_at;
    };

    // Whether `{"Name":` of the variant `kind` stands at the reader's position.
    bool compact_name_next(Value::Kind kind) const {
        static constexpr std::string_view kNames[] = {"{\"Null\":", "{\"Bool\":", "{\"Int\":",  "{\"Float\":",
                                                      "{\"Str\":",  "{\"List\":", "{\"Map\":", "{\"Submodel\":"};
        const std::string_view name = kNames[std::size_t(kind)];
        const std::string_view input = r_.input();
        const std::size_t at = r_.index();
        return input.size() - at > name.size() && std::memcmp(input.data() + at, name.data(), name.size()) == 0;
    }

    void eat_name(Value::Kind kind) {
        switch (kind) {
            case Value::Kind::Null: r_.eat_literal("\"Null\":"); return;
            case Value::Kind::Bool: r_.eat_literal("\"Bool\":"); return;
            case Value::Kind::Int: r_.eat_literal("\"Int\":"); return;
            case Value::Kind::Float: r_.eat_literal("\"Float\":"); return;
            case Value::Kind::Str: r_.eat_literal("\"Str\":"); return;
            case Value::Kind::List: r_.eat_literal("\"List\":"); return;
            case Value::Kind::Map: r_.eat_literal("\"Map\":"); return;
            case Value::Kind::Submodel: r_.eat_literal("\"Submodel\":"); return;
        }
    }

    EditNode built(Value&& v) { return EditNode{&edit_.built_.emplace_back(std::move(v))}; }

    EditNode scalar(const Value& held, Value&& v) {
        if (same_value(held, v)) return EditNode{&held};
        return built(std::move(v));
    }

    Error not_a(int c, std::string_view expected) {
        if (c < 0) return r_.peek_error(msg::EofValue);
        return r_.fixed(r_.peek_invalid_type_text(expected));
    }

    // The payload of the held value's own variant.
    DeResult<EditNode> payload(const Value& held, const Place& place, TextSpan& span) {
        const int c = r_.parse_whitespace();
        switch (held.kind()) {
            case Value::Kind::Str:
                if (c == '"') {
                    r_.eat_char();
                    const std::string_view text = NV_TRY(r_.parse_str());
                    if (text == held.as_str()) return EditNode{&held};
                    return built(Value::str(text));
                }
                return scalar(held, Value::str(NV_TRY(de::read_string(r_))));
            case Value::Kind::List: return list(c, held, place, span);
            case Value::Kind::Map: return map(c, held, place, span);
            default: return scalar(held, NV_TRY(scalar_payload_from_json(r_, held.kind(), c)));
        }
        return EditNode{&held};
    }

    DeResult<EditNode> list(int c, const Value& held, const Place& place, TextSpan& span) {
        if (c != '[') return de::fail(not_a(c, "a sequence"));
        NV_CHECK(r_.enter());
        r_.eat_char();
        const size_t base = items_.size();
        const size_t span_base = spans_.size();
        DeResult<void> body = elements(held.as_list(), base, place);
        r_.leave();
        if (!body) [[unlikely]] {
            items_.resize(base);
            spans_.resize(span_base);
            return de::fail(std::move(body).error());
        }
        r_.eat_char();  // ']'
        take_spans(span_base, span);
        const ValueList& old = held.as_list();
        const size_t n = items_.size() - base;
        bool same = n == old.size();
        for (size_t i = 0; same && i < n; ++i) same = items_[base + i].value == &old[i];
        if (same) {
            items_.resize(base);
            return EditNode{&held};
        }
        EditContainer& out = edit_.containers_.emplace_back();
        out.kind = Value::Kind::List;
        out.items.assign(items_.begin() + std::ptrdiff_t(base), items_.end());
        items_.resize(base);
        return EditNode{nullptr, &out};
    }

    DeResult<void> elements(const ValueList& old, size_t base, const Place& place) {
        TextSpan* old_spans =
            place.old != nullptr && place.old->members.size() == old.size() ? place.old->members.data() : nullptr;
        bool first = true;
        while (NV_TRY(r_.next_element(first))) {
            const size_t i = items_.size() - base;
            TextSpan span;
            const bool known = i < old.size();
            const EditNode item = NV_TRY(value(known ? &old[i] : nullptr, known && old_spans ? &old_spans[i] : nullptr,
                                               place.old_at, place.new_at, span));
            items_.push_back(item);
            spans_.push_back(std::move(span));
        }
        return {};
    }

    // The members' places gathered since `span_base` become those of the container.
    void take_spans(size_t span_base, TextSpan& out) {
        out.members.assign(std::make_move_iterator(spans_.begin() + std::ptrdiff_t(span_base)),
                           std::make_move_iterator(spans_.end()));
        spans_.resize(span_base);
    }

    DeResult<EditNode> map(int c, const Value& held, const Place& place, TextSpan& span) {
        if (c != '{') return de::fail(not_a(c, "a map"));
        NV_CHECK(r_.enter());
        r_.eat_char();
        const size_t base = members_.size();
        const size_t span_base = spans_.size();
        bool same = true;
        DeResult<void> body = members(held.as_map(), base, same, place);
        r_.leave();
        if (!body) [[unlikely]] {
            members_.resize(base);
            spans_.resize(span_base);
            return de::fail(std::move(body).error());
        }
        r_.eat_char();  // '}'
        const size_t n = members_.size() - base;
        if (same && n == held.as_map().size()) {
            members_.resize(base);
            take_spans(span_base, span);
            return EditNode{&held};
        }
        EditContainer& out = edit_.containers_.emplace_back();
        out.kind = Value::Kind::Map;
        bool ascending = true;
        for (size_t k = base + 1; ascending && k < members_.size(); ++k)
            ascending = members_[k - 1].key < members_[k].key;
        if (ascending) {
            out.entries.assign(members_.begin() + std::ptrdiff_t(base), members_.end());
            take_spans(span_base, span);
        } else {
            // In member order; the members' places follow them into the map's own order.
            const EditEntry* m = members_.data() + base;
            std::vector<std::uint32_t> order;
            auto kept = sorted_unique_positions(n, [m](std::uint32_t k) { return m[k].key; }, order);
            out.entries.reserve(kept.size());
            span.members.reserve(kept.size());
            for (std::uint32_t k : kept) {
                out.entries.push_back(m[k]);
                span.members.push_back(std::move(spans_[span_base + k]));
            }
            spans_.resize(span_base);
        }
        members_.resize(base);
        return EditNode{nullptr, &out};
    }

    // `same` stays true while every key so far is in the held map, in ascending order
    // after the previous one, with its held value.
    DeResult<void> members(const ValueMap& old, size_t base, bool& same, const Place& place) {
        TextSpan* old_spans =
            place.old != nullptr && place.old->members.size() == old.size() ? place.old->members.data() : nullptr;
        bool first = true;
        size_t cursor = 0;  // the held entry after the last one found
        while (NV_TRY(r_.next_member(first))) {
            r_.eat_char();
            std::string_view key = NV_TRY(r_.parse_str());
            const std::string_view input = r_.input();
            if (!(key.data() >= input.data() && key.data() + key.size() <= input.data() + input.size()))
                key = edit_.keys_.emplace_back(key);  // decoded from escapes into the reader's reused buffer
            NV_CHECK(r_.parse_object_colon());
            const std::pair<std::string, Value>* found = nullptr;
            if (cursor < old.size() && old[cursor].first == key) {
                found = &old[cursor++];
            } else {
                auto it = std::lower_bound(old.begin(), old.end(), key,
                                           [](const auto& e, std::string_view k) { return e.first < k; });
                if (it != old.end() && it->first == key) {
                    found = &*it;
                    cursor = size_t(it - old.begin()) + 1;
                }
            }
            TextSpan span;
            const EditNode node =
                NV_TRY(value(found != nullptr ? &found->second : nullptr,
                             found != nullptr && old_spans ? &old_spans[found - old.data()] : nullptr, place.old_at,
                             place.new_at, span));
            spans_.push_back(std::move(span));
            if (same) {
                same = found != nullptr && node.value == &found->second &&
                       (members_.size() == base || members_.back().key < key);
            }
            members_.push_back(EditEntry{key, node, found != nullptr ? &found->first : nullptr});
        }
        return {};
    }

    Reader& r_;
    ValueEdit& edit_;
    std::vector<EditNode> items_;      // elements of the open lists, innermost last
    std::vector<EditEntry> members_;   // members of the open maps, innermost last
    std::vector<TextSpan> spans_;      // places of the members of the open containers
    std::string_view previous_;
};

Result<ValueEdit> parse_value_against(std::string_view text, const Value& held, HeldText* source) {
    ValueEdit edit;
    edit.held_ = &held;
    Reader r(text);
    const bool known = source != nullptr && source->known;
    EditReader reader(r, edit, known ? std::string_view(source->text) : std::string_view());
    // The previous places are moved into the new ones as they are reused: after a failure
    // they are no longer whole.
    auto forget = [&] {
        if (source != nullptr) *source = HeldText();
    };
    auto root = reader.value(&held, known ? &source->span : nullptr, 0, 0, edit.span_);
    if (!root) {
        forget();
        return fail(de::json_error_text(root.error()));
    }
    auto end = r.end();
    if (!end) {
        forget();
        return fail(de::json_error_text(end.error()));
    }
    edit.root_ = *root;
    return edit;
}

}  // namespace norvane
