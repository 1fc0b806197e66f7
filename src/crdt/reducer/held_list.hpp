// A long list of the kept value that calls edit one place at a time, held out
// of the value in a buffer with a gap at the last place edited: an edit moves
// the elements between its place and the one before, not every element after
// it. Its place in the kept value holds an empty list meanwhile; whatever reads
// the kept value otherwise puts the list back first.
#pragma once

#include <cstddef>
#include <optional>

#include "diff/patch.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

// The elements of a list in order, read in place: one run of them, or the
// runs before and after a gap.
class ListRef {
public:
    ListRef(const ValueList& items)  // NOLINT: every list reads as itself
        : head_(items.data()), tail_(items.data()), split_(items.size()), size_(items.size()) {}
    // `split` elements from `head` on, then element i >= split at `tail[i]`.
    ListRef(const Value* head, size_t split, const Value* tail, size_t size)
        : head_(head), tail_(tail), split_(split), size_(size) {}

    size_t size() const { return size_; }
    const Value& operator[](size_t i) const { return i < split_ ? head_[i] : tail_[i]; }

private:
    const Value* head_;
    const Value* tail_;
    size_t split_, size_;
};

// A list's elements in one buffer with a gap of empty slots at one place.
class GapList {
public:
    GapList() = default;
    // The list, its gap at its end and empty until an insertion needs room.
    explicit GapList(ValueList items);

    size_t size() const { return items_.size() - gap_; }
    ListRef ref() const { return ListRef(items_.data(), at_, items_.data() + gap_, size()); }
    // Puts the `count` values from `first` on (moved from) in place of the
    // `removed` elements from `at` on. Room is had first: when it cannot be,
    // nothing has changed.
    void splice(size_t at, size_t removed, Value* first, size_t count);
    // The list, its gap closed; this is left empty.
    ValueList take();

private:
    void move_gap(size_t at);
    // Widens the gap to at least `wanted` slots.
    void make_room(size_t wanted);

    ValueList items_;  // the elements, with `gap_` empty slots from `at_` on
    size_t at_ = 0, gap_ = 0;
};

// The list a document holds out of its kept value, and the list the last call
// edited, which the next call that edits it alone by one list edit takes out.
struct ListHold {
    // Shorter lists are edited in the kept value. The fuzz build holds lists
    // of a few elements, so that its short documents take this path too.
#ifdef NORVANE_HOLD_MIN_LENGTH
    static constexpr size_t kMinLength = NORVANE_HOLD_MIN_LENGTH;
#else
    static constexpr size_t kMinLength = 1024;
#endif

    struct Held {
        Path path;  // map keys from the root
        GapList items;
    };
    std::optional<Held> held;
    std::optional<Path> last;

    // Takes the list at `path` in `root` out of it.
    void hold(Value& root, const Path& path);
    // Puts the held list back at its place in `root`, and forgets the last
    // list edited. False when the place is not there (the list is then lost).
    bool restore(Value& root);
    // Forgets both, as when the kept value is dropped.
    void reset() {
        held.reset();
        last.reset();
    }
    // `root` as it reads with the held list in its place: a copy.
    Value read(const Value& root) const;
};

// The value at `path` (map keys) in `root`, if it is there.
const Value* value_at(const Value& root, const Path& path);
inline Value* value_at(Value& root, const Path& path) {
    return const_cast<Value*>(value_at(static_cast<const Value&>(root), path));
}

}  // namespace norvane::crdt
