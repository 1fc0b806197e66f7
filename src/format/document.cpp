#include "format/document.hpp"
#include "util/sorted_pairs.hpp"

#include <algorithm>
#include <tuple>

#include "format/gather.hpp"
#include "format/json/append.hpp"
#include "format/json/walk.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
using json::Reader;
namespace msg = json::msg;

namespace {

// Builds a tree from the walker's calls. Every value lands in the slot that
// `mode_` names: the root, a new element of the innermost array, or the
// value of the last key of the innermost object.
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
    Token begin_array() {
        Token t{stacks_->items.size(), 0, mode_};
        mode_ = kItem;
        return t;
    }
    void end_array(Token t, size_t) {
        auto& items = stacks_->items;
        std::vector<T> out(std::make_move_iterator(items.begin() + std::ptrdiff_t(t.base)),
                           std::make_move_iterator(items.end()));
        items.erase(items.begin() + std::ptrdiff_t(t.base), items.end());
        mode_ = t.mode;
        put(T::seq(std::move(out)));
    }
    Token begin_map() {
        Token t{stacks_->members.size(), stacks_->owned_keys.size(), mode_};
        mode_ = kMember;
        return t;
    }
    void key(std::string_view k) {
        if (k.data() >= input_.data() && k.data() + k.size() <= input_.data() + input_.size()) {
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

// Reads one value into a tree; Sorted: object members sorted, last duplicate wins.
template <class T, bool Sorted>
DeResult<T> read_tree(Reader& r) {
    TreeSink<T, Sorted> sink(r.input());
    NV_CHECK(json::walk(r, sink));
    return sink.take();
}

template <class T>
void write_tree(std::string& out, const T& d) {
    switch (d.kind()) {
        case NodeKind::Null: json::append_lit(out, "null"); return;
        case NodeKind::Bool:
            if (d.as_bool()) {
                json::append_lit(out, "true");
            } else {
                json::append_lit(out, "false");
            }
            return;
        case NodeKind::U64:
            json::append_with(out, 20, [&](char* p) { return json::put_u64(p, d.as_u64()); });
            return;
        case NodeKind::I64:
            json::append_with(out, 20, [&](char* p) { return json::put_i64(p, d.as_i64()); });
            return;
        case NodeKind::F64: {
            double f = d.as_f64();
            if (f - f == 0) {
                append_json_double(out, f);
            } else {
                json::append_lit(out, "null");
            }
            return;
        }
        case NodeKind::Str:
        case NodeKind::Bytes:
            append_json_string(out, d.as_str());
            return;
        case NodeKind::Seq: {
            json::append_char(out, '[');
            bool first = true;
            for (const auto& e : d.items()) {
                if (!first) json::append_char(out, ',');
                first = false;
                write_tree(out, e);
            }
            json::append_char(out, ']');
            return;
        }
        case NodeKind::Map: {
            json::append_char(out, '{');
            bool first = true;
            for (const auto& [k, v] : d.members()) {
                if (!first) json::append_char(out, ',');
                first = false;
                append_json_string(out, k);
                json::append_char(out, ':');
                write_tree(out, v);
            }
            json::append_char(out, '}');
            return;
        }
    }
}

}  // namespace

Document document_from_content(Content&& c) {
    switch (c.kind()) {
        case NodeKind::Null: return Document::null();
        case NodeKind::Bool: return Document::boolean(c.as_bool());
        case NodeKind::U64: return Document::u64(c.as_u64());
        case NodeKind::I64: return Document::i64(c.as_i64());
        case NodeKind::F64: return Document::f64(c.as_f64());
        case NodeKind::Str: return Document::str(std::move(c.as_str()));
        case NodeKind::Bytes: return Document::bytes(std::move(c.as_str()));
        case NodeKind::Seq: {
            std::vector<Document> items;
            items.reserve(c.items().size());
            for (Content& e : c.items()) items.push_back(document_from_content(std::move(e)));
            return Document::seq(std::move(items));
        }
        case NodeKind::Map: {
            std::vector<Document::Member> members;
            members.reserve(c.members().size());
            for (auto& [k, v] : c.members()) members.emplace_back(std::move(k), document_from_content(std::move(v)));
            sort_pairs_keep_last(members);
            return Document::map(std::move(members));
        }
    }
    return Document::null();
}

DeResult<Document> read_document(Reader& r) { return read_tree<Document, true>(r); }
DeResult<Content> read_content(Reader& r) { return read_tree<Content, false>(r); }

Result<Document> parse_document(std::string_view text, bool check_utf8) {
    Reader r(text, check_utf8);
    auto doc = read_document(r);
    if (!doc) return fail(de::json_error_text(doc.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return std::move(*doc);
}

void write_json(std::string& out, const Document& doc) { write_tree(out, doc); }
void write_json(std::string& out, const Content& doc) { write_tree(out, doc); }

}  // namespace norvane
