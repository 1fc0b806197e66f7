// Counts of the elements of long lists in a document's kept value, by a hash
// that equal values share: whether a value stands in such a list is answered
// without reading the list. Kept beside the value cache for the lists a
// document edits call after call, and brought up to date by each call's edits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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
    std::optional<size_t> count(const Path& path, const ValueList& list, const Value& v);

    // The list at `path`, as it is now, is about to give `removed` elements
    // from `index` on way to `values`.
    void splice(const Path& path, const ValueList& list, size_t index, size_t removed, const ValueList& values);

    // The lists held, and dropping one or all.
    std::vector<Path> paths() const;
    void drop(const Path& path);
    void clear() { lists_.clear(); }

    // Compares the counts held with counts taken again from `root`, the kept
    // value; the text of the first difference.
    Status check(const Value& root) const;

private:
    // An open-addressing table from hash to count.
    struct Counts {
        struct Slot {
            uint64_t hash = 0;
            uint32_t count = 0;
            bool used = false;
        };
        Path path;
        size_t size = 0;  // elements counted
        size_t filled = 0;
        uint64_t last_use = 0;
        std::vector<Slot> slots;

        void build(const ValueList& list);
        uint32_t get(uint64_t h) const;
        void add(uint64_t h, int delta);
    };
    Counts* find(const Path& path);

    // At most this many lists are counted; the one used longest ago gives way.
    static constexpr size_t kLists = 4;
    std::vector<Counts> lists_;
    uint64_t clock_ = 0;
};

}  // namespace norvane::crdt
