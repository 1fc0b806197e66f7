#include "format/document.hpp"

#include <algorithm>

#include "format/json/walk.hpp"
#include "util/float_text.hpp"
#include "util/text.hpp"

namespace norvane {

using de::DeResult;
using json::Reader;
namespace msg = json::msg;

namespace {

// Sorts members by key; of equal keys the one given last stays.
template <class Member>
Member* sort_members(Member* begin, Member* end) {
    const size_t n = size_t(end - begin);
    bool sorted_unique = true;
    for (size_t i = 1; i < n; ++i) {
        if (!(begin[i - 1].first < begin[i].first)) {
            sorted_unique = false;
            break;
        }
    }
    if (sorted_unique) return end;
    if (n <= 24) {
        // Stable insertion sort: small objects are the common case.
        for (size_t i = 1; i < n; ++i) {
            if (!(begin[i].first < begin[i - 1].first)) continue;
            Member tmp = std::move(begin[i]);
            size_t j = i;
            while (j > 0 && tmp.first < begin[j - 1].first) {
                begin[j] = std::move(begin[j - 1]);
                --j;
            }
            begin[j] = std::move(tmp);
        }
    } else {
        std::stable_sort(begin, end, [](const Member& a, const Member& b) { return a.first < b.first; });
    }
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i + 1 < n && begin[i + 1].first == begin[i].first) continue;
        if (out != i) begin[out] = std::move(begin[i]);
        ++out;
    }
    return begin + out;
}

// The children of the open containers, innermost last, kept from read to read
// on each thread: a container's children gather there and move once into a
// vector of exactly their number.
template <class T>
struct TreeStacks {
    std::vector<T> items;
    std::vector<typename T::Member> members;
    bool busy = false;
};

// Larger stacks are not kept between reads.
constexpr size_t kKeepItems = size_t(1) << 13;

template <class T>
TreeStacks<T>& thread_stacks() {
    thread_local TreeStacks<T> stacks;
    return stacks;
}

// Builds a tree from the walker's calls. Every value lands in the slot that
// `mode_` names: the root, a new element of the innermost array, or the
// value of the last key of the innermost object.
template <class T, bool Sorted>
class TreeSink {
public:
    TreeSink() {
        TreeStacks<T>& shared = thread_stacks<T>();
        if (!shared.busy) {
            shared.busy = true;
            shared_ = &shared;
            stacks_ = &shared;
        } else {
            stacks_ = &own_;
        }
    }
    ~TreeSink() {
        stacks_->items.clear();
        stacks_->members.clear();
        if (shared_) {
            if (shared_->items.capacity() > kKeepItems) std::vector<T>().swap(shared_->items);
            if (shared_->members.capacity() > kKeepItems) std::vector<typename T::Member>().swap(shared_->members);
            shared_->busy = false;
        }
    }
    TreeSink(const TreeSink&) = delete;
    TreeSink& operator=(const TreeSink&) = delete;

    T take() { return std::move(root_); }

    void null_() { put(T::null()); }
    void boolean(bool v) { put(T::boolean(v)); }
    void u64(uint64_t v) { put(T::u64(v)); }
    void i64(int64_t v) { put(T::i64(v)); }
    void f64(double v) { put(T::f64(v)); }
    void text(std::string_view v) { put(T::str(std::string(v))); }

    struct Token {
        size_t base;
        uint8_t mode;
    };
    Token begin_array() {
        Token t{stacks_->items.size(), mode_};
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
        Token t{stacks_->members.size(), mode_};
        mode_ = kMember;
        return t;
    }
    void key(std::string_view k) { stacks_->members.emplace_back(std::string(k), T()); }
    void end_map(Token t, size_t) {
        auto& members = stacks_->members;
        auto* begin = members.data() + t.base;
        auto* end = members.data() + members.size();
        if constexpr (Sorted) end = sort_members(begin, end);
        std::vector<typename T::Member> out(std::make_move_iterator(begin), std::make_move_iterator(end));
        members.erase(members.begin() + std::ptrdiff_t(t.base), members.end());
        mode_ = t.mode;
        put(T::map(std::move(out)));
    }

private:
    static constexpr uint8_t kRoot = 0, kItem = 1, kMember = 2;

    void put(T&& v) {
        switch (mode_) {
            case kItem: stacks_->items.push_back(std::move(v)); return;
            case kMember: stacks_->members.back().second = std::move(v); return;
            default: root_ = std::move(v); return;
        }
    }

    TreeStacks<T>* stacks_;
    TreeStacks<T>* shared_ = nullptr;
    TreeStacks<T> own_;
    T root_;
    uint8_t mode_ = kRoot;
};

// Reads one value into a tree; Sorted: object members sorted, last duplicate wins.
template <class T, bool Sorted>
DeResult<T> read_tree(Reader& r) {
    TreeSink<T, Sorted> sink;
    NV_CHECK(json::walk(r, sink));
    return sink.take();
}

template <class T>
void write_tree(std::string& out, const T& d) {
    switch (d.kind()) {
        case NodeKind::Null: out += "null"; return;
        case NodeKind::Bool: out += d.as_bool() ? "true" : "false"; return;
        case NodeKind::U64: append_u64(out, d.as_u64()); return;
        case NodeKind::I64: append_i64(out, d.as_i64()); return;
        case NodeKind::F64: {
            double f = d.as_f64();
            if (f - f == 0) {
                append_json_double(out, f);
            } else {
                out += "null";
            }
            return;
        }
        case NodeKind::Str:
        case NodeKind::Bytes:
            append_json_string(out, d.as_str());
            return;
        case NodeKind::Seq: {
            out += '[';
            bool first = true;
            for (const auto& e : d.items()) {
                if (!first) out += ',';
                first = false;
                write_tree(out, e);
            }
            out += ']';
            return;
        }
        case NodeKind::Map: {
            out += '{';
            bool first = true;
            for (const auto& [k, v] : d.members()) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, k);
                out += ':';
                write_tree(out, v);
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

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
