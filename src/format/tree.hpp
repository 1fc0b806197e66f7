// In-memory JSON-shaped trees.
//
// Two kinds are used and kept apart by type:
// - Document: the generic document. Object members are unique and kept in
//   ascending byte order of their keys (a key given twice keeps its last value).
// - Content: a record read "whole" before its shape is known. Object members
//   stay exactly as written, in order, duplicates included.
// Both share one layout; numbers are held as u64 (non-negative integers), i64
// (negative integers) or f64.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace norvane {

enum class NodeKind : uint8_t { Null, Bool, U64, I64, F64, Str, Bytes, Seq, Map };

template <class Tag>
class Tree {
public:
    using Member = std::pair<std::string, Tree>;

    Tree() = default;
    static Tree null() { return Tree(); }
    static Tree boolean(bool v) { return Tree(Rep(std::in_place_index<1>, v)); }
    static Tree u64(uint64_t v) { return Tree(Rep(std::in_place_index<2>, v)); }
    static Tree i64(int64_t v) { return Tree(Rep(std::in_place_index<3>, v)); }
    // A signed integer, stored as u64 when it is not negative.
    static Tree integer(int64_t v) { return v >= 0 ? u64(uint64_t(v)) : i64(v); }
    static Tree f64(double v) { return Tree(Rep(std::in_place_index<4>, v)); }
    static Tree str(std::string v) { return Tree(Rep(std::in_place_index<5>, std::move(v))); }
    static Tree bytes(std::string v) { return Tree(Rep(std::in_place_index<6>, std::move(v))); }
    static Tree seq(std::vector<Tree> items = {}) { return Tree(Rep(std::in_place_index<7>, std::move(items))); }
    static Tree map(std::vector<Member> members = {}) { return Tree(Rep(std::in_place_index<8>, std::move(members))); }

    NodeKind kind() const { return NodeKind(rep_.index()); }
    bool is_null() const { return rep_.index() == 0; }
    bool as_bool() const { return *std::get_if<1>(&rep_); }
    uint64_t as_u64() const { return *std::get_if<2>(&rep_); }
    int64_t as_i64() const { return *std::get_if<3>(&rep_); }
    double as_f64() const { return *std::get_if<4>(&rep_); }
    // Str and Bytes.
    const std::string& as_str() const { return rep_.index() == 6 ? *std::get_if<6>(&rep_) : *std::get_if<5>(&rep_); }
    std::string& as_str() { return rep_.index() == 6 ? *std::get_if<6>(&rep_) : *std::get_if<5>(&rep_); }
    // Seq items (empty for any other kind when read).
    const std::vector<Tree>& items() const {
        static const std::vector<Tree> none;
        auto* p = std::get_if<7>(&rep_);
        return p ? *p : none;
    }
    std::vector<Tree>& items() { return *std::get_if<7>(&rep_); }
    // Map members (empty for any other kind when read).
    const std::vector<Member>& members() const {
        static const std::vector<Member> none;
        auto* p = std::get_if<8>(&rep_);
        return p ? *p : none;
    }
    std::vector<Member>& members() { return *std::get_if<8>(&rep_); }

    // First member with this key (Document: the only one), or nullptr.
    const Tree* find(std::string_view key) const {
        for (const auto& m : members())
            if (m.first == key) return &m.second;
        return nullptr;
    }

private:
    using Rep = std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string, std::string,
                             std::vector<Tree>, std::vector<Member>>;
    explicit Tree(Rep r) : rep_(std::move(r)) {}
    Rep rep_;
};

struct DocumentTag {};
struct ContentTag {};
using Document = Tree<DocumentTag>;
using Content = Tree<ContentTag>;

}  // namespace norvane
