#include "diff/apply.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "diff/patch_json.hpp"
#include "diff/texts.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane {

namespace {

namespace texts = diff_texts;

std::string expected_kind(Value::Kind kind, const Value& found) {
    std::string msg = texts::kExpectedKind[0];
    msg += Value::kNames[size_t(kind)];
    msg += texts::kExpectedKind[1];
    append_debug(msg, found);
    return msg;
}

// A text pair around a number.
std::string number_message(const char* const (&text)[2], std::uint64_t n) {
    std::string msg = text[0];
    append_u64(msg, n);
    msg += text[1];
    return msg;
}

std::string index_len_message(const char* before, std::uint64_t index, std::size_t len) {
    std::string msg = before;
    append_u64(msg, index);
    msg += texts::kOutOfBoundsLen[0];
    append_u64(msg, len);
    msg += texts::kOutOfBoundsLen[1];
    return msg;
}

// Refuses a value that would sit below `above` lists and maps and make the nesting deeper
// than patching allows.
Status check_nesting(std::size_t above, const Value& value) {
    if (above <= kMaxValueNesting && !nests_deeper_than(value, kMaxValueNesting - above)) return {};
    return fail(number_message(texts::kTooDeep, kMaxValueNesting));
}

Result<ValueList*> list_at(Value& node) {
    if (node.kind() != Value::Kind::List) return fail(expected_kind(Value::Kind::List, node));
    return &node.as_list();
}

// Moves the element at `from` so that it ends at position `to`.
void move_within(ValueList& items, std::size_t from, std::size_t to) {
    if (from < to) std::rotate(items.begin() + from, items.begin() + from + 1, items.begin() + to + 1);
    else if (to < from) std::rotate(items.begin() + to, items.begin() + from, items.begin() + from + 1);
}

// What undoes one applied operation; its path and positions are read back from the
// operation itself. Undoing allocates nothing: what a step puts back it holds itself, and
// the containers it goes back into kept their room.
struct UndoStep {
    enum class Kind : std::uint8_t {
        RestoreRoot,    // Set on the root: `saved` is the old root
        RestoreKey,     // Set on an existing key: `saved` is its old value
        EraseKey,       // Set on a new key
        RestoreIndex,   // Set on a list position: `saved` is the old element
        ReinsertKey,    // Remove of an existing key: `key` and `saved` are its entry
        ReinsertIndex,  // Remove of a list position or RemoveAt: `saved` is the element
        EraseIndex,     // Insert
        MoveBack,       // Move with from != to
        Unorder,        // Reorder that was not the identity: `saved` is a list of the
                        // old length, with the old storage, to take the elements back
    };
    UndoStep(const Op* o, Kind k) : op(o), kind(k) {}
    const Op* op;
    Kind kind;
    Value saved;
    std::string key;
};

template <bool kMove>
class Applier {
public:
    using OpRef = std::conditional_t<kMove, Op&, const Op&>;

    // `undo` has room for a step per operation, so recording one cannot fail.
    explicit Applier(std::vector<UndoStep>* undo) : undo_(undo) {}

    Status one(Value& root, OpRef op) {
        switch (op.kind) {
            case Op::Kind::Set: return set(root, op);
            case Op::Kind::Remove: return remove(root, op);
            case Op::Kind::Insert: return insert(root, op);
            case Op::Kind::RemoveAt: return remove_at(root, op);
            case Op::Kind::Move: return move(root, op);
            case Op::Kind::Reorder: return reorder(root, op);
        }
        return {};
    }

private:
    static Value take(OpRef op) {
        if constexpr (kMove) return std::move(op.value);
        else return op.value;
    }

    void record(const Op& op, UndoStep::Kind kind) {
        if (undo_ != nullptr) undo_->emplace_back(&op, kind);
    }
    void record(const Op& op, UndoStep::Kind kind, Value& saved) {
        undo_->emplace_back(&op, kind).saved = std::move(saved);
    }
    void record(const Op& op, UndoStep::Kind kind, Value&& saved) { record(op, kind, saved); }

    static Result<Value*> parent_of(Value& root, const Op& op) {
        return value_at_mut(root, std::span<const PathSeg>(op.path).first(op.path.size() - 1));
    }

    Status set(Value& root, OpRef op) {
        if (op.path.empty()) {
            NV_CHECK(check_nesting(0, op.value));
            if (undo_ != nullptr) record(op, UndoStep::Kind::RestoreRoot, root);
            root = take(op);
            return {};
        }
        Value* parent = NV_TRY(parent_of(root, op));
        NV_CHECK(check_nesting(op.path.size(), op.value));
        const PathSeg& last = op.path.back();
        if (last.kind == PathSeg::Kind::Index) {
            ValueList* items = NV_TRY(list_at(*parent));
            if (last.index >= items->size()) return fail(number_message(texts::kSetIndex, last.index));
            Value& slot = (*items)[last.index];
            if (undo_ != nullptr) record(op, UndoStep::Kind::RestoreIndex, slot);
            slot = take(op);
            return {};
        }
        if (parent->kind() != Value::Kind::Map) return fail(expected_kind(Value::Kind::Map, *parent));
        if (Value* slot = parent->find(last.key)) {
            if (undo_ != nullptr) record(op, UndoStep::Kind::RestoreKey, *slot);
            *slot = take(op);
        } else {
            parent->insert_or_assign(last.key, take(op));
            record(op, UndoStep::Kind::EraseKey);
        }
        return {};
    }

    // Removes the node that the path names: a map entry (an absent key is already
    // removed) or a list element.
    Status remove(Value& root, const Op& op) {
        if (op.path.empty()) return fail(texts::kRemovePathEmpty);
        Value* parent = NV_TRY(parent_of(root, op));
        const PathSeg& last = op.path.back();
        if (last.kind == PathSeg::Kind::Index) {
            ValueList* items = NV_TRY(list_at(*parent));
            if (last.index >= items->size())
                return fail(index_len_message(texts::kRemoveIndex, last.index, items->size()));
            if (undo_ != nullptr) record(op, UndoStep::Kind::ReinsertIndex, (*items)[last.index]);
            splice_values(*items, last.index, 1, nullptr, 0);
            return {};
        }
        if (parent->kind() != Value::Kind::Map) return fail(expected_kind(Value::Kind::Map, *parent));
        if (undo_ == nullptr) {
            parent->erase(last.key);
            return {};
        }
        // The whole entry, key too, goes into the undo step, so putting it back copies nothing.
        ValueMap& entries = parent->as_map();
        auto at = std::lower_bound(entries.begin(), entries.end(), std::string_view(last.key),
                                   [](const auto& e, std::string_view k) { return e.first < k; });
        if (at == entries.end() || at->first != last.key) return {};
        record(op, UndoStep::Kind::ReinsertKey, at->second);
        undo_->back().key = std::move(at->first);
        entries.erase(at);
        return {};
    }

    Status insert(Value& root, OpRef op) {
        Value* node = NV_TRY(value_at_mut(root, op.path));
        ValueList* items = NV_TRY(list_at(*node));
        if (op.index > items->size()) return fail(index_len_message(texts::kInsertIndex, op.index, items->size()));
        NV_CHECK(check_nesting(op.path.size() + 1, op.value));
        Value v = take(op);
        splice_values(*items, op.index, 0, &v, 1);
        record(op, UndoStep::Kind::EraseIndex);
        return {};
    }

    Status remove_at(Value& root, const Op& op) {
        Value* node = NV_TRY(value_at_mut(root, op.path));
        ValueList* items = NV_TRY(list_at(*node));
        if (op.index >= items->size()) return fail(index_len_message(texts::kRemoveIndex, op.index, items->size()));
        if (undo_ != nullptr) record(op, UndoStep::Kind::ReinsertIndex, (*items)[op.index]);
        splice_values(*items, op.index, 1, nullptr, 0);
        return {};
    }

    Status move(Value& root, const Op& op) {
        Value* node = NV_TRY(value_at_mut(root, op.path));
        ValueList* items = NV_TRY(list_at(*node));
        const std::size_t len = items->size();
        if (op.from >= len) return fail(index_len_message(texts::kMoveSource, op.from, len));
        if (op.to >= len) return fail(index_len_message(texts::kMoveDestination, op.to, len));
        if (op.from != op.to) {
            move_within(*items, op.from, op.to);
            record(op, UndoStep::Kind::MoveBack);
        }
        return {};
    }

    Status reorder(Value& root, const Op& op) {
        Value* node = NV_TRY(value_at_mut(root, op.path));
        ValueList* items = NV_TRY(list_at(*node));
        const std::size_t len = items->size();
        if (op.order.size() != len) {
            std::string msg = number_message(texts::kReorderLength, op.order.size());
            append_u64(msg, len);
            return fail(std::move(msg));
        }
        std::vector<bool> seen(len, false);
        bool identity = true;
        for (std::size_t i = 0; i < len; ++i) {
            const std::uint64_t entry = op.order[i];
            if (entry >= len) return fail(index_len_message(texts::kReorderIndex, entry, len));
            if (seen[entry]) return fail(number_message(texts::kReorderDuplicate, entry));
            seen[entry] = true;
            identity = identity && entry == i;
        }
        if (identity) return {};
        ValueList reordered;
        reordered.reserve(len);
        for (std::uint64_t entry : op.order) reordered.push_back(std::move((*items)[entry]));
        items->swap(reordered);
        // The old storage, its elements moved out, is where undoing puts them back.
        if (undo_ != nullptr) record(op, UndoStep::Kind::Unorder, Value::list(std::move(reordered)));
        return {};
    }

    std::vector<UndoStep>* undo_;
};

// Reverts one applied step. The value is in the state right after the step, so its
// paths resolve as they did when it was applied.
void undo_step(Value& root, UndoStep& step) {
    const Op& op = *step.op;
    auto resolve = [&](std::span<const PathSeg> path) -> Value& {
        Result<Value*> node = value_at_mut(root, path);
        NORVANE_EXPECT(node.has_value(), "undone path resolves");
        return **node;
    };
    auto parent = [&]() -> Value& { return resolve(std::span<const PathSeg>(op.path).first(op.path.size() - 1)); };
    switch (step.kind) {
        case UndoStep::Kind::RestoreRoot: root = std::move(step.saved); return;
        case UndoStep::Kind::RestoreKey: *parent().find(op.path.back().key) = std::move(step.saved); return;
        case UndoStep::Kind::EraseKey: parent().erase(op.path.back().key); return;
        case UndoStep::Kind::RestoreIndex: parent().as_list()[op.path.back().index] = std::move(step.saved); return;
        case UndoStep::Kind::ReinsertKey: parent().insert_or_assign(std::move(step.key), std::move(step.saved)); return;
        case UndoStep::Kind::ReinsertIndex: {
            const bool removed_by_path = op.kind == Op::Kind::Remove;
            ValueList& items = removed_by_path ? parent().as_list() : resolve(op.path).as_list();
            const std::uint64_t at = removed_by_path ? op.path.back().index : op.index;
            splice_values(items, at, 0, &step.saved, 1);
            return;
        }
        case UndoStep::Kind::EraseIndex: {
            ValueList& items = resolve(op.path).as_list();
            splice_values(items, op.index, 1, nullptr, 0);
            return;
        }
        case UndoStep::Kind::MoveBack: move_within(resolve(op.path).as_list(), op.to, op.from); return;
        case UndoStep::Kind::Unorder: {
            ValueList& items = resolve(op.path).as_list();
            ValueList& restored = step.saved.as_list();
            for (std::size_t i = 0; i < items.size(); ++i) restored[op.order[i]] = std::move(items[i]);
            items.swap(restored);
            return;
        }
    }
}

// Each operation either completes or, failing or throwing (a standard container out of
// memory), leaves the value as it found it; undoing the ones before then allocates nothing.
template <bool kMove, class Ops>
Status apply_ops(Value& value, Ops& ops, bool all_or_nothing) {
    std::vector<UndoStep> undo;
    if (all_or_nothing) undo.reserve(std::size(ops));
    Applier<kMove> applier(all_or_nothing ? &undo : nullptr);
    auto undo_all = [&]() noexcept {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) undo_step(value, *it);
    };
    try {
        for (auto& op : ops) {
            Status s = applier.one(value, op);
            if (!s) {
                undo_all();
                return s;
            }
        }
    } catch (...) {
        undo_all();
        throw;
    }
    return {};
}

}  // namespace

Result<Value*> value_at_mut(Value& root, std::span<const PathSeg> path) {
    Value* node = &root;
    for (const PathSeg& seg : path) {
        if (seg.kind == PathSeg::Kind::Index) {
            if (node->kind() != Value::Kind::List) return fail(expected_kind(Value::Kind::List, *node));
            ValueList& items = node->as_list();
            if (seg.index >= items.size()) return fail(number_message(texts::kPathIndex, seg.index));
            node = &items[seg.index];
        } else {
            if (node->kind() != Value::Kind::Map) return fail(expected_kind(Value::Kind::Map, *node));
            Value* child = node->find(seg.key);
            if (child == nullptr) {
                std::string msg = texts::kPathKey[0];
                append_debug_str(msg, seg.key);
                msg += texts::kPathKey[1];
                return fail(std::move(msg));
            }
            node = child;
        }
    }
    return node;
}

Status apply(Value& value, std::span<const Op> ops) { return apply_ops<false>(value, ops, false); }

Status apply(Value& value, std::vector<Op>&& ops) { return apply_ops<true>(value, ops, false); }

Status apply_all_or_nothing(Value& value, std::span<const Op> ops) { return apply_ops<false>(value, ops, true); }

Status apply_all_or_nothing(Value& value, std::vector<Op>&& ops) { return apply_ops<true>(value, ops, true); }

Result<std::string> apply_texts(std::string_view value_json, std::string_view patch_json) {
    Value value = NV_TRY(parse_value(value_json));
    Patch patch = NV_TRY(parse_patch(patch_json));
    NV_CHECK(apply(value, std::move(patch.ops)));
    std::string out;
    out.reserve(value_json.size() + value_json.size() / 8);  // the result is usually about as long
    value_to_json(out, value);
    return out;
}

}  // namespace norvane
