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
#include <vector>

namespace norvane {

enum class NodeKind : uint8_t { Null, Bool, U64, I64, F64, Str, Bytes, Seq, Map };

template <class Tag>
class Tree {
public:
    using Member = std::pair<std::string, Tree>;

    Tree() = default;
    static Tree null() { return Tree(); }
    static Tree boolean(bool v) { Tree t(NodeKind::Bool); t.num_.b = v; return t; }
    static Tree u64(uint64_t v) { Tree t(NodeKind::U64); t.num_.u = v; return t; }
    static Tree i64(int64_t v) { Tree t(NodeKind::I64); t.num_.i = v; return t; }
    // A signed integer, stored as u64 when it is not negative.
    static Tree integer(int64_t v) { return v >= 0 ? u64(uint64_t(v)) : i64(v); }
    static Tree f64(double v) { Tree t(NodeKind::F64); t.num_.f = v; return t; }
    static Tree str(std::string v) { Tree t(NodeKind::Str); t.str_ = std::move(v); return t; }
    static Tree bytes(std::string v) { Tree t(NodeKind::Bytes); t.str_ = std::move(v); return t; }
    static Tree seq(std::vector<Tree> items = {}) { Tree t(NodeKind::Seq); t.items_ = std::move(items); return t; }
    static Tree map(std::vector<Member> members = {}) { Tree t(NodeKind::Map); t.members_ = std::move(members); return t; }

    NodeKind kind() const { return kind_; }
    bool is_null() const { return kind_ == NodeKind::Null; }
    bool as_bool() const { return num_.b; }
    uint64_t as_u64() const { return num_.u; }
    int64_t as_i64() const { return num_.i; }
    double as_f64() const { return num_.f; }
    const std::string& as_str() const { return str_; }
    std::string& as_str() { return str_; }
    const std::vector<Tree>& items() const { return items_; }
    std::vector<Tree>& items() { return items_; }
    const std::vector<Member>& members() const { return members_; }
    std::vector<Member>& members() { return members_; }

    // First member with this key (Document: the only one), or nullptr.
    const Tree* find(std::string_view key) const {
        for (const auto& m : members_)
            if (m.first == key) return &m.second;
        return nullptr;
    }

private:
    explicit Tree(NodeKind k) : kind_(k) {}

    NodeKind kind_ = NodeKind::Null;
    union {
        bool b;
        uint64_t u;
        int64_t i;
        double f;
    } num_{.u = 0};
    std::string str_;
    std::vector<Tree> items_;
    std::vector<Member> members_;
};

struct DocumentTag {};
struct ContentTag {};
using Document = Tree<DocumentTag>;
using Content = Tree<ContentTag>;

}  // namespace norvane
