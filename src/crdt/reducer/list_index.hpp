// Counts of the elements of long lists in a document's kept value, by a hash
// that equal values share: whether a value stands in such a list is answered
// without reading the list. Kept beside the value cache for the lists a
// document edits call after call, and brought up to date by each call's edits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "crdt/reducer/held_list.hpp"
#include "diff/patch.hpp"
#include "util/result.hpp"
#include "value/value.hpp"

namespace norvane::crdt {

// A hash that equal values share (floats by IEEE comparison: 0.0 and -0.0
// alike; NaN equals nothing, so any hash serves it).
uint64_t equality_hash(const Value& v);

class ListIndex {
public:
    // Lists shorter than this are read instead.
    static constexpr size_t kMinLength = 256;

    // How many elements of `list`, the list at `path` in the kept value, may
    // equal `v`: exact unless two hashes collide, never less. Nothing for a
    // short list. Counts the list first when it has no counts yet.
    std::optional<size_t> count(const Path& path, ListRef list, const Value& v);

    // The list at `path`, as it is now, is about to give `removed` elements
    // from `index` on way to `values`.
    void splice(const Path& path, ListRef list, size_t index, size_t removed, const ValueList& values);

    // A call begins.
    void next_call() { ++call_; }

    // The lists held, and dropping one or all.
    std::vector<Path> paths() const;
    void drop(const Path& path);
    void clear() {
        lists_.clear();
        seen_.clear();
    }

    // Compares the counts held with counts taken again from `root`, the kept
    // value; the text of the first difference.
    Status check(const Value& root) const;

private:
    // An open-addressing table from hash to count, a word a slot: the hash's
    // high bits and a count in its 20 low bits (0: an empty slot). Hashes that
    // share their high bits share a count, which only ever counts more.
    struct Counts {
        Path path;
        size_t size = 0;  // elements counted
        size_t filled = 0;
        uint64_t last_use = 0;
        std::vector<uint64_t> slots;

        void build(ListRef list);
        uint64_t get(uint64_t h) const;
        void add(uint64_t h, int64_t delta);
    };
    Counts* find(const Path& path);

    // At most this many lists are counted; the one used longest ago gives way.
    static constexpr size_t kLists = 4;
    std::vector<Counts> lists_;
    // Lists asked about but not counted yet, with the call that asked first.
    std::vector<std::pair<Path, uint64_t>> seen_;
    uint64_t clock_ = 0, call_ = 0;
};

}  // namespace norvane::crdt
