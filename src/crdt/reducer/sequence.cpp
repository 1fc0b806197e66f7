// The sequence node: elements in document order in leaves of items, with the
// counts that find positions and the index that finds ids.
#include "crdt/reducer/sequence.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <queue>
#include <span>
#include <variant>

#include "crdt/reducer/errors.hpp"
#include "crdt/reducer/model.hpp"
#include "crdt/reducer/reducer.hpp"
#include "util/scratch.hpp"
#include "util/text.hpp"
#include "value/json.hpp"

namespace norvane::crdt {

namespace {

constexpr uint8_t kOther = 0xFF;   // a shown element that is not one character
constexpr size_t kLeafMax = 16;    // items per leaf before it splits
constexpr uint32_t kItemMax = 4096;  // elements per item before another starts

// What a node shows in a sequence under an empty filter: 0 nothing, the bytes
// of its character, or kOther.
uint8_t node_width(const NodeState* n) {
    if (!n) return 0;
    if (const RegisterNode* r = n->reg()) {
        if (!r->dot) return 0;
        if (r->value && r->value->kind() == Value::Kind::Str && is_one_scalar(r->value->as_str()))
            return uint8_t(r->value->as_str().size());
        return kOther;
    }
    return kOther;
}

// How a value written into a new register element at its own dot is kept.
SequenceNode::Held held_for(const Value& v) {
    return v.kind() == Value::Kind::Str && is_one_scalar(v.as_str()) ? SequenceNode::Held::Char
                                                                      : SequenceNode::Held::Value;
}

// The id k places after `first` among ids that count up by counter (index 0)
// or by index.
ElementId id_after(const ElementId& first, uint64_t k, bool by_counter) {
    return by_counter ? ElementId{Dot{first.dot.counter + k, first.dot.replica}, 0}
                      : ElementId{first.dot, uint32_t(first.index + k)};
}
ElementId next_by_counter(const ElementId& id) { return id_after(id, 1, true); }
ElementId next_by_index(const ElementId& id) { return id_after(id, 1, false); }

}  // namespace

NodeState own_register(Value v, const Dot& dot) {
    NodeState n = NodeState::empty(StateKind::Register);
    n.reg()->value = std::move(v);
    n.reg()->dot = dot;
    return n;
}

const Value* own_register_value(const NodeState& n, const Dot& dot) {
    const RegisterNode* r = n.reg();
    return r && r->value && r->dot && *r->dot == dot ? &*r->value : nullptr;
}

// ---- items and leaves ------------------------------------------------------------------

struct SequenceNode::Item {
    ElementId first;
    uint32_t len = 1;
    uint32_t depth = 1;         // of element 0; the head's successors have 1
    bool counter_step = false;  // ids advance by counter (index 0), else by index
    bool single = false;        // every element was its insertion's only value
    bool deleted = false;       // every element has deletions
    uint8_t width = 0;          // Node: node_width of the node

private:
    bool has_origin_ = false;
    ElementId origin_;  // the predecessor of element 0, when has_origin_
    // By how the elements are held: the characters (UTF-8), one value per
    // element, or the node of the item's one element.
    std::variant<std::string, std::vector<Value>, NodePtr> data_{std::in_place_index<2>};
    static_assert(int(Held::Char) == 0 && int(Held::Value) == 1 && int(Held::Node) == 2);

public:
    std::optional<ElementId> origin() const { return has_origin_ ? std::optional(origin_) : std::nullopt; }
    void set_origin(const std::optional<ElementId>& o) {
        has_origin_ = o.has_value();
        origin_ = o ? *o : ElementId{};
    }
    Held held() const { return Held(data_.index()); }
    std::string& chars() { return std::get<0>(data_); }
    const std::string& chars() const { return std::get<0>(data_); }
    std::vector<Value>& values() { return std::get<1>(data_); }
    const std::vector<Value>& values() const { return std::get<1>(data_); }
    NodePtr& node() { return std::get<2>(data_); }
    const NodePtr& node() const { return std::get<2>(data_); }
    // Holds its elements as `h` says, holding nothing yet.
    void hold(Held h) {
        if (h == Held::Char) data_.emplace<0>();
        else if (h == Held::Value) data_.emplace<1>();
        else data_.emplace<2>();
    }
    // Holds one value as a plain element does (a character or another value).
    // Running out of memory leaves what it held.
    void hold_plain(const Value& v) {
        if (held_for(v) == Held::Char) {
            std::string c(v.as_str());
            data_.emplace<0>(std::move(c));
        } else {
            std::vector<Value> one(1, v);
            data_.emplace<1>(std::move(one));
        }
    }
    void hold_node(NodePtr n) { data_.emplace<2>(std::move(n)); }

    ElementId id(uint32_t k) const {
        if (k == 0) return first;
        return id_after(first, k, counter_step);
    }
    ElementId last() const { return id(len - 1); }
    // The offset of `x` in this item, or len when it is not one of its elements.
    uint32_t offset_of(const ElementId& x) const {
        if (x.dot.replica != first.dot.replica) return len;
        if (counter_step) {
            if (x.index != 0 || x.dot.counter < first.dot.counter || x.dot.counter - first.dot.counter >= len)
                return len;
            return uint32_t(x.dot.counter - first.dot.counter);
        }
        if (x.dot.counter != first.dot.counter || x.index < first.index || x.index - first.index >= len) return len;
        return x.index - first.index;
    }
    // Byte offset of element k in its characters.
    size_t byte_at(uint32_t k) const {
        const std::string& c = chars();
        if (c.size() == len) return k;
        size_t b = 0;
        for (uint32_t i = 0; i < k; ++i) b += utf8_len((unsigned char)c[b]);
        return b;
    }
    uint64_t shown() const {
        if (deleted) return 0;
        if (held() == Held::Node) return width ? 1 : 0;
        return len;
    }
    uint64_t bytes() const {
        if (deleted) return 0;
        if (held() == Held::Char) return chars().size();
        if (held() == Held::Node && width && width != kOther) return width;
        return 0;
    }
    uint64_t other() const {
        if (deleted) return 0;
        if (held() == Held::Value) return len;
        if (held() == Held::Node && width == kOther) return 1;
        return 0;
    }
    // Splits off elements [k, len) into a new item.
    Item split(uint32_t k) {
        Item rest;
        rest.first = id(k);
        rest.set_origin(id(k - 1));
        rest.len = len - k;
        rest.depth = depth + k;
        rest.counter_step = counter_step;
        rest.single = single;
        rest.deleted = deleted;
        if (held() == Held::Char) {
            size_t b = byte_at(k);
            rest.data_.emplace<0>(chars(), b);
            chars().resize(b);
        } else if (held() == Held::Value) {
            rest.data_.emplace<1>(std::make_move_iterator(values().begin() + k), std::make_move_iterator(values().end()));
            values().resize(k);
        }
        len = k;
        return rest;
    }
    Element element(uint32_t k, size_t byte) const {
        Element e;
        e.id = id(k);
        e.deleted = false;  // set by the caller
        e.held = held();
        if (e.held == Held::Char) {
            const std::string& c = chars();
            e.chars = std::string_view(c).substr(byte, utf8_len((unsigned char)c[byte]));
        } else if (e.held == Held::Value) {
            e.value = &values()[k];
        } else {
            e.node = node().get();
        }
        return e;
    }
};

// A text kept beside a sequence's items by the reads that take a whole
// text. Reads may run side by side: the one that takes the state from kNone
// or kKept to kKeeping makes or renews the text, the others read the items
// as they would without it; changes, which run alone, drop it.
class TextKeeper {
public:
    void drop() {
        if (state_.load(std::memory_order_relaxed) == kNone) return;
        state_.store(kNone, std::memory_order_relaxed);
        text_.reset();
    }

protected:
    static constexpr uint8_t kNone = 0, kKeeping = 1, kKept = 2;
    // What a read keeping the text does when it cannot keep it after all.
    void keep_none() const {
        text_.reset();
        state_.store(kNone, std::memory_order_release);
    }
    mutable std::atomic<uint8_t> state_{kNone};
    mutable std::unique_ptr<std::string> text_;
};

// The characters the only leaf of a sequence shows, dropped by any change to
// them.
class KeptText : public TextKeeper {
public:
    KeptText() = default;
    KeptText(const KeptText& o) : TextKeeper() {
        if (const std::string* t = o.get()) {
            text_ = std::make_unique<std::string>(*t);
            state_.store(kKept, std::memory_order_relaxed);
        }
    }
    KeptText& operator=(const KeptText&) = delete;

    const std::string* get() const {
        return state_.load(std::memory_order_acquire) == kKept ? text_.get() : nullptr;
    }
    // Keeps `text`, unless it is kept or another read is keeping it; keeps
    // nothing when it runs out of memory.
    void keep(std::string_view text) const {
        uint8_t none = kNone;
        if (!state_.compare_exchange_strong(none, kKeeping, std::memory_order_acquire)) return;
        try {
            text_ = std::make_unique<std::string>(text);
        } catch (const std::bad_alloc&) {
            keep_none();
            return;
        }
        state_.store(kKept, std::memory_order_release);
    }
};

// The characters of a bottom branch's leaves: one text and the length of each
// leaf's stretch of it. A change to a leaf marks its stretch stale instead of
// dropping the text, so the next read copies the other stretches and reads the
// items of the stale leaves only.
class BranchText : public TextKeeper {
public:
    static constexpr uint32_t kSlots = 32;

    // ---- between reads: the branch's children change (or drop())

    bool kept() const { return state_.load(std::memory_order_relaxed) == kKept; }
    // The leaf in slot i changed (the text is kept).
    void mark(uint32_t i) { stale_.store(stale_.load(std::memory_order_relaxed) | (1u << i), std::memory_order_relaxed); }
    // A leaf is put in slot `at` of the branch's n children: its stretch is
    // empty and stale.
    void open(uint32_t at, uint32_t n) {
        if (state_.load(std::memory_order_relaxed) != kKept) return;
        for (uint32_t i = n; i > at; --i) len_[i] = len_[i - 1];
        len_[at] = 0;
        const uint32_t low = (1u << at) - 1, st = stale_.load(std::memory_order_relaxed);
        stale_.store((st & low) | ((st & ~low) << 1) | (1u << at), std::memory_order_relaxed);
    }
    // The children from slot n on leave the branch.
    void keep_first(uint32_t n) {
        if (state_.load(std::memory_order_relaxed) != kKept) return;
        size_t b = 0;
        for (uint32_t i = 0; i < n; ++i) b += len_[i];
        text_->resize(b);
        stale_.store(stale_.load(std::memory_order_relaxed) & ((1u << n) - 1), std::memory_order_relaxed);
    }

    // ---- reads

    // Appends the characters of the branch's n leaves to `out`, renewing or
    // keeping the text when no other read does. `leaf(i, out)` appends leaf
    // i's characters and returns kOwn, kBorrowed when some of them show a
    // node's register, which changes without its leaf (the text is not kept
    // then), or kNotText when it holds elements that are not characters: then
    // what was appended goes and false is returned.
    enum Chars { kNotText, kOwn, kBorrowed };
    template <class F>
    bool append(std::string& out, uint32_t n, F&& leaf) const {
        if (state_.load(std::memory_order_acquire) == kKept && stale_.load(std::memory_order_acquire) == 0) {
            out += *text_;
            return true;
        }
        uint8_t expect = kKept;
        const bool renew = state_.compare_exchange_strong(expect, kKeeping, std::memory_order_acquire);
        expect = kNone;
        const bool keep = renew || state_.compare_exchange_strong(expect, kKeeping, std::memory_order_acquire);
        const uint32_t stale = renew ? stale_.load(std::memory_order_relaxed) : ~0u;
        const size_t from = out.size();
        uint64_t lens[kSlots];
        bool own = true;
        size_t off = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const size_t at = out.size();
            if (!(stale >> i & 1)) {
                out.append(*text_, off, len_[i]);
            } else if (Chars c = leaf(i, out); c == kNotText) {
                out.resize(from);
                if (keep) state_.store(renew ? kKept : kNone, std::memory_order_release);
                return false;
            } else if (c == kBorrowed) {
                own = false;
            }
            if (renew) off += len_[i];
            lens[i] = out.size() - at;
        }
        if (!keep) return true;
        if (!own) {
            keep_none();
            return true;
        }
        try {
            if (!text_) text_ = std::make_unique<std::string>();
            text_->assign(out, from);
        } catch (const std::bad_alloc&) {
            keep_none();
            return true;
        }
        std::copy(lens, lens + n, len_);
        stale_.store(0, std::memory_order_release);
        state_.store(kKept, std::memory_order_release);
        return true;
    }

    // What is wrong with the kept text of n leaves, whose characters
    // `chars(i)` gives, or nothing.
    template <class F>
    std::string check(uint32_t n, F&& chars) const {
        if (state_.load(std::memory_order_acquire) != kKept) return {};
        const uint32_t stale = stale_.load(std::memory_order_relaxed);
        size_t off = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (!(stale >> i & 1) && (off + len_[i] > text_->size() || text_->compare(off, len_[i], chars(i)) != 0))
                return "kept text of a branch";
            off += len_[i];
        }
        return off == text_->size() ? std::string() : "kept text length of a branch";
    }

private:
    mutable std::atomic<uint32_t> stale_{0};  // one bit per slot
    mutable uint64_t len_[kSlots];
};

// A branch of the order's tree: up to kFan children (leaves at the bottom
// level, branches above) with the counts of each.
struct OrderBranch {
    static constexpr uint32_t kFan = BranchText::kSlots;
    OrderBranch* parent = nullptr;
    bool bottom = true;  // its children are leaves
    uint32_t n = 0;
    void* child[kFan];
    uint64_t shown[kFan], bytes[kFan], other[kFan];
    // At the bottom: the characters of its leaves.
    BranchText text;

    uint32_t slot(const void* c) const {
        uint32_t i = 0;
        while (child[i] != c) ++i;
        return i;
    }
    void sums(uint64_t& s, uint64_t& b, uint64_t& o) const {
        s = b = o = 0;
        for (uint32_t i = 0; i < n; ++i) {
            s += shown[i];
            b += bytes[i];
            o += other[i];
        }
    }
};

struct SequenceNode::Leaf {
    std::vector<Item> items;
    uint64_t shown = 0, bytes = 0, other = 0;
    uint32_t min_depth = std::numeric_limits<uint32_t>::max();
    // Its place in the order.
    OrderBranch* parent = nullptr;
    Leaf* prev = nullptr;
    Leaf* next = nullptr;
    // Its characters, when it is the only leaf, a read took them all and every
    // shown item holds characters of its own.
    KeptText text;

    // Every change to the leaf ends here.
    void recount() {
        drop_text();
        shown = bytes = other = 0;
        min_depth = std::numeric_limits<uint32_t>::max();
        for (const Item& it : items) {
            shown += it.shown();
            bytes += it.bytes();
            other += it.other();
            min_depth = std::min(min_depth, it.depth);
        }
    }
    // The characters its shown items hold (what a kept text must be).
    void append_own_chars(std::string& out) const {
        for (const Item& it : items)
            if (!it.deleted && it.held() == Held::Char) out += it.chars();
    }
    // Its characters change: its own kept text goes, and its stretch of its
    // branch's goes stale.
    void drop_text() {
        text.drop();
        if (parent && parent->text.kept()) parent->text.mark(parent->slot(this));
    }
};

// The leaves in document order: a list, and a tree over it whose branches
// keep each child's counts, so that a position, a leaf's counts before it and
// a new leaf cost the tree's height.
struct SequenceNode::Order {
    using Branch = OrderBranch;
    static constexpr uint32_t kFan = Branch::kFan;

    std::vector<std::unique_ptr<Branch>> branches;  // [0, used) in the tree, the rest spare
    size_t used = 0;
    Branch* root = nullptr;  // none while there is one leaf (most sequences are short)
    uint32_t height = 0;     // levels of branches
    Leaf* first = nullptr;
    Leaf* last = nullptr;
    uint64_t total_shown = 0, total_bytes = 0, total_other = 0;

    // The tree over `leaves` (in document order, at least one), their counts
    // as they stand.
    void build(const std::vector<Leaf*>& leaves) {
        used = 0;
        for (size_t i = 0; i < leaves.size(); ++i) {
            leaves[i]->prev = i > 0 ? leaves[i - 1] : nullptr;
            leaves[i]->next = i + 1 < leaves.size() ? leaves[i + 1] : nullptr;
        }
        first = leaves.front();
        last = leaves.back();
        root = nullptr;
        height = 0;
        if (leaves.size() == 1) {
            first->parent = nullptr;
            total_shown = first->shown;
            total_bytes = first->bytes;
            total_other = first->other;
            return;
        }
        // Branches three quarters full, so that the next insertions do not split them at once.
        constexpr uint32_t kFill = kFan * 3 / 4;
        std::vector<void*> level(leaves.begin(), leaves.end());
        bool bottom = true;
        do {
            std::vector<void*> up;
            up.reserve(level.size() / kFill + 1);
            for (size_t i = 0; i < level.size(); i += kFill) {
                Branch* b = branch(bottom);
                for (size_t j = i; j < std::min(level.size(), i + kFill); ++j) put(b, b->n, level[j]);
                up.push_back(b);
            }
            level = std::move(up);
            bottom = false;
            ++height;
        } while (level.size() > 1);
        root = static_cast<Branch*>(level.front());
        root->sums(total_shown, total_bytes, total_other);
    }

    // Calls f(leaf) for the only leaf, or g(branch) for each bottom branch of
    // the tree holding a leaf that shows something, in order, until one
    // returns false; false then. Branches showing nothing are passed over
    // without a look below them.
    template <class F, class G>
    bool each_showing_bottom(F&& f, G&& g) const {
        if (!root) return first->shown == 0 || f(first);
        return each_bottom_below(root, g);
    }
    template <class G>
    static bool each_bottom_below(const Branch* b, G& g) {
        if (b->bottom) return g(b);
        for (uint32_t i = 0; i < b->n; ++i)
            if (b->shown[i] > 0 && !each_bottom_below(static_cast<const Branch*>(b->child[i]), g)) return false;
        return true;
    }

    // Makes sure that one leaf more allocates nothing; changes nothing when it
    // runs out of memory.
    void reserve_one() {
        const size_t need = used + height + 1;  // a split at every level, and a new root
        branches.reserve(need);
        while (branches.size() < need) branches.push_back(std::make_unique<Branch>());
    }
    // Puts `fresh` (its counts set) right after `leaf`. Allocates nothing
    // after reserve_one().
    void insert_after(Leaf* leaf, Leaf* fresh) {
        fresh->prev = leaf;
        fresh->next = leaf->next;
        (leaf->next ? leaf->next->prev : last) = fresh;
        leaf->next = fresh;
        if (!root) new_root(leaf, fresh);
        else insert_child(leaf->parent, leaf->parent->slot(leaf) + 1, fresh);
        refresh_up(fresh->parent);
    }
    // Adds to the counts a leaf has in the tree.
    void add(Leaf* leaf, int64_t ds, int64_t db, int64_t dother) {
        const void* c = leaf;
        for (Branch* b = leaf->parent; b; c = b, b = b->parent) {
            const uint32_t i = b->slot(c);
            b->shown[i] += uint64_t(ds);
            b->bytes[i] += uint64_t(db);
            b->other[i] += uint64_t(dother);
        }
        total_shown += uint64_t(ds);
        total_bytes += uint64_t(db);
        total_other += uint64_t(dother);
    }
    // The counts of the leaves before `leaf`.
    void prefix(const Leaf* leaf, uint64_t& s, uint64_t& b) const {
        s = b = 0;
        const void* c = leaf;
        for (const Branch* p = leaf->parent; p; c = p, p = p->parent) {
            const uint32_t i = p->slot(c);
            for (uint32_t j = 0; j < i; ++j) {
                s += p->shown[j];
                b += p->bytes[j];
            }
        }
    }
    // The leaf holding shown position k (below total_shown), with the shown
    // elements and bytes before it; null past the end.
    Leaf* find(uint64_t k, uint64_t& before, uint64_t& bytes_before) const {
        before = bytes_before = 0;
        if (k >= total_shown) return nullptr;
        if (!root) return first;
        const Branch* b = root;
        for (;;) {
            uint32_t i = 0;
            for (; i + 1 < b->n; ++i) {
                if (before + b->shown[i] > k) break;
                before += b->shown[i];
                bytes_before += b->bytes[i];
            }
            if (b->bottom) return static_cast<Leaf*>(b->child[i]);
            b = static_cast<const Branch*>(b->child[i]);
        }
    }

    // What is wrong with the tree, or nothing.
    std::string check(size_t leaves) const {
        std::vector<const Leaf*> in_order;
        std::string bad;
        auto visit = [&](auto& self, const Branch* b, uint32_t level) -> void {
            if (!bad.empty()) return;
            if (b->n == 0 || b->n > kFan) bad = "branch size";
            else if (b->bottom != (level == 1)) bad = "branch level";
            for (uint32_t i = 0; bad.empty() && i < b->n; ++i) {
                uint64_t cs, cb, co;
                counts(b->bottom, b->child[i], cs, cb, co);
                if (cs != b->shown[i] || cb != b->bytes[i] || co != b->other[i]) bad = "branch counts";
                else if (b->bottom) {
                    const Leaf* l = static_cast<const Leaf*>(b->child[i]);
                    if (l->parent != b) bad = "leaf parent";
                    in_order.push_back(l);
                } else {
                    const Branch* c = static_cast<const Branch*>(b->child[i]);
                    if (c->parent != b) bad = "branch parent";
                    else self(self, c, level - 1);
                }
            }
            if (b->bottom && bad.empty())
                bad = b->text.check(b->n, [&](uint32_t i) {
                    std::string chars;
                    static_cast<const Leaf*>(b->child[i])->append_own_chars(chars);
                    return chars;
                });
        };
        if (!root) {
            if (height != 0 || leaves != 1 || first != last || first->parent || first->prev || first->next)
                return "one leaf";
            if (first->shown != total_shown || first->bytes != total_bytes || first->other != total_other)
                return "totals";
            return {};
        }
        if (root->parent) return "root";
        visit(visit, root, height);
        if (!bad.empty()) return bad;
        if (in_order.size() != leaves) return "leaf count";
        const Leaf* prev = nullptr;
        for (const Leaf* l : in_order) {
            if (l->prev != prev || (prev ? prev->next : first) != l) return "leaf list";
            prev = l;
        }
        if (last != prev || prev->next) return "leaf list end";
        uint64_t s, b, o;
        root->sums(s, b, o);
        if (s != total_shown || b != total_bytes || o != total_other) return "totals";
        return {};
    }

private:
    // An empty branch, spare or new.
    Branch* branch(bool bottom) {
        if (used == branches.size()) branches.push_back(std::make_unique<Branch>());
        Branch* b = branches[used++].get();
        b->bottom = bottom;
        b->parent = nullptr;
        b->n = 0;
        b->text.drop();
        return b;
    }
    static void counts(bool bottom, const void* c, uint64_t& s, uint64_t& b, uint64_t& o) {
        if (bottom) {
            const Leaf* l = static_cast<const Leaf*>(c);
            s = l->shown;
            b = l->bytes;
            o = l->other;
        } else {
            static_cast<const Branch*>(c)->sums(s, b, o);
        }
    }
    static void set_parent(Branch* b, void* c) {
        if (b->bottom) static_cast<Leaf*>(c)->parent = b;
        else static_cast<Branch*>(c)->parent = b;
    }
    // Places child c at `at` in b (not full), with its counts.
    static void put(Branch* b, uint32_t at, void* c) {
        for (uint32_t i = b->n; i > at; --i) {
            b->child[i] = b->child[i - 1];
            b->shown[i] = b->shown[i - 1];
            b->bytes[i] = b->bytes[i - 1];
            b->other[i] = b->other[i - 1];
        }
        b->child[at] = c;
        counts(b->bottom, c, b->shown[at], b->bytes[at], b->other[at]);
        b->text.open(at, b->n);
        ++b->n;
        set_parent(b, c);
    }
    // A root above a (the old root, or the only leaf) and b, which follows it.
    void new_root(void* a, void* b) {
        Branch* r = branch(root == nullptr);
        put(r, 0, a);
        put(r, 1, b);
        root = r;
        ++height;
    }
    // Places child c at `at` in b, splitting b (and up) when full. The counts
    // of b's ancestors are left for refresh_up.
    void insert_child(Branch* b, uint32_t at, void* c) {
        if (b->n < kFan) {
            put(b, at, c);
            return;
        }
        Branch* nb = branch(b->bottom);
        constexpr uint32_t half = kFan / 2;
        for (uint32_t i = half; i < kFan; ++i) put(nb, nb->n, b->child[i]);
        b->n = half;
        b->text.keep_first(half);
        if (at <= half) put(b, at, c);
        else put(nb, at - half, c);
        if (b == root) {
            new_root(b, nb);
            return;
        }
        Branch* p = b->parent;
        const uint32_t i = p->slot(b);
        b->sums(p->shown[i], p->bytes[i], p->other[i]);
        insert_child(p, i + 1, nb);
    }
    // Sets the counts along the path from b to the root from b's children.
    void refresh_up(Branch* b) {
        for (; b->parent; b = b->parent) {
            Branch* p = b->parent;
            const uint32_t i = p->slot(b);
            b->sums(p->shown[i], p->bytes[i], p->other[i]);
        }
        root->sums(total_shown, total_bytes, total_other);
    }
};

// ---- construction ------------------------------------------------------------------------

SequenceNode::SequenceNode() : order_(std::make_unique<Order>()) {
    leaves_.push_back(std::make_unique<Leaf>());
    order_->build({leaves_.back().get()});
}

SequenceNode::~SequenceNode() = default;
SequenceNode::SequenceNode(SequenceNode&& o) noexcept = default;
SequenceNode& SequenceNode::operator=(SequenceNode&& o) noexcept = default;

SequenceNode::SequenceNode(const SequenceNode& o)
    : order_(std::make_unique<Order>()), loose_(o.loose_), orphans_(o.orphans_), deletes_(o.deletes_), found_{} {
    leaves_.reserve(o.leaves_.size());
    std::vector<Leaf*> ordered;
    ordered.reserve(o.leaves_.size());
    for (const Leaf* leaf = o.order_->first; leaf; leaf = leaf->next) {
        leaves_.push_back(std::make_unique<Leaf>(*leaf));
        Leaf* mine = leaves_.back().get();
        ordered.push_back(mine);
        for (const Item& it : mine->items) index_[it.first.dot.replica].put({it.first.dot.counter, it.first.index}, mine);
    }
    order_->build(ordered);
}

SequenceNode& SequenceNode::operator=(const SequenceNode& o) {
    if (this != &o) {
        SequenceNode copy(o);
        *this = std::move(copy);
    }
    return *this;
}

// The operations on the structure, kept out of the class's declaration.
class SequenceOps {
public:
    using Item = SequenceNode::Item;
    using Leaf = SequenceNode::Leaf;
    using Place = SequenceNode::Place;
    using Held = SequenceNode::Held;
    using Loose = SequenceNode::Loose;
    using Start = SequenceNode::Start;
    using Starts = SequenceNode::Starts;

    explicit SequenceOps(SequenceNode& s) : s(s) {}
    SequenceNode& s;

    // ---- places

    std::optional<Place> locate(const ElementId& id) const {
        if (Leaf* leaf = s.found_.leaf) {
            // The item found last and its neighbours.
            const size_t n = leaf->items.size();
            const size_t from = s.found_.item > 0 ? s.found_.item - 1 : 0;
            for (size_t i = from; i < n && i <= s.found_.item + 1; ++i) {
                const uint32_t k = leaf->items[i].offset_of(id);
                if (k < leaf->items[i].len) {
                    s.found_.item = i;
                    return Place{leaf, i, k};
                }
            }
        }
        auto found = locate_indexed(id);
        if (found) s.found_ = *found;
        return found;
    }
    std::optional<Place> locate_indexed(const ElementId& id) const {
        auto rit = s.index_.find(id.dot.replica);
        if (rit == s.index_.end()) return std::nullopt;
        const Start key{id.dot.counter, id.index};
        const bool last = after_all(rit->second, key);
        const Starts::Entry* at = last ? rit->second.last() : rit->second.floor(key);
        if (!at) return std::nullopt;
        const Start start = at->key;
        Leaf* leaf = at->value;
        // A new element's id comes after every item's start: only the item
        // starting last can hold it, and when that is the item found last,
        // locate has looked in it already.
        if (last && leaf == s.found_.leaf && s.found_.item < leaf->items.size()) {
            const Item& f = leaf->items[s.found_.item];
            if (f.first.dot.replica == id.dot.replica && f.first.dot.counter == start.counter &&
                f.first.index == start.index)
                return std::nullopt;
        }
        for (size_t i = 0; i < leaf->items.size(); ++i) {
            const Item& item = leaf->items[i];
            if (item.first.dot.counter != start.counter || item.first.index != start.index ||
                item.first.dot.replica != id.dot.replica)
                continue;
            uint32_t k = item.offset_of(id);
            if (k == item.len) return std::nullopt;
            return Place{leaf, i, k};
        }
        return std::nullopt;
    }
    // Whether `key` comes after every item start of a replica's index: the
    // ids of new insertions mostly do, and are answered without a search.
    static bool after_all(const Starts& m, const Start& key) { return m.empty() || m.last()->key < key; }
    // Whether an item of `r` starts at (counter, i) for some i in [from, to).
    bool starts_within(Replica r, uint64_t counter, uint32_t from, uint32_t to) const {
        auto rit = s.index_.find(r);
        if (rit == s.index_.end() || after_all(rit->second, {counter, from})) return false;
        const Starts::Entry* at = rit->second.ceiling({counter, from});
        return at && at->key.counter == counter && at->key.index < to;
    }
    Item& item(const Place& p) const { return p.leaf->items[p.item]; }
    uint32_t depth(const Place& p) const { return item(p).depth + p.offset; }
    ElementId id(const Place& p) const { return item(p).id(p.offset); }
    bool at_end(const Place& p) const { return p.leaf == nullptr; }

    Place begin() const {
        for (Leaf* leaf = s.order_->first; leaf; leaf = leaf->next)
            if (!leaf->items.empty()) return Place{leaf, 0, 0};
        return Place{};
    }
    // The first item of the leaves after `leaf`, or the end.
    Place next_leaf(const Leaf* leaf) const {
        for (Leaf* l = leaf->next; l; l = l->next)
            if (!l->items.empty()) return Place{l, 0, 0};
        return Place{};
    }
    Place next(Place p) const {
        if (p.offset + 1 < item(p).len) return Place{p.leaf, p.item, p.offset + 1};
        if (p.item + 1 < p.leaf->items.size()) return Place{p.leaf, p.item + 1, 0};
        return next_leaf(p.leaf);
    }
    // The first place from `p` on whose depth is at most `d` (depths grow
    // along an item).
    Place next_with_depth_at_most(Place p, uint32_t d) const {
        if (at_end(p)) return p;
        if (depth(p) <= d) return p;
        for (size_t i = p.item + 1; i < p.leaf->items.size(); ++i)
            if (p.leaf->items[i].depth <= d) return Place{p.leaf, i, 0};
        for (Leaf* leaf = p.leaf->next; leaf; leaf = leaf->next) {
            if (leaf->items.empty() || leaf->min_depth > d) continue;
            for (size_t i = 0; i < leaf->items.size(); ++i)
                if (leaf->items[i].depth <= d) return Place{leaf, i, 0};
        }
        return Place{};
    }

    // Where a new element with id `x` after `after` goes, by the order's rule:
    // right after its predecessor, past the subtrees of the predecessor's
    // successors whose ids are greater. `after` is in the order or absent.
    Place place_for(const ElementId& x, const std::optional<ElementId>& after) const {
        Place cur;
        uint32_t parent_depth = 0;
        if (after) {
            Place p = *locate(*after);
            parent_depth = depth(p);
            cur = next(p);
        } else {
            cur = begin();
        }
        while (!at_end(cur)) {
            const uint32_t d = depth(cur);
            if (d <= parent_depth) break;
            if (id(cur) < x) break;
            cur = next_with_depth_at_most(next(cur), d);
        }
        return cur;
    }

    // ---- counts

    void recount(Leaf* leaf) {
        const int64_t s0 = int64_t(leaf->shown), b0 = int64_t(leaf->bytes), o0 = int64_t(leaf->other);
        leaf->recount();
        s.order_->add(leaf, int64_t(leaf->shown) - s0, int64_t(leaf->bytes) - b0, int64_t(leaf->other) - o0);
    }
    // What an item adds to its leaf's counts.
    struct Counts {
        uint64_t shown = 0, bytes = 0, other = 0;
    };
    static Counts counts(const Item& it) { return Counts{it.shown(), it.bytes(), it.other()}; }
    // The same after a change to the one item `it` of `leaf`, which counted
    // `was` before and keeps its depth: the other items are not read again.
    void recount(Leaf* leaf, const Item& it, const Counts& was) {
        const Counts now = counts(it);
        add_counts(leaf, int64_t(now.shown) - int64_t(was.shown), int64_t(now.bytes) - int64_t(was.bytes),
                   int64_t(now.other) - int64_t(was.other));
    }
    // Changes a leaf's counts, and the order's, by what its items' changed.
    void add_counts(Leaf* leaf, int64_t ds, int64_t db, int64_t dother) {
        leaf->drop_text();
        leaf->shown += uint64_t(ds);
        leaf->bytes += uint64_t(db);
        leaf->other += uint64_t(dother);
        s.order_->add(leaf, ds, db, dother);
    }

    // Points the index entry of the item starting at `first` at `leaf`, adding
    // it for an item about to be placed there; true when it is new. Until the
    // item is there, lookups pass over the entry. An entry that exists is
    // pointed elsewhere without allocating.
    bool index_entry(const ElementId& first, Leaf* leaf) {
        return s.index_[first.dot.replica].put({first.dot.counter, first.index}, leaf);
    }
    void unindex(const ElementId& first) {
        auto rit = s.index_.find(first.dot.replica);
        if (rit != s.index_.end()) rit->second.erase({first.dot.counter, first.index});
    }

    // ---- structure changes

    // Splits the item at p so that p's element starts an item; returns its
    // place. Changes nothing when it runs out of memory.
    Place split_at(Place p) {
        if (p.offset == 0) return p;
        reserve_one(p.leaf->items);
        const bool added = index_entry(item(p).id(p.offset), p.leaf);
        Item rest;
        try {
            rest = item(p).split(p.offset);
        } catch (...) {
            if (added) unindex(item(p).id(p.offset));
            throw;
        }
        p.leaf->items.insert(p.leaf->items.begin() + ptrdiff_t(p.item + 1), std::move(rest));
        return split_leaf_if_full(Place{p.leaf, p.item + 1, 0});
    }
    // Keeps leaves at most kLeafMax items; returns where the place went. A
    // leaf that cannot split for want of memory stays as it is.
    Place split_leaf_if_full(Place p) {
        Leaf* leaf = p.leaf;
        if (leaf->items.size() <= kLeafMax) {
            recount(leaf);
            return p;
        }
        const size_t half = leaf->items.size() / 2;
        std::unique_ptr<Leaf> fresh;
        try {
            fresh = std::make_unique<Leaf>();
            fresh->items.reserve(leaf->items.size() - half);
            reserve_one(s.leaves_);
            s.order_->reserve_one();
        } catch (const std::bad_alloc&) {
            recount(leaf);
            return p;
        }
        fresh->items.assign(std::make_move_iterator(leaf->items.begin() + ptrdiff_t(half)),
                            std::make_move_iterator(leaf->items.end()));
        leaf->items.erase(leaf->items.begin() + ptrdiff_t(half), leaf->items.end());
        Leaf* moved = fresh.get();
        s.leaves_.push_back(std::move(fresh));
        // The items' index entries exist: pointing them at their new leaf allocates nothing.
        for (const Item& it : moved->items) index_entry(it.first, moved);
        recount(leaf);
        moved->recount();
        s.order_->insert_after(leaf, moved);
        if (p.item >= half) return Place{moved, p.item - half, p.offset};
        return p;
    }
    // Inserts an item before `p` (or at the end); returns its place. Changes
    // nothing the order holds when it runs out of memory.
    Place insert_item(Place p, Item it) {
        if (at_end(p)) {
            Leaf* last = s.order_->last;
            p = Place{last, last->items.size(), 0};
        }
        p = split_at(p);
        reserve_one(p.leaf->items);
        index_entry(it.first, p.leaf);
        const Counts added = counts(it);
        const uint32_t depth = it.depth;
        p.leaf->items.insert(p.leaf->items.begin() + ptrdiff_t(p.item), std::move(it));
        if (p.leaf->items.size() > kLeafMax) return split_leaf_if_full(p);
        // The leaf's counts grow by the item's; the others are not read again.
        p.leaf->min_depth = std::min(p.leaf->min_depth, depth);
        add_counts(p.leaf, int64_t(added.shown), int64_t(added.bytes), int64_t(added.other));
        return p;
    }
    // The place of the element just before `p` (p not the first), or the end.
    Place before(Place p) const {
        if (at_end(p)) {
            for (Leaf* leaf = s.order_->last; leaf; leaf = leaf->prev) {
                if (!leaf->items.empty())
                    return Place{leaf, leaf->items.size() - 1, leaf->items.back().len - 1};
            }
            return Place{};
        }
        if (p.offset > 0) return Place{p.leaf, p.item, p.offset - 1};
        if (p.item > 0) return Place{p.leaf, p.item - 1, p.leaf->items[p.item - 1].len - 1};
        for (Leaf* leaf = p.leaf->prev; leaf; leaf = leaf->prev) {
            if (!leaf->items.empty()) return Place{leaf, leaf->items.size() - 1, leaf->items.back().len - 1};
        }
        return Place{};
    }

    // Whether element `x` (after `prev`, held as `held`) can join the end of the
    // item at `p` (p is its last element).
    bool can_extend(const Place& p, const ElementId& x, Held held, bool single, bool deleted) const {
        const Item& it = item(p);
        if (p.offset + 1 != it.len || it.held() != held || held == Held::Node || it.deleted || deleted) return false;
        if (it.len >= kItemMax) return false;
        const ElementId last = it.last();
        if (x.dot.replica != last.dot.replica) return false;
        if ((it.len == 1 || !it.counter_step) && x == next_by_index(last)) return true;
        if ((it.len == 1 ? it.single : it.counter_step) && single && last.index == 0 && x == next_by_counter(last))
            return true;
        return false;
    }
    void extend(const Place& p, const ElementId& x, const Value& v) {
        Item& it = item(p);
        // The value first: running out of memory there changes nothing.
        if (it.held() == Held::Char) it.chars() += v.as_str();
        else it.values().push_back(v);
        if (it.len == 1) it.counter_step = x.index == 0 && x.dot.counter == it.first.dot.counter + 1;
        ++it.len;
    }

    // ---- walking

    template <class F>
    bool walk_tree(F&& f) const {
        for (const Leaf* leaf = s.order_->first; leaf; leaf = leaf->next)
            for (const Item& it : leaf->items) {
                size_t byte = 0;
                for (uint32_t k = 0; k < it.len; ++k) {
                    SequenceNode::Element e = it.element(k, byte);
                    e.deleted = it.deleted;
                    if (it.held() == Held::Char) byte += e.chars.size();
                    if (!f(e, it, k)) return false;
                }
            }
        return true;
    }

    // The orphans in document order: the order's rule applied to the entries
    // the head does not reach.
    std::vector<ElementId> orphan_order() const {
        std::vector<ElementId> out;
        if (s.orphans_ == 0) return out;
        std::map<ElementId, std::vector<ElementId>> kids;
        for (const auto& [id, l] : s.loose_)
            if (l.inserted && l.after) kids[*l.after].push_back(id);  // ascending: loose_ is ordered
        std::map<ElementId, bool> visited;
        std::vector<ElementId> stack;
        for (const auto& [id, l] : s.loose_) {
            if (!l.inserted || visited.contains(id)) continue;
            visited[id] = true;
            out.push_back(id);
            if (auto k = kids.find(id); k != kids.end()) stack.assign(k->second.begin(), k->second.end());
            while (!stack.empty()) {
                ElementId c = stack.back();
                stack.pop_back();
                if (visited.contains(c)) continue;
                visited[c] = true;
                out.push_back(c);
                if (auto k = kids.find(c); k != kids.end()) stack.insert(stack.end(), k->second.begin(), k->second.end());
            }
        }
        return out;
    }
};

// ---- building from entries ---------------------------------------------------------------

SequenceNode SequenceNode::from_entries(std::vector<std::pair<ElementId, SequenceEntryState>> entries,
                                        Deletions deletes) {
    SequenceNode q;
    q.deletes_ = std::move(deletes);
    const size_t n = entries.size();
    // Predecessor positions and the children table (ascending).
    constexpr size_t kNone = size_t(-1);
    auto pos_of = [&](const ElementId& id) {
        auto it = std::lower_bound(entries.begin(), entries.end(), id,
                                   [](const auto& e, const ElementId& x) { return e.first < x; });
        return it != entries.end() && it->first == id ? size_t(it - entries.begin()) : kNone;
    };
    // The children of entry p are kid[first[p] .. first[p + 1]), ascending.
    std::vector<size_t> head;
    std::vector<size_t> parent(n, kNone);
    std::vector<size_t> first(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const auto& e = entries[i].second;
        if (!e.inserted) continue;
        if (!e.after) {
            head.push_back(i);
            continue;
        }
        size_t p = (i > 0 && entries[i - 1].first == *e.after) ? i - 1 : pos_of(*e.after);
        parent[i] = p;
        if (p != kNone) ++first[p + 1];
    }
    for (size_t p = 0; p < n; ++p) first[p + 1] += first[p];
    std::vector<size_t> kid(first[n]);
    {
        std::vector<size_t> fill(first.begin(), first.end() - 1);
        for (size_t i = 0; i < n; ++i)
            if (parent[i] != kNone) kid[fill[parent[i]]++] = i;
    }
    // The walk from the head, with depths.
    std::vector<char> reached(n, 0);
    std::vector<std::pair<size_t, uint32_t>> order;
    order.reserve(n);
    std::vector<std::pair<size_t, uint32_t>> stack;
    for (size_t h : head) stack.emplace_back(h, 1);
    while (!stack.empty()) {
        auto [i, d] = stack.back();
        stack.pop_back();
        if (reached[i]) continue;
        reached[i] = 1;
        order.emplace_back(i, d);
        for (size_t k = first[i]; k < first[i + 1]; ++k) stack.emplace_back(kid[k], d + 1);
    }
    // An element of (c, r, 0) is its insertion's only value unless (c, r, 1) is an entry.
    auto single = [&](const ElementId& id) {
        return id.index == 0 && pos_of(ElementId{id.dot, 1}) == kNone;
    };
    SequenceOps ops(q);
    Leaf* leaf = q.leaves_.back().get();
    Item* cur = nullptr;
    for (auto [i, d] : order) {
        ElementId id = entries[i].first;
        SequenceEntryState& e = entries[i].second;
        const bool deleted = q.deletes_.contains(id);
        // A register written at the element's own dot keeps only its value.
        Held held = Held::Node;
        const Value* plain = e.plain ? &*e.plain : e.node ? own_register_value(*e.node, id.dot) : nullptr;
        if (plain) held = held_for(*plain);
        const bool one = single(id);
        if (cur && held != Held::Node && cur->held() == held && cur->deleted == deleted &&
            e.after && *e.after == cur->last() && cur->len < kItemMax &&
            (((cur->len == 1 || !cur->counter_step) && id == next_by_index(cur->last())) ||
             ((cur->len == 1 ? cur->single : cur->counter_step) && one && cur->last().index == 0 &&
              id == next_by_counter(cur->last())))) {
            if (cur->len == 1) cur->counter_step = id.index == 0 && id.dot.counter == cur->first.dot.counter + 1;
            ++cur->len;
            if (held == Held::Char) cur->chars() += plain->as_str();
            else cur->values().push_back(*plain);
            continue;
        }
        if (leaf->items.size() >= kLeafMax / 2) {
            q.leaves_.push_back(std::make_unique<Leaf>());
            leaf = q.leaves_.back().get();
        }
        Item it;
        it.first = id;
        it.set_origin(e.after);
        it.depth = d;
        it.single = one;
        it.deleted = deleted;
        if (held != Held::Node) {
            it.hold_plain(*plain);
        } else {
            it.hold_node(std::move(e.node));
            it.width = node_width(it.node().get());
        }
        leaf->items.push_back(std::move(it));
        cur = &leaf->items.back();
    }
    // Made in document order.
    std::vector<Leaf*> ordered;
    ordered.reserve(q.leaves_.size());
    for (auto& l : q.leaves_) {
        l->recount();
        for (const Item& it : l->items) ops.index_entry(it.first, l.get());
        ordered.push_back(l.get());
    }
    q.order_->build(ordered);
    for (size_t i = 0; i < n; ++i) {
        if (reached[i]) continue;
        auto& e = entries[i].second;
        if (e.plain) e.node = NodePtr(own_register(std::move(*e.plain), entries[i].first.dot));
        q.loose_.emplace(entries[i].first, Loose{e.after, std::move(e.node), e.inserted});
        if (e.inserted) ++q.orphans_;
    }
    return q;
}

// ---- reading -----------------------------------------------------------------------------

bool SequenceNode::Element::shows(const RemovalFilter& filter) const {
    if (!inserted || deleted || !has_node() || filter.contains(id.dot)) return false;
    if (plain()) return true;
    const RegisterNode* r = node->reg();
    return !r || (r->dot && !filter.contains(*r->dot));
}

Value SequenceNode::Element::plain_value() const {
    if (held == Held::Char) return Value::str(chars);
    return *value;
}

void SequenceNode::Element::write_plain_value(std::string& out) const {
    if (held == Held::Char) {
        out += "{\"Str\":";
        append_json_string(out, chars);
        out += '}';
    } else {
        value_to_json(out, *value);
    }
}

bool SequenceNode::empty() const {
    if (!loose_.empty() || !deletes_.empty()) return false;
    for (const auto& leaf : leaves_)
        if (!leaf->items.empty()) return false;
    return true;
}

std::optional<SequenceNode::Element> SequenceNode::find(const ElementId& id) const {
    SequenceOps ops(const_cast<SequenceNode&>(*this));
    if (auto p = ops.locate(id)) {
        const Item& it = ops.item(*p);
        Element e = it.element(p->offset, it.held() == Held::Char ? it.byte_at(p->offset) : 0);
        e.deleted = it.deleted;
        return e;
    }
    auto l = loose_.find(id);
    if (l == loose_.end()) return std::nullopt;
    Element e;
    e.id = id;
    e.inserted = l->second.inserted;
    e.deleted = deletes_.contains(id);
    e.held = Held::Node;
    e.node = l->second.node.get();
    return e;
}

void SequenceNode::walk(const std::function<bool(const Element&)>& f) const {
    SequenceOps ops(const_cast<SequenceNode&>(*this));
    bool go = ops.walk_tree([&](Element& e, const Item&, uint32_t) { return f(e); });
    if (!go || orphans_ == 0) return;
    for (const ElementId& id : ops.orphan_order()) {
        const Loose& l = loose_.at(id);
        Element e;
        e.id = id;
        e.deleted = deletes_.contains(id);
        e.held = Held::Node;
        e.node = l.node.get();
        if (!f(e)) return;
    }
}

size_t SequenceNode::shown() const { return order_->total_shown; }
size_t SequenceNode::shown_bytes() const { return order_->total_bytes; }
size_t SequenceNode::shown_other() const { return order_->total_other; }

std::pair<size_t, size_t> SequenceNode::position(const ElementId& id) const {
    SequenceOps ops(const_cast<SequenceNode&>(*this));
    Place p = *ops.locate(id);
    uint64_t shown = 0, bytes = 0;
    order_->prefix(p.leaf, shown, bytes);
    for (size_t i = 0; i < p.item; ++i) {
        shown += p.leaf->items[i].shown();
        bytes += p.leaf->items[i].bytes();
    }
    const Item& it = p.leaf->items[p.item];
    if (it.held() != Held::Node) {
        shown += p.offset;
        if (it.held() == Held::Char) bytes += it.byte_at(p.offset);
    }
    return {size_t(shown), size_t(bytes)};
}

std::pair<ElementId, size_t> SequenceNode::at(size_t position) const {
    uint64_t before = 0, bytes = 0;
    const Leaf* leaf = order_->find(position, before, bytes);
    NORVANE_EXPECT(leaf != nullptr, "a shown position lies in a leaf");
    for (const Item& it : leaf->items) {
        const uint64_t n = it.shown();
        if (before + n > position) {
            const uint32_t k = uint32_t(position - before);
            if (it.held() == Held::Char) bytes += it.byte_at(k);
            return {it.id(k), size_t(bytes)};
        }
        before += n;
        bytes += it.bytes();
    }
    NORVANE_EXPECT(false, "a shown position lies in its leaf");
    return {};
}

std::vector<ElementId> SequenceNode::ids_at(size_t from, size_t count) const {
    std::vector<ElementId> out;
    if (count == 0) return out;
    out.reserve(count);
    uint64_t before = 0, bytes = 0;
    for (const Leaf* l = order_->find(from, before, bytes); l && out.size() < count; l = l->next) {
        for (const Item& it : l->items) {
            const uint64_t n = it.shown();
            if (before + n <= from) {
                before += n;
                continue;
            }
            uint32_t k = before < from ? uint32_t(from - before) : 0;
            for (; k < n && out.size() < count; ++k) out.push_back(it.id(k));
            before += n;
            if (out.size() == count) break;
        }
    }
    return out;
}

// ---- changes -------------------------------------------------------------------------------

namespace {

// Ids of one insertion count up by index.
ElementId nth(const Dot& dot, size_t i) { return ElementId{dot, uint32_t(i)}; }

}  // namespace

// The changes, with what takes them back.
class SequenceChanges : public SequenceOps {
public:
    using SequenceOps::SequenceOps;

    // Takes back `count` elements from `from` on (ids counting up by index),
    // placed by an insertion: they end their items. Elements not placed (the
    // insertion failed first) are passed over. Allocates nothing.
    static void take_back(SequenceNode* q, ElementId from, uint32_t count) {
        SequenceChanges c(*q);
        while (count > 0) {
            auto p = c.locate(from);
            if (!p) return;
            Item& it = c.item(*p);
            const uint32_t n = std::min(count, it.len - p->offset);
            NORVANE_EXPECT(p->offset + n == it.len, "elements taken back end their item");
            if (p->offset == 0) {
                c.unindex(it.first);
                p->leaf->items.erase(p->leaf->items.begin() + ptrdiff_t(p->item));
            } else {
                if (it.held() == Held::Char) it.chars().resize(it.byte_at(p->offset));
                else if (it.held() == Held::Value) it.values().resize(p->offset);
                it.len = p->offset;
            }
            c.recount(p->leaf);
            count -= n;
            from = ElementId{from.dot, from.index + n};
        }
    }

    // Marks the items holding `ids` as not deleted. Allocates nothing.
    static void undelete(SequenceNode* q, std::span<const ElementId> ids) {
        SequenceChanges c(*q);
        for (const ElementId& id : ids) {
            auto p = c.locate(id);
            if (!p) continue;
            c.item(*p).deleted = false;
            c.recount(p->leaf);
        }
    }

    // Isolates elements [offset, offset + n) of the item at p into an item
    // of their own; returns its place.
    Place isolate(Place p, uint32_t n) {
        p = split_at(p);
        if (n < item(p).len) split_at(Place{p.leaf, p.item, n});
        return *locate(id(p));
    }

    // Places a new item, whose first element follows `after`, in the order.
    void place(Item it, const std::optional<ElementId>& after) {
        it.depth = after ? depth(*locate(*after)) + 1 : 1;
        const ElementId first = it.first;
        insert_item(place_for(first, after), std::move(it));
    }

    // Moves a loose entry into the order with every loose entry that follows
    // from it. The caller saved the sequence for taking this back.
    void attach(const ElementId& id) {
        auto l = s.loose_.find(id);
        Item it;
        it.first = id;
        it.set_origin(l->second.after);
        it.deleted = s.deletes_.contains(id);
        it.hold_node(std::move(l->second.node));
        it.width = node_width(it.node().get());
        const std::optional<ElementId> after = l->second.after;
        if (l->second.inserted) --s.orphans_;
        s.loose_.erase(l);
        place(std::move(it), after);
        attach_children(id);
    }
    // Moves the orphans that follow a newly placed element into the order.
    void attach_children(const ElementId& id) {
        if (s.orphans_ == 0) return;
        std::vector<ElementId> kids;
        for (const auto& [k, e] : s.loose_)
            if (e.inserted && e.after && *e.after == id) kids.push_back(k);
        for (const ElementId& k : kids) attach(k);
    }

    // One element of an insertion that is not a plain new one.
    Status insert_one(const ElementId& id, const std::optional<ElementId>& prev, const Value& v, bool check_after,
                      bool plain, const std::function<NodeState()>& make, const SequenceNode::MergeValue& merge) {
        if (auto p = locate(id)) {
            Item& it = item(*p);
            const std::optional<ElementId> origin = p->offset == 0 ? it.origin() : std::optional(it.id(p->offset - 1));
            if (check_after && origin != prev) return conflicting(id);
            if (origin != prev) {
                // A placed element given another predecessor: the order is
                // built again around it.
                rebuild_with_after(id, prev);
                p = locate(id);
            }
            Place q = isolate(*p, 1);
            Item& one = item(q);
            if (one.held() != Held::Node) {
                // The same dot writes again: the later value stays.
                one.hold_plain(v);
            } else {
                if (!one.node()) one.node() = NodePtr(make());
                NV_CHECK(merge(*one.node(), v, false));
                one.width = node_width(one.node().get());
            }
            recount(q.leaf);
            return {};
        }
        if (auto l = s.loose_.find(id); l != s.loose_.end()) {
            Loose& e = l->second;
            if (e.inserted && check_after && e.after != prev) return conflicting(id);
            e.after = prev;
            if (!e.inserted) ++s.orphans_;
            e.inserted = true;
            if (!e.node) e.node = NodePtr(make());
            NV_CHECK(merge(*e.node, v, false));
            if (!prev || locate(*prev)) attach(id);
            return {};
        }
        Item it;
        it.first = id;
        it.set_origin(prev);
        it.single = false;
        it.deleted = s.deletes_.contains(id);
        if (plain) {
            it.hold_plain(v);
        } else {
            it.hold_node(NodePtr(make()));
            NV_CHECK(merge(*it.node(), v, true));
            it.width = node_width(it.node().get());
        }
        if (!prev || locate(*prev)) {
            place(std::move(it), prev);
            attach_children(id);
        } else {
            NodePtr node = it.held() == Held::Node ? std::move(it.node()) : NodePtr(plain_node(it));
            s.loose_.emplace(id, Loose{prev, std::move(node), true});
            ++s.orphans_;
        }
        return {};
    }

    static NodeState plain_node(const Item& it) {
        return own_register(it.held() == Held::Char ? Value::str(it.chars()) : it.values().front(), it.first.dot);
    }

    static Status conflicting(const ElementId& id) {
        return fail(errors::kConflictingPredecessors[0] + debug_text(id) + errors::kConflictingPredecessors[1]);
    }

    // Builds the order again with the predecessor of `id` changed.
    void rebuild_with_after(const ElementId& id, const std::optional<ElementId>& after) {
        std::vector<std::pair<ElementId, SequenceEntryState>> entries;
        s.for_each_entry([&](const SequenceNode::Element& e, const std::optional<ElementId>& a) {
            SequenceEntryState st;
            st.after = e.id == id ? after : a;
            st.inserted = e.inserted;
            if (e.plain()) st.plain = e.plain_value();
            else if (e.node) st.node = NodePtr(*e.node);
            entries.emplace_back(e.id, std::move(st));
        });
        s = SequenceNode::from_entries(std::move(entries), s.deletes_);
    }
};

bool SequenceNode::holds_any(const Dot& dot, size_t n) const {
    SequenceOps ops(const_cast<SequenceNode&>(*this));
    const ElementId first = nth(dot, 0);
    // Element i > 0 could only be in an item starting at (dot, j), j <= i:
    // the first element's, or one starting after it.
    if (ops.locate(first) || (n > 1 && ops.starts_within(dot.replica, dot.counter, 1, uint32_t(n)))) return true;
    auto l = loose_.lower_bound(first);
    return l != loose_.end() && l->first.dot == dot && l->first.index < n;
}

Status SequenceNode::insert(const Dot& dot, const std::optional<ElementId>& after, const std::vector<Value>& values,
                            bool check_after, bool plain, const std::function<NodeState()>& make,
                            const MergeValue& merge, UndoLog* undo, bool ids_new) {
    if (values.empty()) return {};
    SequenceChanges c(*this);
    const ElementId first = nth(dot, 0);
    // The common case: new elements whose predecessor is in the order.
    bool fresh = orphans_ == 0 && (!after || c.locate(*after).has_value());
    auto held_at = [&](size_t i) { return plain ? held_for(values[i]) : Held::Node; };
    const Held h = held_at(0);
    if (fresh && !ids_new) fresh = !holds_any(dot, values.size());
    if (fresh) {
        const bool single = values.size() == 1;
        const bool any_deletes = !deletes_.empty();
        auto is_deleted = [&](size_t i) { return any_deletes && deletes_.contains(nth(dot, i)); };
        Place p = c.place_for(first, after);
        // Typing: one new value continues the item its predecessor ends.
        if (single && after && !is_deleted(0)) {
            Place b = c.before(p);
            if (!c.at_end(b) && c.id(b) == *after && c.can_extend(b, first, h, true, false)) {
                if (undo) {
                    SequenceNode* self = this;
                    undo->record([self, first] { SequenceChanges::take_back(self, first, 1); });
                }
                const SequenceOps::Counts was = SequenceOps::counts(c.item(b));
                c.extend(b, first, values[0]);
                c.recount(b.leaf, c.item(b), was);
                return {};
            }
        }
        // Otherwise items of elements with the same deletion state and held
        // the same way (characters, other values or nodes), one after the other.
        for (size_t i = 0; i < values.size();) {
            Item it;
            it.first = nth(dot, i);
            it.set_origin(i == 0 ? after : std::optional<ElementId>(nth(dot, i - 1)));
            it.single = single;
            it.deleted = is_deleted(i);
            it.hold(held_at(i));
            size_t j = i;
            if (it.held() == Held::Node) {
                // A node of its own, made and written before it is placed.
                it.hold_node(NodePtr(make()));
                NV_CHECK(merge(*it.node(), values[j], true));
                it.width = node_width(it.node().get());
                ++j;
            } else {
                do {
                    if (it.held() == Held::Char) it.chars() += values[j].as_str();
                    else it.values().push_back(values[j]);
                    ++j;
                } while (j < values.size() && j - i < kItemMax && is_deleted(j) == it.deleted &&
                         held_at(j) == it.held());
            }
            it.len = uint32_t(j - i);
            if (undo) {
                SequenceNode* self = this;
                const ElementId from = it.first;
                const uint32_t count = it.len;
                undo->record([self, from, count] { SequenceChanges::take_back(self, from, count); });
            }
            if (i == 0) {
                it.depth = after ? c.depth(*c.locate(*after)) + 1 : 1;
                c.insert_item(p, std::move(it));
            } else {
                Place prev = *c.locate(nth(dot, i - 1));
                it.depth = c.depth(prev) + 1;
                c.insert_item(c.next(prev), std::move(it));
            }
            i = j;
        }
        return {};
    }
    // Anything else one element at a time, with the whole sequence saved for
    // taking it back.
    if (undo) {
        auto saved = std::make_shared<SequenceNode>(*this);
        SequenceNode* self = this;
        undo->record([self, saved] { *self = std::move(*saved); });
    }
    std::optional<ElementId> prev = after;
    for (size_t i = 0; i < values.size(); ++i) {
        const ElementId id = nth(dot, i);
        NV_CHECK(c.insert_one(id, prev, values[i], check_after, plain, make, merge));
        prev = id;
    }
    return {};
}

void SequenceNode::delete_ids(const std::vector<ElementId>& ids, const Dot& dot, UndoLog* undo) {
    Scratch<ElementId> scratch;
    std::vector<ElementId>& fresh = *scratch;  // ids deleted for the first time
    for (size_t j = 0; j < ids.size(); ++j) {
        if (const size_t k = deletes_.extend_last_many({ids.data() + j, ids.size() - j}, dot)) {
            // Ids that continue the run the last deletion went to, deleted
            // for the first time: taken back newest first.
            if (undo) {
                // They count up by counter or by index from the first.
                SequenceNode* self = this;
                const ElementId first = ids[j];
                const bool by_counter = k > 1 && ids[j + 1].dot.counter != first.dot.counter;
                undo->record([self, first, k, by_counter, dot] {
                    for (size_t m = k; m-- > 0;) {
                        self->deletes_.take_back(id_after(first, m, by_counter), dot, true);
                    }
                });
            }
            fresh.insert(fresh.end(), ids.begin() + ptrdiff_t(j), ids.begin() + ptrdiff_t(j + k));
            j += k - 1;
            continue;
        }
        const ElementId& id = ids[j];
        const auto added = deletes_.add_not_last(id, dot);
        if (added == Deletions::Added::Already) continue;
        const bool first = added == Deletions::Added::First;
        // A record that cannot be kept takes the deletion back at once.
        if (undo) {
            SequenceNode* self = this;
            undo->record([self, id, dot, first] { self->deletes_.take_back(id, dot, first); });
        }
        if (first) fresh.push_back(id);
    }
    // The elements deleted now leave the count, in runs of one item at a time.
    SequenceChanges c(*this);
    for (size_t i = 0; i < fresh.size();) {
        auto p = c.locate(fresh[i]);
        if (!p || c.item(*p).deleted) {
            ++i;
            continue;
        }
        const Item& it = c.item(*p);
        uint32_t n = 1;
        while (i + n < fresh.size() && p->offset + n < it.len && it.id(p->offset + n) == fresh[i + n]) ++n;
        if (undo) {
            // The run's ids count up from its first as the item's do.
            SequenceNode* self = this;
            const ElementId first = fresh[i];
            const bool by_counter = it.counter_step;
            undo->record([self, first, n, by_counter] {
                for (uint32_t m = 0; m < n; ++m) {
                    const ElementId id = id_after(first, m, by_counter);
                    SequenceChanges::undelete(self, {&id, 1});
                }
            });
        }
        Place q = c.isolate(*p, n);
        const SequenceOps::Counts was = SequenceOps::counts(c.item(q));
        c.item(q).deleted = true;
        c.recount(q.leaf, c.item(q), was);
        i += n;
    }
}

NodeState& SequenceNode::node_for_write(const ElementId& id, const std::function<NodeState()>& make, UndoLog* undo) {
    SequenceChanges c(*this);
    SequenceNode* self = this;
    if (auto p = c.locate(id)) {
        // Taken back after the write is: what the element shows is counted again.
        if (undo) undo->record([self, id] { self->refresh(id); });
        Place q = c.isolate(*p, 1);
        Item& it = c.item(q);
        if (it.held() != Held::Node) {
            // The element gets a register of its own, holding what it held.
            it.hold_node(NodePtr(SequenceChanges::plain_node(it)));
            it.width = node_width(it.node().get());
        } else if (!it.node()) {
            if (undo) undo->record([self, id] { self->drop_node(id); });
            it.node() = NodePtr(make());
        }
        return *it.node();
    }
    auto l = loose_.find(id);
    if (l == loose_.end()) {
        if (undo) undo->record([self, id] { self->loose_.erase(id); });
        l = loose_.emplace(id, Loose{std::nullopt, NodePtr(make()), false}).first;
        return *l->second.node;
    }
    if (!l->second.node) {
        if (undo) undo->record([self, id] { self->drop_node(id); });
        l->second.node = NodePtr(make());
    }
    return *l->second.node;
}

void SequenceNode::drop_node(const ElementId& id) {
    SequenceChanges c(*this);
    if (auto p = c.locate(id)) {
        Item& it = c.item(*p);
        if (it.held() == Held::Node) it.node().reset();
        it.width = 0;
        c.recount(p->leaf);
    } else if (auto l = loose_.find(id); l != loose_.end()) {
        l->second.node.reset();
    }
}

void SequenceNode::refresh(const ElementId& id) {
    SequenceChanges c(*this);
    if (auto p = c.locate(id)) {
        Item& it = c.item(*p);
        if (it.held() == Held::Node) it.width = node_width(it.node().get());
        c.recount(p->leaf);
    }
}

// ---- saved state and compaction ----------------------------------------------------------------

void SequenceNode::for_each_entry(
    const std::function<void(const Element&, const std::optional<ElementId>& after)>& f) const {
    struct Ref {
        ElementId id;
        const Item* item;
        uint32_t k;
        size_t byte;
        const SequenceNode::Loose* loose;
    };
    std::vector<Ref> all;
    for (const auto& leaf : leaves_)
        for (const Item& it : leaf->items) {
            size_t byte = 0;
            for (uint32_t k = 0; k < it.len; ++k) {
                all.push_back(Ref{it.id(k), &it, k, byte, nullptr});
                if (it.held() == Held::Char) byte += utf8_len((unsigned char)it.chars()[byte]);
            }
        }
    for (const auto& [id, l] : loose_) all.push_back(Ref{id, nullptr, 0, 0, &l});
    std::sort(all.begin(), all.end(), [](const Ref& a, const Ref& b) { return a.id < b.id; });
    for (const Ref& r : all) {
        if (r.item) {
            Element e = r.item->element(r.k, r.byte);
            e.deleted = r.item->deleted;
            const std::optional<ElementId> after = r.k == 0 ? r.item->origin() : std::optional(r.item->id(r.k - 1));
            f(e, after);
        } else {
            Element e;
            e.id = r.id;
            e.inserted = r.loose->inserted;
            e.deleted = deletes_.contains(r.id);
            e.held = Held::Node;
            e.node = r.loose->node.get();
            f(e, r.loose->after);
        }
    }
}

namespace {

bool purgeable(const SequenceNode::Element& e, const Deletions& deletes,
               const std::function<bool(const Dot&)>& covered) {
    if (!e.has_node() || !covered(e.id.dot) || !deletes.contains(e.id)) return false;
    const DeleteDots dots = deletes.dots(e.id);
    return std::all_of(dots.begin(), dots.end(), covered);
}

}  // namespace

void SequenceNode::prepare_purge(const std::function<bool(const Dot&)>& covered) {
    // Plain elements to purge become items of their own first.
    std::vector<ElementId> ids;
    walk([&](const Element& e) {
        if (e.plain() && purgeable(e, deletes_, covered)) ids.push_back(e.id);
        return true;
    });
    SequenceChanges c(*this);
    for (const ElementId& id : ids) c.isolate(*c.locate(id), 1);
}

uint64_t SequenceNode::purge(const std::function<bool(const Dot&)>& covered) {
    uint64_t count = 0;
    SequenceChanges c(*this);
    for (auto& leaf : leaves_) {
        for (Item& it : leaf->items) {
            if (it.len != 1) continue;
            Element e = it.element(0, 0);
            if (!purgeable(e, deletes_, covered)) continue;
            it.hold_node(NodePtr());
            it.width = 0;
            ++count;
        }
        c.recount(leaf.get());
    }
    for (auto& [id, l] : loose_) {
        if (!l.node) continue;
        Element e;
        e.id = id;
        e.held = Held::Node;
        e.node = l.node.get();
        if (!purgeable(e, deletes_, covered)) continue;
        l.node.reset();
        ++count;
    }
    return count;
}

void SequenceNode::for_each_node(const std::function<void(NodeState&)>& f) {
    for (Leaf* leaf = order_->first; leaf; leaf = leaf->next)
        for (Item& it : leaf->items)
            if (it.held() == Held::Node && it.node()) f(*it.node());
    for (auto& [id, l] : loose_)
        if (l.node) f(*l.node);
}

bool SequenceNode::append_text(std::string& out) const {
    if (orphans_ > 0 || order_->total_other > 0) return false;
    const size_t start = out.size();
    out.reserve(start + order_->total_bytes);
    // A leaf's characters from its items.
    auto leaf_chars = [&](const Leaf* leaf) {
        BranchText::Chars c = BranchText::kOwn;
        for (const Item& it : leaf->items) {
            if (it.deleted) continue;
            if (it.held() == Held::Char) {
                out += it.chars();
            } else if (it.held() == Held::Node && it.width) {
                out += it.node()->reg()->value->as_str();
                c = BranchText::kBorrowed;
            } else if (it.held() != Held::Node) {
                return BranchText::kNotText;
            }
        }
        return c;
    };
    return order_->each_showing_bottom(
        [&](const Leaf* leaf) {
            // The only leaf keeps its own text.
            if (const std::string* kept = leaf->text.get()) {
                out += *kept;
                return true;
            }
            const size_t from = out.size();
            const BranchText::Chars c = leaf_chars(leaf);
            if (c == BranchText::kNotText) {
                out.resize(start);
                return false;
            }
            if (c == BranchText::kOwn) leaf->text.keep(std::string_view(out).substr(from));
            return true;
        },
        [&](const OrderBranch* b) {
            const bool text = b->text.append(out, b->n, [&](uint32_t i, std::string&) {
                const Leaf* leaf = static_cast<const Leaf*>(b->child[i]);
                return b->shown[i] == 0 ? BranchText::kOwn : leaf_chars(leaf);
            });
            if (!text) out.resize(start);
            return text;
        });
}

// ---- check -------------------------------------------------------------------------------------

Status SequenceNode::check() const {
    auto bad = [](std::string what) { return fail("sequence order check: " + std::move(what)); };
    SequenceOps ops(const_cast<SequenceNode&>(*this));
    NV_CHECK(deletes_.check());
    // Structure: positions, index, counts, depths and runs.
    size_t orphans = 0;
    for (const auto& [id, l] : loose_) orphans += l.inserted;
    if (orphans != orphans_) return bad("orphan count");
    if (std::string what = order_->check(leaves_.size()); !what.empty()) return bad(what);
    uint64_t es = 0, eb = 0;  // shown elements and bytes before the leaf
    for (const Leaf* l = order_->first; l; l = l->next) {
        const Leaf& leaf = *l;
        uint64_t sh = 0, by = 0, ot = 0;
        for (const Item& it : leaf.items) {
            sh += it.shown();
            by += it.bytes();
            ot += it.other();
            auto found = ops.locate(it.first);
            if (!found || found->leaf != &leaf || &ops.item(*found) != &it || found->offset != 0)
                return bad("index of " + debug_text(it.first));
            if (it.len == 0 || (it.held() == Held::Node && it.len != 1)) return bad("item length");
            if (it.held() == Held::Char && it.chars().size() < it.len) return bad("item characters");
            if (it.held() == Held::Value && it.values().size() != it.len) return bad("item values");
            if (it.held() == Held::Node && it.width != node_width(it.node().get())) return bad("node width");
            if (it.deleted != deletes_.contains(it.first)) return bad("deletion of " + debug_text(it.first));
            for (uint32_t k = 1; k < it.len; ++k)
                if (deletes_.contains(it.id(k)) != it.deleted) return bad("deletion inside an item");
        }
        if (sh != leaf.shown || by != leaf.bytes || ot != leaf.other) return bad("leaf counts");
        if (const std::string* kept = leaf.text.get()) {
            std::string chars;
            leaf.append_own_chars(chars);
            if (chars != *kept) return bad("kept text");
        }
        uint64_t ps = 0, pb = 0;
        order_->prefix(l, ps, pb);
        if (ps != es || pb != eb) return bad("prefix sums");
        if (leaf.shown > 0) {
            uint64_t before, bytes;
            if (order_->find(es, before, bytes) != l || before != es || bytes != eb) return bad("position search");
        }
        es += leaf.shown;
        eb += leaf.bytes;
    }
    size_t indexed = 0, items = 0;
    for (const auto& [r, m] : index_) indexed += m.size();
    for (const auto& leaf : leaves_) {
        items += leaf->items.size();
        for (const Item& it : leaf->items) {
            auto rit = index_.find(it.first.dot.replica);
            Leaf* const* at = rit == index_.end() ? nullptr : rit->second.find({it.first.dot.counter, it.first.index});
            if (!at || *at != leaf.get()) return bad("index entry");
        }
    }
    if (indexed != items) return bad("index size");
    for (const auto& [r, m] : index_)
        if (!m.check()) return bad("index order");
    // Order: the elements built again from their entries walk the same way.
    std::vector<std::pair<ElementId, SequenceEntryState>> entries;
    for_each_entry([&](const Element& e, const std::optional<ElementId>& after) {
        SequenceEntryState st;
        st.after = after;
        st.inserted = e.inserted;
        if (e.plain()) {
            // Through a node of its own, as a saved state may hold it.
            st.node = NodePtr(own_register(e.plain_value(), e.id.dot));
        } else if (e.node) {
            st.node = NodePtr(*e.node);
        }
        entries.emplace_back(e.id, std::move(st));
    });
    for (size_t i = 1; i < entries.size(); ++i)
        if (!(entries[i - 1].first < entries[i].first)) return bad("entries out of order");
    SequenceNode rebuilt = from_entries(std::move(entries), deletes_);
    std::vector<std::pair<ElementId, uint32_t>> mine, theirs;
    auto depths = [](const SequenceNode& q, std::vector<std::pair<ElementId, uint32_t>>& out) {
        for (const Leaf* leaf = q.order_->first; leaf; leaf = leaf->next)
            for (const Item& it : leaf->items)
                for (uint32_t k = 0; k < it.len; ++k) out.emplace_back(it.id(k), it.depth + k);
    };
    depths(*this, mine);
    depths(rebuilt, theirs);
    if (mine != theirs) return bad("document order or depths differ from a rebuild");
    if (shown() != rebuilt.shown() || shown_bytes() != rebuilt.shown_bytes() || shown_other() != rebuilt.shown_other())
        return bad("shown counts differ from a rebuild");
    return {};
}

}  // namespace norvane::crdt
