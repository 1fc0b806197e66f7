// Long lists held out of the kept value while calls edit them.
#include "crdt/reducer/held_list.hpp"

#include <algorithm>
#include <utility>

namespace norvane::crdt {

GapList::GapList(ValueList items) : items_(std::move(items)), at_(items_.size()) {}

// The slots of the gap own nothing (empty, or the bits of a scalar moved
// from), so each move is a `take` into a slot that needs no dropping.
void GapList::move_gap(size_t at) {
    if (gap_ != 0) {
        Value* d = items_.data();
        if (at < at_) {
            for (size_t i = at_; i-- > at;) d[i + gap_].take(d[i]);
        } else {
            for (size_t i = at_; i < at; ++i) d[i].take(d[i + gap_]);
        }
    }
    at_ = at;
}

void GapList::make_room(size_t wanted) {
    // At least a sixteenth of the list at a time: the elements after the gap
    // move along once for that many insertions.
    const size_t n = size();
    const size_t extra = std::max({wanted - gap_, n / 16, std::min<size_t>(64, ListHold::kMinLength)});
    const size_t len = items_.size();
    if (items_.capacity() - len >= extra) {
        items_.resize(len + extra);  // within its room: no new memory
        Value* d = items_.data();
        for (size_t i = len; i-- > at_ + gap_;) d[i + extra].take(d[i]);
    } else {
        ValueList grown;
        grown.reserve(std::max(2 * items_.capacity(), len + extra));
        grown.resize(len + extra);
        Value* d = items_.data();
        for (size_t i = 0; i < at_; ++i) grown[i].take(d[i]);
        for (size_t i = at_ + gap_; i < len; ++i) grown[i + extra].take(d[i]);
        items_ = std::move(grown);
    }
    gap_ += extra;
}

void GapList::splice(size_t at, size_t removed, Value* first, size_t count) {
    if (count > gap_ + removed) make_room(count - removed);
    // Elements replaced one for one stay where they are; only a change of
    // length moves the gap to its place.
    const size_t kept = std::min(removed, count);
    for (size_t i = 0; i < kept; ++i) {
        const size_t slot = at + i < at_ ? at + i : at + i + gap_;
        items_[slot] = std::move(first[i]);
    }
    at += kept;
    removed -= kept;
    first += kept;
    count -= kept;
    if (removed == 0 && count == 0) return;
    move_gap(at);
    Value* d = items_.data();
    for (size_t i = 0; i < removed; ++i) d[at_ + gap_ + i] = Value();
    gap_ += removed;
    for (size_t i = 0; i < count; ++i) d[at_ + i].take(first[i]);
    at_ += count;
    gap_ -= count;
}

ValueList GapList::take() {
    const size_t n = size();
    move_gap(n);
    items_.resize(n);  // drops the gap's slots, which own nothing
    at_ = gap_ = 0;
    return std::move(items_);
}

const Value* value_at(const Value& root, const Path& path) {
    const Value* v = &root;
    for (const PathSeg& seg : path) {
        v = v->kind() == Value::Kind::Map ? v->find(seg.key) : nullptr;
        if (!v) return nullptr;
    }
    return v;
}

void ListHold::hold(Value& root, const Path& path) {
    Held h{path, {}};
    Value* v = value_at(root, path);
    if (!v || v->kind() != Value::Kind::List) return;
    ValueList items;
    items.swap(v->as_list());
    h.items = GapList(std::move(items));
    held = std::move(h);
}

bool ListHold::restore(Value& root) {
    last.reset();
    if (!held) return true;
    Value* v = value_at(root, held->path);
    const bool found = v && v->kind() == Value::Kind::List;
    if (found) v->as_list() = held->items.take();
    held.reset();
    return found;
}

Value ListHold::read(const Value& root) const {
    Value copy = root;
    if (held) {
        if (Value* v = value_at(copy, held->path); v && v->kind() == Value::Kind::List) {
            const ListRef items = held->items.ref();
            ValueList& out = v->as_list();
            out.reserve(items.size());
            for (size_t i = 0; i < items.size(); ++i) out.push_back(items[i]);
        }
    }
    return copy;
}

}  // namespace norvane::crdt
