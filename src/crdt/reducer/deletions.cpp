// The deletions of a sequence's elements, as runs.
#include "crdt/reducer/deletions.hpp"

namespace norvane::crdt {

namespace {

// The dot `k` places along from `d` by `step`.
Dot moved(const Dot& d, int64_t k, int step) { return Dot{d.counter + uint64_t(k * step), d.replica}; }

// The step from `a` to `b` when they are one replica's and one counter apart
// at most: what makes a run of two elements deleted by `a` then `b`.
std::optional<int8_t> step_between(const Dot& a, const Dot& b) {
    if (a.replica != b.replica) return std::nullopt;
    if (b.counter == a.counter) return int8_t(0);
    if (a.counter != UINT64_MAX && b.counter == a.counter + 1) return int8_t(1);
    if (a.counter != 0 && b.counter == a.counter - 1) return int8_t(-1);
    return std::nullopt;
}

// The dot of element `len` of a run (the one that would continue it).
std::optional<Dot> next_dot(const Dot& d, uint32_t len, int step) {
    if (step > 0 && d.counter > UINT64_MAX - len) return std::nullopt;
    if (step < 0 && d.counter < len) return std::nullopt;
    return moved(d, len, step);
}

// Whether `dot` continues `run` at its end, and the step the run then has.
template <class Run>
std::optional<int8_t> continues(const Run& run, const Dot& dot) {
    if (run.len == 1) return step_between(run.dot, dot);
    auto next = next_dot(run.dot, run.len, run.step);
    return next && *next == dot ? std::optional<int8_t>(run.step) : std::nullopt;
}

// Moves the run at `it` to `key`, holding `run`: a map node changes its key
// without allocating. No key lies between the old and the new one, so the
// node goes back in where it was.
template <class Map>
void rekey(Map& m, typename Map::iterator it, const typename Map::key_type& key, const typename Map::mapped_type& run) {
    const auto next = std::next(it);
    auto node = m.extract(it);
    node.key() = key;
    node.mapped() = run;
    m.insert(next, std::move(node));
}

}  // namespace

Deletions::Around Deletions::around(PerReplica& p, const ElementId& id) {
    const uint64_t c = id.dot.counter;
    return Around{p.by_index.upper_bound({c, id.index}),
                  id.index == 0 ? p.by_counter.upper_bound(c) : p.by_counter.end()};
}

Deletions::Found Deletions::found_at(PerReplica& p, const ElementId& id, const Around& a) {
    const uint64_t c = id.dot.counter;
    if (a.index != p.by_index.begin()) {
        const auto it = std::prev(a.index);
        if (it->first.first == c && id.index - it->first.second < it->second.len)
            return Found{&p, false, c, it->first.second, &it->second, id.index - it->first.second};
    }
    if (id.index == 0 && a.counter != p.by_counter.begin()) {
        const auto jt = std::prev(a.counter);
        if (c - jt->first < jt->second.len) return Found{&p, true, jt->first, 0, &jt->second, uint32_t(c - jt->first)};
    }
    return {};
}

Deletions::Found Deletions::find(const ElementId& id) const {
    if (id.dot.counter > top_) return {};
    auto rit = runs_.find(id.dot.replica);
    if (rit == runs_.end()) return {};
    auto& p = const_cast<PerReplica&>(rit->second);
    if (id.dot.counter > p.top) return {};
    return found_at(p, id, around(p, id));
}

Dot Deletions::dot_of(const Found& f) { return moved(f.run->dot, f.k, f.run->step); }

bool Deletions::contains(const ElementId& id) const {
    return id.dot.counter <= top_ && (find(id).run || many_.contains(id));
}

DeleteDots Deletions::dots(const ElementId& id) const {
    DeleteDots out;
    if (Found f = find(id); f.run) {
        out.insert(dot_of(f));
    } else if (auto m = many_.find(id); m != many_.end()) {
        out = m->second;
    }
    return out;
}

void Deletions::cut(const Found& f) {
    Run& run = *f.run;
    PerReplica& p = *f.per;
    const uint32_t k = f.k, len = run.len;
    if (len == 1) {
        if (f.by_counter) p.by_counter.erase(f.counter);
        else p.by_index.erase({f.counter, f.index});
        return;
    }
    if (k + 1 < len && k > 0) {
        // The elements after it make a run of their own (made first: it may throw).
        Run rest{len - k - 1, run.step, moved(run.dot, k + 1, run.step)};
        if (f.by_counter) p.by_counter.emplace(f.counter + k + 1, rest);
        else p.by_index.emplace(std::pair{f.counter, f.index + k + 1}, rest);
        run.len = k;
        return;
    }
    if (k + 1 == len) {
        run.len = k;
        return;
    }
    // The first element: the run starts one further on, under a new key.
    const Run rest{len - 1, run.step, moved(run.dot, 1, run.step)};
    if (f.by_counter) rekey(p.by_counter, p.by_counter.find(f.counter), f.counter + 1, rest);
    else rekey(p.by_index, p.by_index.find({f.counter, f.index}), {f.counter, f.index + 1}, rest);
}

void Deletions::place(PerReplica& p, const ElementId& id, const Dot& dot, const Around& a) {
    const uint64_t c = id.dot.counter;
    const uint32_t i = id.index;
    const Replica r = id.dot.replica;
    // Whether `dot` comes right before `run`, and the step it then has.
    auto precedes = [&](const Run& run) -> std::optional<int8_t> {
        if (run.len == 1) return step_between(dot, run.dot);
        auto before = step_between(dot, run.dot);
        return before && *before == run.step ? before : std::nullopt;
    };
    // No run holds the element: the runs by index before and after it are the
    // neighbours of `a.index`, and by counter those of `a.counter`.
    const auto index_before = a.index == p.by_index.begin() ? p.by_index.end() : std::prev(a.index);
    // After the element before it, counting by index.
    if (i > 0 && index_before != p.by_index.end()) {
        Run& run = index_before->second;
        if (index_before->first.first == c && index_before->first.second + run.len == i)
            if (auto s = continues(run, dot)) {
                run.step = *s;
                ++run.len;
                set_last(r, false, index_before->first, run.len);
                return;
            }
    }
    // Before the element after it, counting by index.
    if (i < UINT32_MAX && a.index != p.by_index.end() && a.index->first == std::pair{c, i + 1})
        if (auto s = precedes(a.index->second)) {
            const uint32_t len = a.index->second.len + 1;
            rekey(p.by_index, a.index, {c, i}, Run{len, *s, dot});
            set_last(r, false, {c, i}, len);
            return;
        }
    if (i == 0) {
        // A single element by index at (`counter`, 0) next to it: the
        // neighbour of `a.index` on that side, or (past runs of that
        // counter's other indices) one to look up.
        auto single = [&](uint64_t counter, ByIndex::iterator near) {
            if (near == p.by_index.end() || near->first.first != counter) return p.by_index.end();
            auto one = near->first.second == 0 ? near : p.by_index.find({counter, 0});
            return one != p.by_index.end() && one->second.len == 1 ? one : p.by_index.end();
        };
        // After the element before it, counting by counter: a run of them, or
        // one element alone (which moves to the runs by counter).
        if (c > 0) {
            if (a.counter != p.by_counter.begin()) {
                const auto jt = std::prev(a.counter);
                Run& run = jt->second;
                if (jt->first + run.len == c)
                    if (auto s = continues(run, dot)) {
                        run.step = *s;
                        ++run.len;
                        set_last(r, true, {jt->first, 0}, run.len);
                        return;
                    }
            }
            auto one = single(c - 1, index_before);
            if (one != p.by_index.end())
                if (auto s = continues(one->second, dot)) {
                    p.by_counter.emplace_hint(a.counter, c - 1, Run{2, *s, one->second.dot});
                    p.by_index.erase(one);
                    set_last(r, true, {c - 1, 0}, 2);
                    return;
                }
        }
        // Before the element after it, counting by counter.
        if (c < UINT64_MAX) {
            if (a.counter != p.by_counter.end() && a.counter->first == c + 1)
                if (auto s = precedes(a.counter->second)) {
                    const uint32_t len = a.counter->second.len + 1;
                    rekey(p.by_counter, a.counter, c, Run{len, *s, dot});
                    set_last(r, true, {c, 0}, len);
                    return;
                }
            auto one = single(c + 1, a.index != p.by_index.end() && a.index->first.first == c
                                         ? p.by_index.lower_bound({c + 1, 0})
                                         : a.index);
            if (one != p.by_index.end())
                if (auto s = precedes(one->second)) {
                    p.by_counter.emplace_hint(a.counter, c, Run{2, *s, dot});
                    p.by_index.erase(one);
                    set_last(r, true, {c, 0}, 2);
                    return;
                }
        }
    }
    // A run of its own.
    p.by_index.emplace_hint(a.index, std::pair{c, i}, Run{1, 0, dot});
    set_last(r, false, {c, i}, 1);
}

Deletions::Added Deletions::add(const ElementId& id, const Dot& dot) {
    return extend_last_many({&id, 1}, dot) == 1 ? Added::First : add_not_last(id, dot);
}

Deletions::Added Deletions::add_not_last(const ElementId& id, const Dot& dot) {
    if (auto m = many_.find(id); m != many_.end()) return m->second.insert(dot) ? Added::More : Added::Already;
    PerReplica& p = runs_[id.dot.replica];
    const Around a = around(p, id);
    if (Found f = found_at(p, id, a); f.run) {
        const Dot was = dot_of(f);
        if (was == dot) return Added::Already;
        // The element leaves its run for the elements deleted more than once.
        DeleteDots both;
        both.insert(was);
        both.insert(dot);
        auto m = many_.emplace(id, std::move(both)).first;
        try {
            cut(f);
        } catch (...) {
            many_.erase(m);
            throw;
        }
        return Added::More;
    }
    p.top = std::max(p.top, id.dot.counter);
    top_ = std::max(top_, id.dot.counter);
    place(p, id, dot, a);
    ++elements_;
    return Added::First;
}

bool Deletions::grow(PerReplica& p, Run& run, uint64_t counter, const Dot& dot) {
    auto s = continues(run, dot);
    if (!s) return false;
    run.step = *s;
    ++run.len;
    p.top = std::max(p.top, counter);
    top_ = std::max(top_, counter);
    ++elements_;
    return true;
}

size_t Deletions::extend_last_many(std::span<const ElementId> ids, const Dot& dot) {
    // An id goes right after the run by counter when no run of its own starts
    // at it (by counter or by index) nor, by index, right after it; right
    // after the run by index when no run of its own starts at it. The runs
    // beside the last one and the elements deleted more than once stay as
    // they are while the ids go in, so each is looked up once.
    if (ids.empty() || !(ids[0] == last_.next)) return 0;
    auto rit = runs_.find(last_.replica);
    if (rit == runs_.end()) return 0;
    PerReplica& p = rit->second;
    auto deleted_more = [&](const ElementId& id) { return !many_.empty() && many_.contains(id); };
    size_t n = 0;
    if (last_.by_counter) {
        auto it = p.by_counter.find(last_.key.first);
        if (it == p.by_counter.end()) return 0;
        Run& run = it->second;
        const uint64_t key = it->first;
        const auto next = std::next(it);
        auto x = p.by_index.end();
        for (; n < ids.size(); ++n) {
            const ElementId& id = ids[n];
            const uint64_t c = id.dot.counter;
            if (id.dot.replica != last_.replica || id.index != 0 || c <= key || c - key != run.len) break;
            if (next != p.by_counter.end() && next->first == c) break;
            if (n == 0) x = p.by_index.lower_bound({c, 0});
            while (x != p.by_index.end() && x->first.first < c) ++x;
            if (x != p.by_index.end() && x->first.first == c && x->first.second <= 1) break;
            if (deleted_more(id) || !grow(p, run, c, dot)) break;
        }
        if (n > 0) set_last(last_.replica, true, {key, 0}, run.len);
    } else {
        auto it = p.by_index.find(last_.key);
        if (it == p.by_index.end()) return 0;
        Run& run = it->second;
        const auto key = it->first;
        const auto next = std::next(it);
        for (; n < ids.size(); ++n) {
            const ElementId& id = ids[n];
            const uint64_t c = id.dot.counter;
            const uint32_t i = id.index;
            if (id.dot.replica != last_.replica || c != key.first || i <= key.second ||
                uint64_t(i) != uint64_t(key.second) + run.len)
                break;
            if (next != p.by_index.end() && next->first == std::pair{c, i}) break;
            if (deleted_more(id) || !grow(p, run, c, dot)) break;
        }
        if (n > 0) set_last(last_.replica, false, key, run.len);
    }
    return n;
}

void Deletions::take_back(const ElementId& id, const Dot& dot, bool first) {
    if (auto m = many_.find(id); m != many_.end()) {
        if (!m->second.contains(dot)) return;
        m->second.erase(dot);
        if (m->second.empty() && first) {
            many_.erase(m);
            --elements_;
        }
        return;
    }
    Found f = find(id);
    if (!f.run || !(dot_of(f) == dot)) return;
    // An addition only ever puts an element at an end of a run, and the
    // newest is taken back first: the element is at an end, and no run splits.
    NORVANE_EXPECT(f.k == 0 || f.k + 1 == f.run->len, "a deletion taken back stands at an end of its run");
    cut(f);
    --elements_;
}

void Deletions::add_undotted(const ElementId& id) {
    if (contains(id)) return;
    many_.emplace(id, DeleteDots());
    top_ = std::max(top_, id.dot.counter);
    ++elements_;
}

void Deletions::for_each(const std::function<void(const ElementId&, const DeleteDots&)>& f) const {
    // Every run, and every element deleted more than once, as a stream of
    // ascending ids; the streams merged. Runs seldom interleave: a stream is
    // read on for as long as it stays below every other.
    struct Stream {
        ElementId at;  // its next id
        uint32_t left;
        bool by_counter;
        int8_t step;
        Dot dot;                 // the dot of `at`
        const DeleteDots* many;  // an element deleted more than once
    };
    std::vector<Stream> streams;
    for (const auto& [replica, p] : runs_) {
        for (const auto& [c, run] : p.by_counter)
            streams.push_back({ElementId{Dot{c, replica}, 0}, run.len, true, run.step, run.dot, nullptr});
        for (const auto& [key, run] : p.by_index)
            streams.push_back({ElementId{Dot{key.first, replica}, key.second}, run.len, false, run.step, run.dot, nullptr});
    }
    for (const auto& [id, dots] : many_) streams.push_back({id, 1, false, 0, Dot{}, &dots});
    std::sort(streams.begin(), streams.end(), [](const Stream& a, const Stream& b) { return a.at < b.at; });
    auto later = [](const Stream* a, const Stream* b) { return b->at < a->at; };
    std::vector<Stream*> heap;  // the streams begun, the lowest next id on top
    DeleteDots one;
    size_t next = 0;
    while (next < streams.size() || !heap.empty()) {
        if (heap.empty() || (next < streams.size() && streams[next].at < heap.front()->at)) {
            heap.push_back(&streams[next++]);
            std::push_heap(heap.begin(), heap.end(), later);
            continue;
        }
        std::pop_heap(heap.begin(), heap.end(), later);
        Stream* t = heap.back();
        heap.pop_back();
        for (;;) {
            if (t->many) {
                f(t->at, *t->many);
            } else {
                one = DeleteDots();
                one.insert(t->dot);
                f(t->at, one);
            }
            if (--t->left == 0) break;
            if (t->by_counter) t->at.dot.counter += 1;
            else t->at.index += 1;
            t->dot = moved(t->dot, 1, t->step);
            if ((!heap.empty() && heap.front()->at < t->at) || (next < streams.size() && streams[next].at < t->at)) {
                heap.push_back(t);
                std::push_heap(heap.begin(), heap.end(), later);
                break;
            }
        }
    }
}

Status Deletions::check() const {
    size_t counted = many_.size();
    for (const auto& [id, dots] : many_)
        if (find(id).run) return fail("an element deleted more than once is also in a run");
    auto dots_fit = [](const Run& run) {
        if (run.len == 0 || run.step < -1 || run.step > 1) return false;
        return run.len == 1 || next_dot(run.dot, run.len - 1, run.step).has_value();
    };
    for (const auto& per : runs_) {
        const PerReplica& p = per.second;
        uint64_t end = 0;
        bool any = false;
        for (const auto& [c, run] : p.by_counter) {
            if (!dots_fit(run) || (any && c < end) || c > UINT64_MAX - run.len)
                return fail("deletion runs by counter overlap or hold wrong dots");
            any = true;
            end = c + run.len;
            counted += run.len;
        }
        std::pair<uint64_t, uint64_t> last{0, 0};
        any = false;
        for (const auto& [key, run] : p.by_index) {
            if (!dots_fit(run) || (any && key.first == last.first && key.second < last.second) ||
                uint64_t(key.second) + run.len > uint64_t(UINT32_MAX) + 1)
                return fail("deletion runs by index overlap or hold wrong dots");
            if (key.second == 0) {
                auto jt = p.by_counter.upper_bound(key.first);
                if (jt != p.by_counter.begin() && key.first - std::prev(jt)->first < std::prev(jt)->second.len)
                    return fail("an element stands in two deletion runs");
            }
            any = true;
            last = {key.first, uint64_t(key.second) + run.len};
            counted += run.len;
        }
    }
    if (counted != elements_) return fail("the count of deleted elements is wrong");
    return {};
}

}  // namespace norvane::crdt
