// The deletions of a sequence's elements: for each deleted element, the dots
// of the operations that deleted it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "crdt/reducer/dots.hpp"
#include "util/result.hpp"

namespace norvane::crdt {

// The dots of the deletions of one element, ascending; the first held inline,
// as most elements are deleted once.
class DeleteDots {
public:
    DeleteDots() = default;
    explicit DeleteDots(const DotSet& dots) {
        for (const Dot& d : dots) insert(d);
    }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    const Dot* begin() const { return size_ <= 1 ? &one_ : many_.data(); }
    const Dot* end() const { return begin() + size_; }
    bool contains(const Dot& d) const { return std::binary_search(begin(), end(), d); }
    // Adds `d`; false when it was there.
    bool insert(const Dot& d) {
        if (contains(d)) return false;
        if (size_ == 0) {
            one_ = d;
        } else {
            if (size_ == 1) {
                many_.reserve(2);
                many_.push_back(one_);
            }
            many_.insert(std::lower_bound(many_.begin(), many_.end(), d), d);
        }
        ++size_;
        return true;
    }
    // Allocates nothing.
    void erase(const Dot& d) {
        if (!contains(d)) return;
        if (size_ == 1) {
            size_ = 0;
            return;
        }
        many_.erase(std::lower_bound(many_.begin(), many_.end(), d));
        if (--size_ == 1) {
            one_ = many_.front();
            many_.clear();
        }
    }

private:
    Dot one_;
    std::vector<Dot> many_;  // all of them, once there are two or more
    size_t size_ = 0;
};

// Most elements are deleted once, and neighbours together: one operation
// deletes a selection, backspaces and forward deletions take one typed
// character after another. Elements deleted once are kept as runs: ids that
// count up by index (one insertion of several values) or by counter (one-value
// insertions), whose deletion dots are one dot or count up or down by one. An
// element deleted more than once keeps its dots on their own.
class Deletions {
public:
    bool empty() const { return elements_ == 0; }
    bool contains(const ElementId& id) const;
    // The dots that deleted `id`; empty when it was not deleted.
    DeleteDots dots(const ElementId& id) const;

    enum class Added : uint8_t {
        Already,  // `dot` deleted `id` already
        More,     // `id` was deleted before, by other operations
        First,    // `id` was not deleted before
    };
    // Adds `dot` to the deletions of `id`. When it cannot have the memory it
    // needs, it throws and nothing has changed.
    Added add(const ElementId& id, const Dot& dot);
    // The same for an id extend_last_many has just not taken.
    Added add_not_last(const ElementId& id, const Dot& dot);
    // Adds `dot` to the deletions of as many of `ids`, from the first on, as
    // it can put at the end of the run the last new deletion went to, when
    // they are not deleted and that is where `add` would put them: the
    // elements of a selection, deleted one after the other. Returns how many
    // (each is new); allocates nothing.
    size_t extend_last_many(std::span<const ElementId> ids, const Dot& dot);
    // Takes back the newest `add` of `dot` to `id` still standing, which
    // gave First when `first`; allocates nothing.
    void take_back(const ElementId& id, const Dot& dot, bool first);
    // Takes the deletions a saved state lists for `id`; none counts it as
    // deleted by no operation.
    template <class Dots>
    void load(const ElementId& id, const Dots& dots) {
        if (dots.empty()) add_undotted(id);
        for (const Dot& d : dots) add(id, d);
    }

    // Every deleted element in ascending id order, with its dots.
    void for_each(const std::function<void(const ElementId&, const DeleteDots&)>& f) const;

    // Runs that do not overlap, dots that count as they should, and the
    // number of elements; the text of the first fault.
    Status check() const;

private:
    // `len` elements from the run's key (of the replica the map is for): ids
    // counting up by counter in a counter map, by index in an index map; the
    // dot of element k is `dot` with its counter moved by k * step.
    struct Run {
        uint32_t len = 1;
        int8_t step = 0;
        Dot dot;
    };
    using ByCounter = std::map<uint64_t, Run>;
    using ByIndex = std::map<std::pair<uint64_t, uint32_t>, Run>;
    struct PerReplica {
        // By counter: runs of index-0 ids counting up by counter.
        ByCounter by_counter;
        // By (counter, index): runs counting up by index, and single elements.
        ByIndex by_index;
        // No id in the runs has a greater counter: the elements an insertion
        // brings, newer than any deletion, are answered at once.
        uint64_t top = 0;
    };
    // Where an element stands in a run.
    struct Found {
        PerReplica* per = nullptr;
        bool by_counter = false;
        uint64_t counter = 0;  // the run's key
        uint32_t index = 0;
        Run* run = nullptr;  // null: in no run
        uint32_t k = 0;      // the element's offset in it
    };
    Found find(const ElementId& id) const;
    // The runs that start right after an element of `p`'s replica: by index,
    // and by counter (for an element of index 0; the end otherwise). Those
    // before them are the ones that may hold it or end right before it.
    struct Around {
        ByIndex::iterator index;
        ByCounter::iterator counter;
    };
    static Around around(PerReplica& p, const ElementId& id);
    // The run of `around` that holds the element, if one does.
    static Found found_at(PerReplica& p, const ElementId& id, const Around& a);
    // The dot that deleted the element at `f`.
    static Dot dot_of(const Found& f);
    void add_undotted(const ElementId& id);
    // Takes the element at `f` out of its run: the run shrinks at an end, or
    // splits in two (which allocates, before anything changes).
    void cut(const Found& f);
    // Puts a new deletion of an element no run holds at an end of a run it
    // continues, or as a run of its own; `a` is around the element.
    void place(PerReplica& p, const ElementId& id, const Dot& dot, const Around& a);
    // Puts the deletion by `dot` of the element after `run`'s last (of
    // `counter`) at its end, when `dot` continues the run's dots.
    bool grow(PerReplica& p, Run& run, uint64_t counter, const Dot& dot);

    std::unordered_map<Replica, PerReplica> runs_;
    std::map<ElementId, DeleteDots> many_;  // elements deleted more than once (or by none)
    size_t elements_ = 0;
    // No deleted element has a greater counter: the elements an insertion
    // brings are answered without a look-up.
    uint64_t top_ = 0;
    // The run the last new deletion went to, by its key: a hint, checked
    // before it is used.
    struct Last {
        Replica replica = nullptr;
        bool by_counter = false;
        std::pair<uint64_t, uint32_t> key;
        // The element right after the run's last, when it was set: an id that
        // is not this one does not continue the run, and is told at once.
        ElementId next;
    };
    Last last_;
    // The run of `len` elements at `key` is the one the last new deletion went to.
    void set_last(Replica r, bool by_counter, std::pair<uint64_t, uint32_t> key, uint32_t len) {
        last_ = Last{r, by_counter, key,
                     by_counter ? ElementId{Dot{key.first + len, r}, 0} : ElementId{Dot{key.first, r}, key.second + len}};
    }
};

}  // namespace norvane::crdt
