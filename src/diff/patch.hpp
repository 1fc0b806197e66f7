// Patches: a revision and the ordered structural operations that lead to it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "value/value.hpp"

namespace norvane {

// One step of a path: a map key or a list position.
struct PathSeg {
    enum class Kind : uint8_t { Key, Index };
    static constexpr std::string_view kNames[] = {"Key", "Index"};
    Kind kind = Kind::Key;
    std::string key;     // Key
    uint64_t index = 0;  // Index

    static PathSeg make_key(std::string k) { return PathSeg{Kind::Key, std::move(k), 0}; }
    static PathSeg make_index(uint64_t i) { return PathSeg{Kind::Index, {}, i}; }
    friend bool operator==(const PathSeg&, const PathSeg&) = default;
};

using Path = std::vector<PathSeg>;

struct Op {
    // Variant order is the variant index the readers accept.
    enum class Kind : uint8_t { Set, Remove, Insert, RemoveAt, Move, Reorder };
    static constexpr std::string_view kNames[] = {"Set", "Remove", "Insert", "RemoveAt", "Move", "Reorder"};

    Kind kind = Kind::Set;
    Path path;
    Value value;                 // Set, Insert
    uint64_t index = 0;          // Insert, RemoveAt
    uint64_t from = 0, to = 0;   // Move
    std::vector<uint64_t> order; // Reorder
};

struct Patch {
    uint64_t rev = 0;
    std::vector<Op> ops;
};

}  // namespace norvane
