// The node model: dots, the causal context, shared nodes and the undo log of a call.
#include "crdt/reducer/model.hpp"

#include <algorithm>
#include <utility>

#include "crdt/reducer/errors.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane::crdt {

Replica ReplicaTable::intern_other(std::string_view name) {
    auto it = names_.find(name);
    if (it != names_.end()) return last_ = it->second.get();
    auto entry = std::make_unique<ReplicaName>();
    entry->text = std::string(name);
    append_json_string(entry->json, name);
    Replica r = entry.get();
    names_.emplace(std::string_view(entry->text), std::move(entry));
    return last_ = r;
}

namespace {
thread_local ReplicaTable* current_table = nullptr;
}

InternScope::InternScope(ReplicaTable& table) : previous_(current_table) { current_table = &table; }
InternScope::~InternScope() { current_table = previous_; }
ReplicaTable& InternScope::table() {
    NORVANE_EXPECT(current_table != nullptr, "dots are read inside an intern scope");
    return *current_table;
}

bool dot_covered(const Dot& d, const Frontier& frontier) {
    if (d.is_initial()) return true;
    auto it = frontier.find(d.name());
    uint64_t f = it == frontier.end() ? 0 : it->second;
    return d.counter <= f;
}

NodePtr::NodePtr(NodeState n) : p_(std::make_shared<NodeState>(std::move(n))) {}

NodeState* NodePtr::mut() {
    if (p_ && p_.use_count() > 1) p_ = std::make_shared<NodeState>(std::as_const(*p_));
    return p_.get();
}

const ReplicaName DotRunList::kOutOfLine{};
const DotRuns EntryState::kNone{};

void DotRunList::assign(const DotRunList& o) {
    const size_t n = o.size();
    if (n <= 1) {
        w_ = n ? *o.begin() : DotRun{nullptr, 0, 0};
        return;
    }
    auto* p = static_cast<DotRun*>(::operator new(n * sizeof(DotRun)));
    std::copy(o.begin(), o.end(), p);
    set_heap(p, n, n);
}

void DotRunList::clear() {
    if (heap()) ::operator delete(data());
    w_ = DotRun{nullptr, 0, 0};
}

DotRun* DotRunList::insert(DotRun* at, const DotRun& r) {
    const size_t i = size_t(at - begin()), n = size();
    if (n == 0) {
        w_ = r;
        return &w_;
    }
    if (!heap() || n == room()) {
        const size_t cap = n < 2 ? 4 : 2 * n;
        auto* p = static_cast<DotRun*>(::operator new(cap * sizeof(DotRun)));
        std::copy(begin(), begin() + i, p);
        std::copy(begin() + i, end(), p + i + 1);
        p[i] = r;
        if (heap()) ::operator delete(data());
        set_heap(p, n + 1, cap);
        return p + i;
    }
    DotRun* p = data();
    std::copy_backward(p + i, p + n, p + n + 1);
    p[i] = r;
    set_heap(p, n + 1, room());
    return p + i;
}

void DotRunList::erase(DotRun* at) {
    if (!heap()) {
        w_ = DotRun{nullptr, 0, 0};
        return;
    }
    DotRun* p = data();
    const size_t n = size();
    std::copy(at + 1, p + n, at);
    if (n - 1 == 1) {  // out of line only from two runs on
        const DotRun one = p[0];
        ::operator delete(p);
        w_ = one;
    } else {
        set_heap(p, n - 1, room());
    }
}

size_t DotRuns::size() const {
    size_t n = 0;
    for (const Run& r : runs_) n += r.last - r.first + 1;
    return n;
}

namespace {

// The run of `r` with the greatest first counter at most `c`, or end.
template <class Runs>
auto run_at(Runs& runs, Replica r, uint64_t c) {
    auto it = std::upper_bound(runs.begin(), runs.end(), std::pair(r, c), [](const auto& key, const auto& run) {
        return std::less<Replica>()(key.first, run.replica) || (key.first == run.replica && key.second < run.first);
    });
    if (it == runs.begin()) return runs.end();
    --it;
    return it->replica == r ? it : runs.end();
}

}  // namespace

bool DotRuns::contains(const Dot& d) const {
    auto it = run_at(runs_, d.replica, d.counter);
    return it != runs_.end() && d.counter <= it->last;
}

bool DotRuns::insert(const Dot& d) {
    auto it = run_at(runs_, d.replica, d.counter);
    if (it != runs_.end()) {
        if (d.counter <= it->last) return false;
        auto next = std::next(it);
        if (it->last + 1 == d.counter && (next == runs_.end() || next->replica != d.replica || next->first > d.counter)) {
            ++it->last;
            return true;
        }
    }
    auto at = std::upper_bound(runs_.begin(), runs_.end(), std::pair(d.replica, d.counter),
                               [](const auto& key, const Run& run) {
                                   return std::less<Replica>()(key.first, run.replica) ||
                                          (key.first == run.replica && key.second < run.first);
                               });
    runs_.insert(at, Run{d.replica, d.counter, d.counter});
    return true;
}

void DotRuns::erase_added(const Dot& d) {
    auto it = run_at(runs_, d.replica, d.counter);
    if (it == runs_.end() || d.counter > it->last) return;
    if (it->first == it->last) {
        runs_.erase(it);
    } else if (d.counter == it->last) {
        --it->last;
    } else {
        // Not the newest dot of its run; only a run started by it ends here.
        NORVANE_EXPECT(false, "a dot taken back ends its run");
    }
}

bool DotRuns::for_each(const std::function<bool(const Dot&)>& f) const {
    if (runs_.size() == 1) {
        for (uint64_t c = runs_[0].first;; ++c) {
            if (!f(Dot{c, runs_[0].replica})) return false;
            if (c == runs_[0].last) return true;
        }
    }
    // A merge of the runs by counter, then by replica name.
    std::vector<Dot> all = sorted();
    for (const Dot& d : all)
        if (!f(d)) return false;
    return true;
}

std::vector<Dot> DotRuns::sorted() const {
    std::vector<Dot> all;
    all.reserve(size());
    for (const Run& r : runs_)
        for (uint64_t c = r.first;; ++c) {
            all.push_back(Dot{c, r.replica});
            if (c == r.last) break;
        }
    std::sort(all.begin(), all.end());
    return all;
}

void UndoLog::map_entry_added(MapNode* m, std::string key) {
    push([m, key = std::move(key)] { m->entries.erase(key); });
}

void UndoLog::set_entry_added(SetNode* s, std::string key) {
    push([s, key = std::move(key)] { s->entries.erase(key); });
}

void UndoLog::dot_added(DotRuns* s, Dot d) {
    push([s, d] { s->erase_added(d); });
}

void UndoLog::register_saved(RegisterNode* r) {
    push([r, value = std::move(r->value), dot = r->dot]() mutable {
        r->value = std::move(value);
        r->dot = std::move(dot);
    });
}

void UndoLog::rollback() {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) it->record()->undo();
    clear();
}

void UndoLog::clear() {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it)
        if (it->owns()) it->record()->~Record();
    undo_.clear();
    blocks_.clear();
    next_ = inline_;
    left_ = kInline;
}

void* UndoLog::room(size_t size, size_t align) {
    auto fit = [&]() -> void* {
        void* at = next_;
        if (!std::align(align, size, at, left_)) return nullptr;
        next_ = static_cast<std::byte*>(at) + size;
        left_ -= size;
        return at;
    };
    if (void* at = fit()) return at;
    const size_t last = blocks_.empty() ? kInline : blocks_.back().size;
    const size_t want = std::max(2 * last, size + align);
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(std::max<size_t>(8, 2 * blocks_.capacity()));
    blocks_.push_back(Block{std::make_unique_for_overwrite<std::byte[]>(want), want});
    next_ = blocks_.back().bytes.get();
    left_ = want;
    return fit();
}

NodeState NodeState::empty(StateKind k) {
    switch (k) {
        case StateKind::Register: return NodeState{RegisterNode{}};
        case StateKind::Map: return NodeState{MapNode{}};
        case StateKind::Set: return NodeState{SetNode{}};
        case StateKind::Sequence: return NodeState{SequenceBox{}};
    }
    return NodeState{RegisterNode{}};
}

Status validate_replica(std::string_view replica) {
    if (replica.empty() || replica == kInitReplica)
        return fail(errors::kInvalidReplica);
    return {};
}

void append_debug(std::string& out, const Dot& d) {
    out += "Dot { counter: ";
    append_u64(out, d.counter);
    out += ", replica: ";
    append_debug_str(out, d.name());
    out += " }";
}

void append_debug(std::string& out, const ElementId& id) {
    out += "ElementId { dot: ";
    append_debug(out, id.dot);
    out += ", index: ";
    append_u64(out, id.index);
    out += " }";
}

std::string debug_text(const Dot& d) {
    std::string s;
    append_debug(s, d);
    return s;
}

std::string debug_text(const ElementId& id) {
    std::string s;
    append_debug(s, id);
    return s;
}

}  // namespace norvane::crdt
