// Element counts of long lists by a hash equal values share.
#include "crdt/reducer/list_index.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>

namespace norvane::crdt {

namespace {

uint64_t mix(uint64_t h, uint64_t x) {
    h ^= x + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
    return h * 0xBF58476D1CE4E5B9ULL;
}

uint64_t text_hash(std::string_view s) { return std::hash<std::string_view>()(s); }

}  // namespace

uint64_t equality_hash(const Value& v) {
    uint64_t h = uint64_t(v.kind()) + 1;
    switch (v.kind()) {
        case Value::Kind::Null: return h;
        case Value::Kind::Bool: return mix(h, v.as_bool());
        case Value::Kind::Int: return mix(h, uint64_t(v.as_int()));
        case Value::Kind::Float: {
            const double d = v.as_float();
            return mix(h, d == 0 ? 0 : std::bit_cast<uint64_t>(d));
        }
        case Value::Kind::Str: return mix(h, text_hash(v.as_str()));
        case Value::Kind::List:
            for (const Value& e : v.as_list()) h = mix(h, equality_hash(e));
            return mix(h, v.as_list().size());
        case Value::Kind::Map:
            // Maps of a list mostly share their keys: their lengths serve.
            for (const auto& [k, e] : v.as_map()) h = mix(mix(h, k.size()), equality_hash(e));
            return mix(h, v.as_map().size());
        case Value::Kind::Submodel: return mix(h, v.as_submodel().id);
    }
    return h;
}

void ListIndex::Counts::build(const ValueList& list) {
    slots.assign(std::bit_ceil(std::max<size_t>(4 * list.size(), 64)), Slot{});
    filled = 0;
    size = list.size();
    for (const Value& v : list) add(equality_hash(v), 1);
}

uint32_t ListIndex::Counts::get(uint64_t h) const {
    const size_t mask = slots.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        const Slot& s = slots[i];
        if (!s.used) return 0;
        if (s.hash == h) return s.count;
    }
}

void ListIndex::Counts::add(uint64_t h, int delta) {
    const size_t mask = slots.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        Slot& s = slots[i];
        if (s.used && s.hash == h) {
            s.count = uint32_t(int64_t(s.count) + delta);
            return;
        }
        if (!s.used) {
            if (delta < 0) return;  // not counted: nothing to take away
            s = Slot{h, uint32_t(delta), true};
            ++filled;
            break;
        }
    }
    if (2 * filled <= slots.size()) return;
    // Half full: the live counts again, in a table twice their number or more.
    std::vector<Slot> old = std::move(slots);
    size_t live = 0;
    for (const Slot& s : old) live += s.used && s.count != 0;
    slots.assign(std::bit_ceil(std::max<size_t>(4 * live, 64)), Slot{});
    filled = 0;
    for (const Slot& s : old)
        if (s.used && s.count != 0) add(s.hash, int(s.count));
}

ListIndex::Counts* ListIndex::find(const Path& path) {
    for (Counts& c : lists_)
        if (c.path == path) return &c;
    return nullptr;
}

std::optional<size_t> ListIndex::count(const Path& path, const ValueList& list, const Value& v) {
    if (list.size() < kMinLength) return std::nullopt;
    Counts* c = find(path);
    if (!c) {
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

void ListIndex::splice(const Path& path, const ValueList& list, size_t index, size_t removed,
                       const ValueList& values) {
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
        const Value* v = &root;
        for (const PathSeg& seg : c.path) v = v && v->kind() == Value::Kind::Map ? v->find(seg.key) : nullptr;
        if (!v || v->kind() != Value::Kind::List) return fail("a counted list is not in the kept value");
        Counts fresh;
        fresh.build(v->as_list());
        if (fresh.size != c.size) return fail("a counted list's length differs from the kept value's");
        for (const auto& s : fresh.slots)
            if (s.used && c.get(s.hash) != s.count) return fail("a counted list's counts differ from the kept value's");
        for (const auto& s : c.slots)
            if (s.used && fresh.get(s.hash) != s.count) return fail("a counted list's counts differ from the kept value's");
    }
    return {};
}

}  // namespace norvane::crdt
