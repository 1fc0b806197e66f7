// Element counts of long lists by a hash equal values share.
#include "crdt/reducer/list_index.hpp"

#include <algorithm>
#include <bit>
#include <string_view>

namespace norvane::crdt {

uint64_t equality_hash(const Value& v) {
    // Maps of a list mostly share their keys: their lengths serve.
    return structure_hash(
        v, [](double d) { return d == 0 ? uint64_t(0) : std::bit_cast<uint64_t>(d); },
        [](std::string_view k) { return uint64_t(k.size()); });
}

namespace {

constexpr int kCountBits = 20;
constexpr uint64_t kCountMask = (uint64_t(1) << kCountBits) - 1;

// The high bits a slot keeps of a hash, never 0; the slot a probe starts at.
uint64_t tag_of(uint64_t h) {
    const uint64_t tag = h & ~kCountMask;
    return tag ? tag : kCountMask + 1;
}
size_t start_of(uint64_t tag, size_t mask) { return size_t(tag >> kCountBits) & mask; }

}  // namespace

void ListIndex::Counts::build(ListRef list) {
    slots.assign(std::bit_ceil(std::max<size_t>(2 * list.size(), 64)), 0);
    filled = 0;
    size = list.size();
    for (size_t i = 0; i < list.size(); ++i) add(equality_hash(list[i]), 1);
}

uint64_t ListIndex::Counts::get(uint64_t h) const {
    const uint64_t tag = tag_of(h);
    const size_t mask = slots.size() - 1;
    for (size_t i = start_of(tag, mask);; i = (i + 1) & mask) {
        const uint64_t s = slots[i];
        if (s == 0) return 0;
        if ((s & ~kCountMask) == tag) return s & kCountMask;
    }
}

void ListIndex::Counts::add(uint64_t h, int64_t delta) {
    const uint64_t tag = tag_of(h);
    const size_t mask = slots.size() - 1;
    for (size_t i = start_of(tag, mask);; i = (i + 1) & mask) {
        uint64_t& s = slots[i];
        if (s != 0 && (s & ~kCountMask) == tag) {
            // A count that reached its top stays there: it only ever says "many".
            const int64_t count = int64_t(s & kCountMask);
            if (uint64_t(count) != kCountMask)
                s = tag | uint64_t(std::clamp<int64_t>(count + delta, 0, int64_t(kCountMask)));
            return;
        }
        if (s == 0) {
            if (delta <= 0) return;  // not counted: nothing to take away
            s = tag | uint64_t(std::min<int64_t>(delta, int64_t(kCountMask)));
            ++filled;
            break;
        }
    }
    if (4 * filled <= 3 * slots.size()) return;
    // Three quarters full: the live counts again, in a table at least twice their number.
    std::vector<uint64_t> old = std::move(slots);
    size_t live = 0;
    for (uint64_t w : old) live += (w & kCountMask) != 0;
    slots.assign(std::bit_ceil(std::max<size_t>(2 * live + 2, 64)), 0);
    filled = live;
    const size_t wide = slots.size() - 1;
    for (uint64_t w : old) {
        if ((w & kCountMask) == 0) continue;
        size_t i = start_of(w & ~kCountMask, wide);
        while (slots[i] != 0) i = (i + 1) & wide;
        slots[i] = w;
    }
}

ListIndex::Counts* ListIndex::find(const Path& path) {
    for (Counts& c : lists_)
        if (c.path == path) return &c;
    return nullptr;
}

std::optional<size_t> ListIndex::count(const Path& path, ListRef list, const Value& v) {
    if (list.size() < kMinLength) return std::nullopt;
    Counts* c = find(path);
    if (!c) {
        // A list is counted the second call that asks about it: one edit
        // alone reads the list once, as counting it would.
        auto seen = std::find_if(seen_.begin(), seen_.end(), [&](const auto& s) { return s.first == path; });
        if (seen == seen_.end()) {
            if (seen_.size() == 2 * kLists) seen_.erase(seen_.begin());
            seen_.emplace_back(path, call_);
            return std::nullopt;
        }
        if (seen->second == call_) return std::nullopt;
        seen_.erase(seen);
        if (lists_.size() == kLists)
            lists_.erase(std::min_element(lists_.begin(), lists_.end(), [](const Counts& a, const Counts& b) {
                return a.last_use < b.last_use;
            }));
        c = &lists_.emplace_back();
        c->path = path;
        c->build(list);
    } else if (c->size != list.size()) {
        c->build(list);  // cannot happen while every change is told; counted again to be safe
    }
    c->last_use = ++clock_;
    return c->get(equality_hash(v));
}

void ListIndex::splice(const Path& path, ListRef list, size_t index, size_t removed, const ValueList& values) {
    Counts* c = find(path);
    if (!c) return;
    if (c->size != list.size() || index + removed > list.size()) {
        drop(path);
        return;
    }
    for (size_t i = index; i < index + removed; ++i) c->add(equality_hash(list[i]), -1);
    for (const Value& v : values) c->add(equality_hash(v), 1);
    c->size = c->size - removed + values.size();
}

std::vector<Path> ListIndex::paths() const {
    std::vector<Path> out;
    out.reserve(lists_.size());
    for (const Counts& c : lists_) out.push_back(c.path);
    return out;
}

void ListIndex::drop(const Path& path) {
    std::erase_if(lists_, [&](const Counts& c) { return c.path == path; });
}

Status ListIndex::check(const Value& root) const {
    for (const Counts& c : lists_) {
        const Value* v = value_at(root, c.path);
        if (!v || v->kind() != Value::Kind::List) return fail("a counted list is not in the kept value");
        Counts fresh;
        fresh.build(v->as_list());
        if (fresh.size != c.size) return fail("a counted list's length differs from the kept value's");
        // Counts kept and counts taken again agree, but for counts at their top.
        auto agree = [](const Counts& a, const Counts& b) {
            for (uint64_t s : a.slots) {
                const uint64_t count = s & kCountMask;
                if (count == 0 || count == kCountMask) continue;
                const uint64_t other = b.get(s);
                if (other != count && other != kCountMask) return false;
            }
            return true;
        };
        if (!agree(fresh, c) || !agree(c, fresh)) return fail("a counted list's counts differ from the kept value's");
    }
    return {};
}

}  // namespace norvane::crdt
