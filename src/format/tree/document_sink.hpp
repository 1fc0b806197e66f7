// Sinks of the document walkers.
//
// A walker reads one generic document from one input format (json::walk over
// JSON text, cbor::walk, msgpack::walk) and hands it to a sink as it reads; a
// sink builds a tree or writes one output format. Every walker and every sink
// speak this one interface:
//
//   null_(), boolean(b), u64(v), i64(v) (v < 0), f64(v) (finite), text(view)
//   begin_array(room) -> Token, element(token&, index), end_array(token, count)
//   begin_map(room) -> Token, key(token&, index, view), end_map(token, count)
//
// element() comes before each element's value and key() is each member's key,
// before its value; index counts from 0 within the container and count is the
// number of elements or members read. `room` is a bound on the count that is
// safe to reserve (0 when unknown). A view is valid during the call only,
// unless it lies inside the walker's input. A failed walk leaves the sink part
// way; the caller drops it.
//
// The sinks here are the format-free ones: TreeSink builds a Document or a
// Content tree, SkimSink only notes what the item is, JsonSink writes compact
// JSON. The binary writers live with
// their formats (cbor/writer_sink.hpp, msgpack/writer_sink.hpp), on top of
// SortedBinarySink below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "format/tree/gather.hpp"
#include "format/tree/tree.hpp"
#include "util/float_text.hpp"
#include "util/sorted_pairs.hpp"
#include "util/text.hpp"

namespace norvane {

inline bool view_inside(std::string_view v, std::string_view input) {
    return v.data() >= input.data() && v.data() + v.size() <= input.data() + input.size();
}

// Builds a tree. Every value lands in the slot that `mode_` names: the root,
// a new element of the innermost array, or the value of the last key of the
// innermost object. Sorted: object members in member order (ascending keys,
// the last of equal keys kept); otherwise as read.
template <class T, bool Sorted>
class TreeSink {
public:
    explicit TreeSink(std::string_view input) : input_(input) {}
    TreeSink(const TreeSink&) = delete;
    TreeSink& operator=(const TreeSink&) = delete;

    T take() { return std::move(root_); }

    void null_() { put(T::null()); }
    void boolean(bool v) { put(T::boolean(v)); }
    void u64(uint64_t v) { put(T::u64(v)); }
    void i64(int64_t v) { put(T::i64(v)); }
    void f64(double v) { put(T::f64(v)); }
    void text(std::string_view v) {
        // Made where it stays, without a temporary string.
        const typename T::TextOf t{v};
        switch (mode_) {
            case kItem: stacks_->items.emplace_back(t); return;
            case kMember: {
                T& slot = stacks_->members.back().value;  // null
                slot.~T();
                new (&slot) T(t);
                return;
            }
            default: root_ = T(t); return;
        }
    }

    struct Token {
        size_t base;
        size_t owned;  // Map: the owned key text before this object
        uint8_t mode;
    };
    Token begin_array(size_t) {
        Token t{stacks_->items.size(), 0, mode_};
        mode_ = kItem;
        return t;
    }
    void element(Token&, size_t) {}
    void end_array(Token t, size_t) {
        auto& items = stacks_->items;
        std::vector<T> out(std::make_move_iterator(items.begin() + std::ptrdiff_t(t.base)),
                           std::make_move_iterator(items.end()));
        items.erase(items.begin() + std::ptrdiff_t(t.base), items.end());
        mode_ = t.mode;
        put(T::seq(std::move(out)));
    }
    Token begin_map(size_t) {
        Token t{stacks_->members.size(), stacks_->owned_keys.size(), mode_};
        mode_ = kMember;
        return t;
    }
    void key(Token&, size_t, std::string_view k) {
        if (view_inside(k, input_)) {
            stacks_->members.push_back(Gathered<T>{k.data(), 0, k.size(), T()});
        } else {
            stacks_->members.push_back(Gathered<T>{nullptr, stacks_->owned_keys.size(), k.size(), T()});
            stacks_->owned_keys.append(k);
        }
    }
    void end_map(Token t, size_t) {
        auto& members = stacks_->members;
        Gathered<T>* begin = members.data() + t.base;
        const size_t n = members.size() - t.base;
        const char* owned = stacks_->owned_keys.data();
        for (size_t i = 0; i < n; ++i)
            if (!begin[i].key) begin[i].key = owned + begin[i].key_off;
        std::vector<typename T::Member> out;
        if constexpr (Sorted) {
            auto positions = sorted_unique_positions(n, [&](uint32_t k) { return key_of(begin[k]); }, stacks_->order);
            out.reserve(positions.size());
            for (uint32_t k : positions) emit(out, begin[k]);
        } else {
            out.reserve(n);
            for (size_t k = 0; k < n; ++k) emit(out, begin[k]);
        }
        members.erase(members.begin() + std::ptrdiff_t(t.base), members.end());
        stacks_->owned_keys.resize(t.owned);
        mode_ = t.mode;
        put(T::map(std::move(out)));
    }

private:
    static constexpr uint8_t kRoot = 0, kItem = 1, kMember = 2;

    static std::string_view key_of(const Gathered<T>& g) { return {g.key, g.key_len}; }

    static void emit(std::vector<typename T::Member>& out, Gathered<T>& g) {
        out.emplace_back(std::piecewise_construct, std::forward_as_tuple(g.key, g.key_len),
                         std::forward_as_tuple(std::move(g.value)));
    }

    void put(T&& v) {
        switch (mode_) {
            case kItem: stacks_->items.push_back(std::move(v)); return;
            case kMember: stacks_->members.back().value = std::move(v); return;
            default: root_ = std::move(v); return;
        }
    }

    std::string_view input_;
    GatherLease<T> stacks_;
    T root_;
    uint8_t mode_ = kRoot;
};

// Keeps nothing but what the walked item is: its kind and, for an unsigned
// integer or a text, its value (a view of the input). It asks the walker for
// the plain forms only (kPlainOnly: each walker says which), so a reader that
// reads an item of those forms by its own means reads it as the document
// would; walking with it is how such a reader finds where an item ends.
class SkimSink {
public:
    static constexpr bool kPlainOnly = true;
    enum class Kind : uint8_t { Null, Bool, U64, I64, F64, Text, Array, Map };

    Kind kind() const { return kind_; }
    uint64_t u64_value() const { return u_; }
    std::string_view text_value() const { return text_; }

    void null_() { top(Kind::Null); }
    void boolean(bool) { top(Kind::Bool); }
    void u64(uint64_t v) {
        if (top(Kind::U64)) u_ = v;
    }
    void i64(int64_t) { top(Kind::I64); }
    void f64(double) { top(Kind::F64); }
    void text(std::string_view v) {
        if (top(Kind::Text)) text_ = v;
    }

    struct Token {};
    Token begin_array(size_t) {
        top(Kind::Array);
        ++depth_;
        return {};
    }
    void element(Token&, size_t) {}
    void end_array(Token, size_t) { --depth_; }
    Token begin_map(size_t) {
        top(Kind::Map);
        ++depth_;
        return {};
    }
    void key(Token&, size_t, std::string_view) {}
    void end_map(Token, size_t) { --depth_; }

private:
    bool top(Kind k) {
        if (depth_ != 0) return false;
        kind_ = k;
        return true;
    }

    Kind kind_ = Kind::Null;
    uint64_t u_ = 0;
    std::string_view text_;
    size_t depth_ = 0;
};

// Writes compact JSON as the document arrives, object members in member
// order: an object whose keys do not arrive strictly ascending has its
// members rewritten when it ends.
class JsonSink {
public:
    JsonSink(std::string& out, std::string_view input) : out_(out), input_(input) {}

    void null_() { out_.append("null", 4); }
    void boolean(bool v) { v ? out_.append("true", 4) : out_.append("false", 5); }
    void u64(uint64_t v) {
        if (v < 10) {
            out_.push_back(char('0' + v));
        } else {
            append_u64(out_, v);
        }
    }
    void i64(int64_t v) { append_i64(out_, v); }
    void f64(double v) { append_json_double(out_, v); }
    void text(std::string_view v) { append_json_string(out_, v); }

    struct Token {
        size_t base;   // the object's first member in members_
        bool ordered;  // keys strictly ascending so far
    };
    Token begin_array(size_t) {
        out_.push_back('[');
        return Token{0, true};
    }
    void element(Token&, size_t index) {
        if (index) out_.push_back(',');
    }
    void end_array(Token, size_t) { out_.push_back(']'); }

    Token begin_map(size_t) {
        out_.push_back('{');
        return Token{members_.size(), true};
    }
    void key(Token& t, size_t index, std::string_view k) {
        if (index) {
            Member& last = members_.back();
            last.end = out_.size();
            out_.push_back(',');
            if (t.ordered && !(last.key < k)) t.ordered = false;
        }
        if (!view_inside(k, input_)) k = owned_keys_.emplace_back(k);
        members_.push_back(Member{k, out_.size(), 0});
        append_json_string(out_, k);
        out_.push_back(':');
    }
    void end_map(Token t, size_t count) {
        if (count) {
            members_.back().end = out_.size();
            if (!t.ordered) {
                const Member* m = members_.data() + t.base;
                rewrite_members(
                    out_, count, [&](uint32_t i) { return m[i].key; }, [&](uint32_t i) { return m[i].start; },
                    [&](uint32_t i) { return m[i].end; }, ",", scratch_);
            }
        }
        members_.resize(t.base);
        out_.push_back('}');
    }

private:
    struct Member {
        std::string_view key;
        size_t start, end;  // the member ("key":value) in the output
    };

    std::string& out_;
    std::string_view input_;
    std::vector<Member> members_;  // members of the open objects, innermost last
    std::deque<std::string> owned_keys_;  // keys that do not lie in the input (stable addresses)
    RewriteScratch scratch_;
};

// The container and member logic of the binary writers: containers get a
// one-byte header that is widened once the count is known, and an object's
// members are rewritten in member order when their keys did not arrive
// strictly ascending. Format provides the scalar writers and:
//   static size_t write_key(std::string& out, std::string_view k): writes
//     the key, returns the offset of its bytes;
//   static void finish_array(std::string& out, size_t at, size_t count),
//   static void finish_map(std::string& out, size_t at, size_t count):
//     replace the placeholder byte at `at` by the header.
template <class Format>
class SortedBinarySink {
public:
    explicit SortedBinarySink(std::string& out) : out_(out) {}

    void null_() { Format::null_(out_); }
    void boolean(bool v) { Format::boolean(out_, v); }
    void u64(uint64_t v) { Format::u64(out_, v); }
    void i64(int64_t v) { Format::i64(out_, v); }
    void f64(double v) { Format::f64(out_, v); }
    void text(std::string_view v) { Format::text(out_, v); }

    struct Token {
        size_t header;  // the placeholder byte
        size_t base;    // Map: the first member in members_
        bool ordered;   // Map: keys strictly ascending so far
    };
    Token begin_array(size_t) {
        out_.push_back('\0');
        return Token{out_.size() - 1, 0, true};
    }
    void element(Token&, size_t) {}
    void end_array(Token t, size_t count) { Format::finish_array(out_, t.header, count); }

    Token begin_map(size_t) {
        out_.push_back('\0');
        return Token{out_.size() - 1, members_.size(), true};
    }
    void key(Token& t, size_t index, std::string_view k) {
        if (index) {
            Member& last = members_.back();
            last.end = out_.size();
            if (t.ordered && !(key_at(last) < k)) t.ordered = false;
        }
        const size_t start = out_.size();
        const size_t at = Format::write_key(out_, k);
        members_.push_back(Member{at, k.size(), start, 0});
    }
    void end_map(Token t, size_t count) {
        if (count) {
            members_.back().end = out_.size();
            if (!t.ordered) {
                const Member* m = members_.data() + t.base;
                count = rewrite_members(
                    out_, count, [&](uint32_t i) { return key_at(m[i]); }, [&](uint32_t i) { return m[i].start; },
                    [&](uint32_t i) { return m[i].end; }, "", scratch_);
            }
        }
        members_.resize(t.base);
        Format::finish_map(out_, t.header, count);
    }

private:
    struct Member {
        size_t key_off, key_len;  // the key's bytes in the output
        size_t start, end;        // the member (key and value) in the output
    };

    std::string_view key_at(const Member& m) const { return {out_.data() + m.key_off, m.key_len}; }

    std::string& out_;
    std::vector<Member> members_;  // members of the open maps, innermost last
    RewriteScratch scratch_;
};

}  // namespace norvane
