#include "value/value.hpp"

#include "util/float_text.hpp"
#include "util/sorted_pairs.hpp"
#include "util/text.hpp"

namespace norvane {

namespace {
struct EntryLess {
    bool operator()(const std::pair<std::string, Value>& e, std::string_view k) const { return KeyLess()(e.first, k); }
};
}  // namespace

const Value* Value::find(std::string_view key) const {
    const ValueMap& m = as_map();
    auto it = std::lower_bound(m.begin(), m.end(), key, EntryLess());
    if (it != m.end() && it->first == key) return &it->second;
    return nullptr;
}

Value* Value::find(std::string_view key) {
    ValueMap& m = as_map();
    auto it = std::lower_bound(m.begin(), m.end(), key, EntryLess());
    if (it != m.end() && it->first == key) return &it->second;
    return nullptr;
}

void Value::insert_or_assign(std::string key, Value v) {
    ValueMap& m = as_map();
    auto it = std::lower_bound(m.begin(), m.end(), std::string_view(key), EntryLess());
    if (it != m.end() && it->first == key) {
        it->second = std::move(v);
    } else {
        m.emplace(it, std::move(key), std::move(v));
    }
}

bool Value::erase(std::string_view key) {
    ValueMap& m = as_map();
    auto it = std::lower_bound(m.begin(), m.end(), key, EntryLess());
    if (it == m.end() || it->first != key) return false;
    m.erase(it);
    return true;
}

void Value::sort_entries(ValueMap& entries) { sort_pairs_keep_last(entries); }

namespace {

// Whether two values of one kind hold equal scalars; true for the kinds that
// are not scalars (Str, List, Map), left to the caller.
bool scalars_equal(const Value& a, const Value& b) {
    switch (a.kind()) {
        case Value::Kind::Bool: return a.as_bool() == b.as_bool();
        case Value::Kind::Int: return a.as_int() == b.as_int();
        case Value::Kind::Float: return a.as_float() == b.as_float();
        case Value::Kind::Submodel: return a.as_submodel().id == b.as_submodel().id;
        default: return true;
    }
}

}  // namespace

void Value::copy_owned(const Value& o) {
    switch (kind_) {
        case Kind::Str: new (&s_) std::string(o.s_); break;
        case Kind::List: new (&l_) ValueList(o.l_); break;
        default: new (&m_) ValueMap(o.m_); break;
    }
}

void Value::destroy_owned() noexcept {
    switch (kind_) {
        case Kind::Str: s_.~basic_string(); break;
        case Kind::List: l_.~ValueList(); break;
        default: m_.~ValueMap(); break;
    }
}

bool Value::owned_equal(const Value& a, const Value& b) {
    switch (a.kind()) {
        case Value::Kind::Str: return a.as_str() == b.as_str();
        case Value::Kind::List: {
            const auto& x = a.as_list();
            const auto& y = b.as_list();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!(x[i] == y[i])) return false;
            return true;
        }
        case Value::Kind::Map: {
            const auto& x = a.as_map();
            const auto& y = b.as_map();
            if (x.size() != y.size()) return false;
            // Most unequal maps differ in a key's length or in an entry's kind or
            // scalar, seen without reading any text: those first.
            for (size_t i = 0; i < x.size(); ++i) {
                const Value& u = x[i].second;
                const Value& v = y[i].second;
                if (x[i].first.size() != y[i].first.size() || u.kind() != v.kind() || !scalars_equal(u, v))
                    return false;
            }
            for (size_t i = 0; i < x.size(); ++i)
                if (x[i].first != y[i].first || !(x[i].second == y[i].second)) return false;
            return true;
        }
        default: return scalars_equal(a, b);
    }
}

void splice_values(ValueList& items, std::size_t at, std::size_t removed, Value* first, std::size_t count) {
    const std::size_t kept = std::min(removed, count);
    const std::size_t old = items.size();
    // Room first: when it cannot be had, nothing has changed.
    if (count > kept) items.resize(old + (count - kept));
    for (std::size_t i = 0; i < kept; ++i) items[at + i] = std::move(first[i]);
    at += kept;
    removed -= kept;
    first += kept;
    count -= kept;
    if (count > 0) {
        Value* d = items.data();
        for (std::size_t i = old; i-- > at;) d[i + count].take(d[i]);
        for (std::size_t i = 0; i < count; ++i) d[at + i].take(first[i]);
    } else if (removed > 0) {
        Value* d = items.data();
        for (std::size_t i = at; i < at + removed; ++i) d[i] = Value();
        for (std::size_t i = at + removed; i < old; ++i) d[i - removed].take(d[i]);
        items.resize(old - removed);
    }
}

bool nests_deeper_than(const Value& v, std::size_t levels) {
    switch (v.kind()) {
        case Value::Kind::List:
            if (levels == 0) return true;
            for (const Value& item : v.as_list())
                if (nests_deeper_than(item, levels - 1)) return true;
            return false;
        case Value::Kind::Map:
            if (levels == 0) return true;
            for (const auto& entry : v.as_map())
                if (nests_deeper_than(entry.second, levels - 1)) return true;
            return false;
        default: return false;
    }
}

void append_debug(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            out += "Null";
            return;
        case Value::Kind::Bool:
            out += v.as_bool() ? "Bool(true)" : "Bool(false)";
            return;
        case Value::Kind::Int:
            out += "Int(";
            append_i64(out, v.as_int());
            out += ')';
            return;
        case Value::Kind::Float:
            out += "Float(";
            append_debug_double(out, v.as_float());
            out += ')';
            return;
        case Value::Kind::Str:
            out += "Str(";
            append_debug_str(out, v.as_str());
            out += ')';
            return;
        case Value::Kind::List: {
            out += "List([";
            bool first = true;
            for (const auto& e : v.as_list()) {
                if (!first) out += ", ";
                first = false;
                append_debug(out, e);
            }
            out += "])";
            return;
        }
        case Value::Kind::Map: {
            out += "Map({";
            bool first = true;
            for (const auto& [k, e] : v.as_map()) {
                if (!first) out += ", ";
                first = false;
                append_debug_str(out, k);
                out += ": ";
                append_debug(out, e);
            }
            out += "})";
            return;
        }
        case Value::Kind::Submodel:
            out += "Submodel(ModelId(";
            append_u64(out, v.as_submodel().id);
            out += "))";
            return;
    }
}

std::string debug_text(const Value& v) {
    std::string out;
    append_debug(out, v);
    return out;
}

}  // namespace norvane
