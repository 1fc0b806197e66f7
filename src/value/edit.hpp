// Reading tagged model JSON against a value already held: the text's value is
// described in terms of the held one, so that the parts the text leaves as they
// were are neither built again nor compared again later.
//
// A node of the new value is one of
//   - a held subtree (the text wrote it exactly: same kinds, same bits of every
//     float, no NaN anywhere in it, so it is also equal to itself),
//   - a subtree built from the text, or
//   - a list or map container rebuilt from the text whose members are nodes again.
// Every node of the first two kinds is a plain Value; only rebuilt containers are not.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane {

struct EditContainer;

struct EditNode {
    const Value* value = nullptr;                // a held or built value, or
    const EditContainer* container = nullptr;    // a rebuilt container

    Value::Kind kind() const;
};

struct EditEntry {
    std::string_view key;
    EditNode node;
    const std::string* held_key = nullptr;  // the held map's own key text, when it has this key
};

struct EditContainer {
    Value::Kind kind = Value::Kind::List;  // List or Map
    std::vector<EditNode> items;           // List
    std::vector<EditEntry> entries;        // Map: unique keys in ascending byte order
};

// Where a value was written in the text it was read from: the offset of its first byte
// from its parent's first byte (from the text's start for the whole value), its length,
// and the same for each of its members in the value's own order (none when not known).
struct TextSpan {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::vector<TextSpan> members;
};

// The text a held value was read from, with the places of its parts; `known` false
// when the value no longer is what that text says.
struct HeldText {
    bool known = false;
    std::string text;
    TextSpan span;
};

// A whole text read against a held value. Addresses in it point into the held
// value, into the text and into the edit itself: all three must outlive it.
class ValueEdit {
public:
    EditNode root() const { return root_; }

    // Whether the text wrote exactly the held value.
    bool unchanged() const { return root_.container == nullptr && root_.value == held_; }

    // The new value, taking what it keeps out of `held` (the value the text was read
    // against, left in an unspecified state) and out of this edit.
    Value take(Value& held);

    // A copy of the value at a node.
    static Value copy(EditNode node);

    // The places of the new value's parts in the text read.
    TextSpan& span() { return span_; }

private:
    friend class EditReader;
    friend Result<ValueEdit> parse_value_against(std::string_view text, const Value& held, HeldText* source);
    const Value* held_ = nullptr;
    EditNode root_;
    TextSpan span_;
    std::deque<Value> built_;
    std::deque<EditContainer> containers_;
    std::deque<std::string> keys_;  // map keys that were written with escapes
};

// Reads `text` as parse_value does, with the same failures at the same positions,
// describing the value against `held`. `source`, when given, is the text `held` was read
// from: parts written there again byte for byte are not read again. It is used up by
// the read (the caller keeps the new text and the edit's span when it adopts the edit)
// and forgotten after a failure.
Result<ValueEdit> parse_value_against(std::string_view text, const Value& held, HeldText* source = nullptr);

// Equal kinds, strings and integers, floats of the same bits, and no NaN anywhere:
// keeping `a` in place of `b` changes nothing, and a diff of the two is empty.
bool same_value(const Value& a, const Value& b);

}  // namespace norvane
