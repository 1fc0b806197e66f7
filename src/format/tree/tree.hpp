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
#include <new>
#include <vector>

namespace norvane {

enum class NodeKind : uint8_t { Null, Bool, U64, I64, F64, Str, Bytes, Seq, Map };

template <class Tag>
class Tree {
public:
    using Member = std::pair<std::string, Tree>;

    Tree() : kind_(NodeKind::Null), u_(0) {}
    static Tree null() { return Tree(); }
    static Tree boolean(bool v) { Tree t(NodeKind::Bool); t.b_ = v; return t; }
    static Tree u64(uint64_t v) { Tree t(NodeKind::U64); t.u_ = v; return t; }
    static Tree i64(int64_t v) { Tree t(NodeKind::I64); t.i_ = v; return t; }
    // A signed integer, stored as u64 when it is not negative.
    static Tree integer(int64_t v) { return v >= 0 ? u64(uint64_t(v)) : i64(v); }
    static Tree f64(double v) { Tree t(NodeKind::F64); t.f_ = v; return t; }
    static Tree str(std::string v) {
        Tree t(NodeKind::Str);
        new (&t.s_) std::string(std::move(v));
        return t;
    }
    // A text node holding a copy of `v`, made in place.
    struct TextOf {
        std::string_view v;
    };
    explicit Tree(TextOf t) : kind_(NodeKind::Str) { new (&s_) std::string(t.v); }

    static Tree bytes(std::string v) {
        Tree t(NodeKind::Bytes);
        new (&t.s_) std::string(std::move(v));
        return t;
    }
    static Tree seq(std::vector<Tree> items = {}) {
        Tree t(NodeKind::Seq);
        new (&t.items_) std::vector<Tree>(std::move(items));
        return t;
    }
    static Tree map(std::vector<Member> members = {}) {
        Tree t(NodeKind::Map);
        new (&t.members_) std::vector<Member>(std::move(members));
        return t;
    }

    Tree(Tree&& o) noexcept : kind_(o.kind_) { move_from(std::move(o)); }
    Tree(const Tree& o) : kind_(o.kind_) { copy_from(o); }
    Tree& operator=(Tree&& o) noexcept {
        if (this != &o) {
            destroy();
            kind_ = o.kind_;
            move_from(std::move(o));
        }
        return *this;
    }
    Tree& operator=(const Tree& o) {
        if (this != &o) {
            Tree copy(o);
            *this = std::move(copy);
        }
        return *this;
    }
    ~Tree() { destroy(); }

    NodeKind kind() const { return kind_; }
    bool is_null() const { return kind_ == NodeKind::Null; }
    bool as_bool() const { return b_; }
    uint64_t as_u64() const { return u_; }
    int64_t as_i64() const { return i_; }
    double as_f64() const { return f_; }
    // Str and Bytes.
    const std::string& as_str() const { return s_; }
    std::string& as_str() { return s_; }
    // Seq items (empty for any other kind when read).
    const std::vector<Tree>& items() const {
        static const std::vector<Tree> none;
        return kind_ == NodeKind::Seq ? items_ : none;
    }
    std::vector<Tree>& items() { return items_; }
    // Map members (empty for any other kind when read).
    const std::vector<Member>& members() const {
        static const std::vector<Member> none;
        return kind_ == NodeKind::Map ? members_ : none;
    }
    std::vector<Member>& members() { return members_; }

    // First member with this key (Document: the only one), or nullptr.
    const Tree* find(std::string_view key) const {
        for (const auto& m : members())
            if (m.first == key) return &m.second;
        return nullptr;
    }

private:
    explicit Tree(NodeKind k) : kind_(k), u_(0) {}

    // Str, Bytes, Seq and Map own memory; the other kinds are their bits.
    bool owns() const { return kind_ >= NodeKind::Str; }

    void move_from(Tree&& o) noexcept {
        if (!owns()) {
            u_ = o.u_;
            return;
        }
        switch (kind_) {
            case NodeKind::Str:
            case NodeKind::Bytes: new (&s_) std::string(std::move(o.s_)); break;
            case NodeKind::Seq: new (&items_) std::vector<Tree>(std::move(o.items_)); break;
            case NodeKind::Map: new (&members_) std::vector<Member>(std::move(o.members_)); break;
            default: u_ = o.u_; break;
        }
    }
    void copy_from(const Tree& o) {
        switch (kind_) {
            case NodeKind::Str:
            case NodeKind::Bytes: new (&s_) std::string(o.s_); break;
            case NodeKind::Seq: new (&items_) std::vector<Tree>(o.items_); break;
            case NodeKind::Map: new (&members_) std::vector<Member>(o.members_); break;
            default: u_ = o.u_; break;
        }
    }
    void destroy() noexcept {
        if (owns()) destroy_owned();
        kind_ = NodeKind::Null;
    }
    void destroy_owned() noexcept {
        switch (kind_) {
            case NodeKind::Seq: items_.~vector(); break;
            case NodeKind::Map: members_.~vector(); break;
            default: s_.~basic_string(); break;
        }
    }

    NodeKind kind_;
    union {
        bool b_;
        uint64_t u_;
        int64_t i_;
        double f_;
        std::string s_;
        std::vector<Tree> items_;
        std::vector<Member> members_;
    };
};

struct DocumentTag {};
struct ContentTag {};
using Document = Tree<DocumentTag>;
using Content = Tree<ContentTag>;

}  // namespace norvane
