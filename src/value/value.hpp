// Model values: a JSON-like tree of eight kinds, one of which refers to another
// hosted model by id.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <new>
#include <vector>

namespace norvane {

struct ModelId {
    uint64_t id = 0;
    friend bool operator==(ModelId a, ModelId b) { return a.id == b.id; }
};

class Value;

// Map entries, unique keys in ascending byte order.
using ValueMap = std::vector<std::pair<std::string, Value>>;
using ValueList = std::vector<Value>;

class Value {
public:
    // Kind order is the variant index the readers accept.
    enum class Kind : uint8_t { Null, Bool, Int, Float, Str, List, Map, Submodel };
    static constexpr std::string_view kNames[] = {"Null", "Bool", "Int", "Float", "Str", "List", "Map", "Submodel"};

    Value() noexcept : kind_(Kind::Null), raw_(0) {}
    static Value null() { return Value(); }
    static Value boolean(bool v) {
        Value x(Kind::Bool);
        x.b_ = v;
        return x;
    }
    static Value integer(int64_t v) {
        Value x(Kind::Int);
        x.i_ = v;
        return x;
    }
    static Value float_(double v) {
        Value x(Kind::Float);
        x.f_ = v;
        return x;
    }
    static Value str(std::string v) {
        Value x(Kind::Str);
        new (&x.s_) std::string(std::move(v));
        return x;
    }
    static Value str(std::string_view v) {
        Value x(Kind::Str);
        new (&x.s_) std::string(v);
        return x;
    }
    static Value str(const char* v) { return str(std::string_view(v)); }
    static Value list(ValueList v) {
        Value x(Kind::List);
        new (&x.l_) ValueList(std::move(v));
        return x;
    }
    // `entries` must already be sorted by key and unique (see sort_entries).
    static Value map(ValueMap entries) {
        Value x(Kind::Map);
        new (&x.m_) ValueMap(std::move(entries));
        return x;
    }
    static Value submodel(ModelId id) {
        Value x(Kind::Submodel);
        x.id_ = id;
        return x;
    }

    Value(Value&& o) noexcept : kind_(o.kind_) { move_from(std::move(o)); }
    Value(const Value& o) : kind_(o.kind_) { copy_from(o); }
    Value& operator=(Value&& o) noexcept {
        if (this != &o) {
            destroy();
            kind_ = o.kind_;
            move_from(std::move(o));
        }
        return *this;
    }
    Value& operator=(const Value& o) {
        if (this != &o) {
            Value copy(o);
            *this = std::move(copy);
        }
        return *this;
    }
    ~Value() { destroy(); }

    Kind kind() const { return kind_; }
    std::string_view kind_name() const { return kNames[size_t(kind_)]; }

    bool as_bool() const { return b_; }
    int64_t as_int() const { return i_; }
    double as_float() const { return f_; }
    const std::string& as_str() const { return s_; }
    std::string& as_str() { return s_; }
    const ValueList& as_list() const { return l_; }
    ValueList& as_list() { return l_; }
    const ValueMap& as_map() const { return m_; }
    ValueMap& as_map() { return m_; }
    ModelId as_submodel() const { return id_; }

    // Map access (the value must be a Map).
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    void insert_or_assign(std::string key, Value v);
    bool erase(std::string_view key);

    // Structural equality: IEEE comparison of floats (NaN differs from
    // itself, 0.0 equals -0.0); Int 1 and Float 1.0 differ.
    // Scalars are compared here; strings, lists and maps out of line.
    friend bool operator==(const Value& a, const Value& b) {
        if (a.kind_ != b.kind_) return false;
        switch (a.kind_) {
            case Kind::Null: return true;
            case Kind::Bool: return a.b_ == b.b_;
            case Kind::Int: return a.i_ == b.i_;
            case Kind::Float: return a.f_ == b.f_;
            case Kind::Submodel: return a.id_ == b.id_;
            default: return owned_equal(a, b);
        }
    }

    // Sorts map entries by key; of equal keys the one given last stays.
    static void sort_entries(ValueMap& entries);

    // Takes `o`'s value into this one, which must own nothing (a scalar, or a
    // value moved from); `o` is left owning nothing. Moving the elements of a
    // list along is then a tight loop that destroys and resets nothing.
    void take(Value& o) noexcept {
        kind_ = o.kind_;
        move_from(std::move(o));
    }

    // Makes this value the text `v`, written in place: a text it holds keeps
    // its buffer, anything else is dropped first.
    void set_str(std::string_view v) {
        if (kind_ == Kind::Str) {
            s_.assign(v);
            return;
        }
        destroy();
        new (&s_) std::string(v);
        kind_ = Kind::Str;
    }

private:
    explicit Value(Kind k) noexcept : kind_(k), raw_(0) {}

    // Str, List and Map own memory; the other kinds are their bits.
    bool owns() const { return uint8_t(uint8_t(kind_) - uint8_t(Kind::Str)) < 3; }

    // The value moved from is left Null: what its text, list or map left
    // behind owns nothing, so dropping or overwriting it later costs nothing.
    // Scalars are moved inline at every call, as they are copied.
    [[gnu::always_inline]] void move_from(Value&& o) noexcept {
        if (!owns()) {
            raw_ = o.raw_;
            return;
        }
        move_owned(std::move(o));
    }
    void move_owned(Value&& o) noexcept {
        switch (kind_) {
            case Kind::Str: new (&s_) std::string(std::move(o.s_)); break;
            case Kind::List: new (&l_) ValueList(std::move(o.l_)); break;
            default: new (&m_) ValueMap(std::move(o.m_)); break;
        }
        o.kind_ = Kind::Null;
    }
    // Scalars are their bits, copied and dropped inline; the owning kinds go
    // out of line, so that moving a list's elements stays a tight loop.
    void copy_from(const Value& o) {
        if (owns()) copy_owned(o);
        else raw_ = o.raw_;
    }
    void copy_owned(const Value& o);
    [[gnu::always_inline]] void destroy() noexcept {
        if (owns()) destroy_owned();
        kind_ = Kind::Null;
    }
    void destroy_owned() noexcept;
    static bool owned_equal(const Value& a, const Value& b);

    Kind kind_;
    union {
        uint64_t raw_;  // the bits of every scalar kind
        bool b_;
        int64_t i_;
        double f_;
        ModelId id_;
        std::string s_;
        ValueList l_;
        ValueMap m_;
    };
};

// Puts the `count` values from `first` on (moved from) in place of the
// `removed` elements of `items` from `at` on; the elements after them move
// along once.
void splice_values(ValueList& items, std::size_t at, std::size_t removed, Value* first, std::size_t count);

// Whether `v` holds more than `levels` lists and maps nested one inside another (a
// scalar holds none, an empty list one). Looks no deeper than `levels` + 1.
bool nests_deeper_than(const Value& v, std::size_t levels);

// One-line diagnostic text: Null, Bool(true), Int(5), Float(1.5), Str("a"),
// List([..]), Map({"k": ..}), Submodel(ModelId(3)).
void append_debug(std::string& out, const Value& v);
std::string debug_text(const Value& v);

// Equality of kinds, scalars, keys and order all the way down, with two floats
// compared by `same_float(a, b)`; the comparers of the diff and the store choose
// how NaN, zero signs and infinities count.
template <class FloatEq>
bool same_structure(const Value& a, const Value& b, FloatEq same_float) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Null: return true;
        case Value::Kind::Bool: return a.as_bool() == b.as_bool();
        case Value::Kind::Int: return a.as_int() == b.as_int();
        case Value::Kind::Float: return same_float(a.as_float(), b.as_float());
        case Value::Kind::Str: return a.as_str() == b.as_str();
        case Value::Kind::List: {
            const ValueList& x = a.as_list();
            const ValueList& y = b.as_list();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!same_structure(x[i], y[i], same_float)) return false;
            return true;
        }
        case Value::Kind::Map: {
            const ValueMap& x = a.as_map();
            const ValueMap& y = b.as_map();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (x[i].first != y[i].first || !same_structure(x[i].second, y[i].second, same_float)) return false;
            return true;
        }
        case Value::Kind::Submodel: return a.as_submodel().id == b.as_submodel().id;
    }
    return false;
}

// Folds `x` into the hash `h`.
inline uint64_t hash_mix(uint64_t h, uint64_t x) {
    h ^= x + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
    return h * 0xBF58476D1CE4E5B9ULL;
}

// A hash of kinds, scalars, keys and order all the way down, with each float
// taken as the number `float_bits(d)` gives and each map key as `key_bits(k)`:
// values that same_structure finds equal under a float comparison for which
// equal floats give equal numbers hash alike.
template <class FloatBits, class KeyBits>
uint64_t structure_hash(const Value& v, FloatBits float_bits, KeyBits key_bits) {
    uint64_t h = static_cast<uint64_t>(v.kind()) + 1;
    switch (v.kind()) {
        case Value::Kind::Null: return h;
        case Value::Kind::Bool: return hash_mix(h, v.as_bool());
        case Value::Kind::Int: return hash_mix(h, static_cast<uint64_t>(v.as_int()));
        case Value::Kind::Float: return hash_mix(h, float_bits(v.as_float()));
        case Value::Kind::Str: return hash_mix(h, std::hash<std::string_view>()(v.as_str()));
        case Value::Kind::List:
            for (const Value& e : v.as_list()) h = hash_mix(h, structure_hash(e, float_bits, key_bits));
            return hash_mix(h, v.as_list().size());
        case Value::Kind::Map:
            for (const auto& [k, e] : v.as_map())
                h = hash_mix(hash_mix(h, key_bits(k)), structure_hash(e, float_bits, key_bits));
            return hash_mix(h, v.as_map().size());
        case Value::Kind::Submodel: return hash_mix(h, v.as_submodel().id);
    }
    return h;
}

}  // namespace norvane
