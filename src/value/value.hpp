// Model values: a JSON-like tree of eight kinds, one of which refers to another
// hosted model by id.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
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
    // Variant order is the variant index the readers accept.
    enum class Kind : uint8_t { Null, Bool, Int, Float, Str, List, Map, Submodel };
    static constexpr std::string_view kNames[] = {"Null", "Bool", "Int", "Float", "Str", "List", "Map", "Submodel"};

    Value() = default;
    static Value null() { return Value(); }
    static Value boolean(bool v) { return Value(Rep(std::in_place_index<1>, v)); }
    static Value integer(int64_t v) { return Value(Rep(std::in_place_index<2>, v)); }
    static Value float_(double v) { return Value(Rep(std::in_place_index<3>, v)); }
    static Value str(std::string v) { return Value(Rep(std::in_place_index<4>, std::move(v))); }
    static Value list(ValueList v) { return Value(Rep(std::in_place_index<5>, std::move(v))); }
    // `entries` must already be sorted by key and unique (see sort_entries).
    static Value map(ValueMap entries) { return Value(Rep(std::in_place_index<6>, std::move(entries))); }
    static Value submodel(ModelId id) { return Value(Rep(std::in_place_index<7>, id)); }

    Kind kind() const { return Kind(rep_.index()); }
    std::string_view kind_name() const { return kNames[rep_.index()]; }

    bool as_bool() const { return std::get<1>(rep_); }
    int64_t as_int() const { return std::get<2>(rep_); }
    double as_float() const { return std::get<3>(rep_); }
    const std::string& as_str() const { return std::get<4>(rep_); }
    std::string& as_str() { return std::get<4>(rep_); }
    const ValueList& as_list() const { return std::get<5>(rep_); }
    ValueList& as_list() { return std::get<5>(rep_); }
    const ValueMap& as_map() const { return std::get<6>(rep_); }
    ValueMap& as_map() { return std::get<6>(rep_); }
    ModelId as_submodel() const { return std::get<7>(rep_); }

    // Map access (the value must be a Map).
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    void insert_or_assign(std::string key, Value v);
    bool erase(std::string_view key);

    // Structural equality: IEEE comparison of floats (NaN differs from
    // itself, 0.0 equals -0.0); Int 1 and Float 1.0 differ.
    friend bool operator==(const Value& a, const Value& b);

    // Sorts map entries by key; of equal keys the one given last stays.
    static void sort_entries(ValueMap& entries);

private:
    using Rep = std::variant<std::monostate, bool, int64_t, double, std::string, ValueList, ValueMap, ModelId>;
    explicit Value(Rep r) : rep_(std::move(r)) {}
    Rep rep_;
};

// One-line diagnostic text: Null, Bool(true), Int(5), Float(1.5), Str("a"),
// List([..]), Map({"k": ..}), Submodel(ModelId(3)).
void append_debug(std::string& out, const Value& v);
std::string debug_text(const Value& v);

}  // namespace norvane
