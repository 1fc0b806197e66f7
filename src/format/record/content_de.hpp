// The typed-record deserializer over an already parsed tree (Document or
// Content). Errors carry no position of their own.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/record/visitor.hpp"
#include "format/tree/tree.hpp"

namespace norvane::de {

template <class T>
Unexpected node_unexpected(const T& t) {
    using K = Unexpected::Kind;
    switch (t.kind()) {
        case NodeKind::Null: return Unexpected::of(K::Unit);
        case NodeKind::Bool: return Unexpected::boolean(t.as_bool());
        case NodeKind::U64: return Unexpected::unsigned_(t.as_u64());
        case NodeKind::I64: return Unexpected::signed_(t.as_i64());
        case NodeKind::F64: return Unexpected::float_(t.as_f64());
        case NodeKind::Str: return Unexpected::str(t.as_str());
        case NodeKind::Bytes: return Unexpected::of(K::Bytes);
        case NodeKind::Seq: return Unexpected::of(K::Seq);
        case NodeKind::Map: return Unexpected::of(K::Map);
    }
    return Unexpected::of(K::Unit);
}

// "1 element in sequence", "3 elements in map": the count that a record or a tuple takes,
// in the texts of a container that holds more.
inline std::string count_text(size_t n, const char* what) {
    std::string s = std::to_string(n);
    s += n == 1 ? " element in " : " elements in ";
    s += what;
    return s;
}

// A map key: a text.
class KeyDe {
public:
    explicit KeyDe(std::string_view s) : s_(s) {}
    template <class V> DeResult<typename V::Value> deserialize_any(V& v) { return v.visit_str(s_); }
    template <class V> DeResult<typename V::Value> deserialize_str(V& v) { return v.visit_str(s_); }
    template <class V> DeResult<typename V::Value> deserialize_identifier(V& v) { return v.visit_str(s_); }
    template <class V> DeResult<typename V::Value> deserialize_ignored_any(V& v) { return v.visit_unit(); }
    template <class V> DeResult<typename V::Value> deserialize_u64(V& v) {
        return fail(Error::invalid_type(Unexpected::str(s_), v.expecting()));
    }
    std::string_view text() const { return s_; }

private:
    std::string_view s_;
};

template <class T>
class ContentDe {
public:
    explicit ContentDe(const T& t) : t_(t) {}
    const T& node() const { return t_; }

    template <class V>
    DeResult<typename V::Value> refuse(const V& v) const {
        return fail(Error::invalid_type(node_unexpected(t_), v.expecting()));
    }

    template <class V>
    DeResult<typename V::Value> deserialize_any(V& v) {
        switch (t_.kind()) {
            case NodeKind::Null: return v.visit_unit();
            case NodeKind::Bool: return v.visit_bool(t_.as_bool());
            case NodeKind::U64: return v.visit_u64(t_.as_u64());
            case NodeKind::I64: return v.visit_i64(t_.as_i64());
            case NodeKind::F64: return v.visit_f64(t_.as_f64());
            case NodeKind::Str: return v.visit_str(t_.as_str());
            case NodeKind::Bytes: return v.visit_bytes(t_.as_str());
            case NodeKind::Seq: return visit_seq(v);
            case NodeKind::Map: return visit_map(v);
        }
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_bool(V& v) {
        if (t_.kind() == NodeKind::Bool) return v.visit_bool(t_.as_bool());
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_u64(V& v) {
        if (t_.kind() == NodeKind::U64) return v.visit_u64(t_.as_u64());
        if (t_.kind() == NodeKind::I64) return v.visit_i64(t_.as_i64());
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_i64(V& v) { return deserialize_u64(v); }
    template <class V>
    DeResult<typename V::Value> deserialize_f64(V& v) {
        if (t_.kind() == NodeKind::F64) return v.visit_f64(t_.as_f64());
        return deserialize_u64(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_str(V& v) {
        if (t_.kind() == NodeKind::Str) return v.visit_str(t_.as_str());
        if (t_.kind() == NodeKind::Bytes) return v.visit_bytes(t_.as_str());
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_identifier(V& v) {
        if (t_.kind() == NodeKind::U64) return v.visit_u64(t_.as_u64());
        return deserialize_str(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_option(V& v) {
        if (t_.kind() == NodeKind::Null) return v.visit_unit();
        return v.visit_some(*this);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_unit(V& v) {
        if (t_.kind() == NodeKind::Null) return v.visit_unit();
        if (t_.kind() == NodeKind::Map && t_.members().empty()) return v.visit_unit();
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_seq(V& v) {
        if (t_.kind() == NodeKind::Seq) return visit_seq(v);
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_tuple(size_t, V& v) { return deserialize_seq(v); }
    template <class V>
    DeResult<typename V::Value> deserialize_map(V& v) {
        if (t_.kind() == NodeKind::Map) return visit_map(v);
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_struct(std::string_view, std::span<const std::string_view>, V& v) {
        if (t_.kind() == NodeKind::Seq) return visit_seq(v);
        if (t_.kind() == NodeKind::Map) return visit_map(v);
        return refuse(v);
    }
    template <class V>
    DeResult<typename V::Value> deserialize_ignored_any(V& v) { return v.visit_unit(); }

    class SeqAccess {
    public:
        explicit SeqAccess(std::span<const T> items) : items_(items) {}
        std::optional<size_t> size_hint() const { return items_.size() - pos_; }
        template <class F>
        DeResult<bool> next_element(F&& f) {
            if (pos_ == items_.size()) return false;
            ContentDe de(items_[pos_++]);
            NV_CHECK(f(de));
            return true;
        }
        size_t consumed() const { return pos_; }
        size_t remaining() const { return items_.size() - pos_; }

    private:
        std::span<const T> items_;
        size_t pos_ = 0;
    };

    // The members in order; those whose key is `*skip` are passed over (the tag of a
    // record, read before its other members).
    class MapAccess {
    public:
        explicit MapAccess(std::span<const typename T::Member> m, const std::string_view* skip = nullptr)
            : members_(m), skip_(skip) {}
        std::optional<size_t> size_hint() const { return members_.size() - pos_; }
        template <class F>
        DeResult<bool> next_key(F&& f) {
            if (skip_)
                while (pos_ < members_.size() && members_[pos_].first == *skip_) ++pos_;
            if (pos_ == members_.size()) return false;
            KeyDe key(members_[pos_].first);
            NV_CHECK(f(key));
            return true;
        }
        template <class F>
        DeResult<void> next_value(F&& f) {
            ContentDe de(members_[pos_++].second);
            return f(de);
        }
        size_t consumed() const { return pos_; }
        size_t remaining() const { return members_.size() - pos_; }

    private:
        std::span<const typename T::Member> members_;
        const std::string_view* skip_;
        size_t pos_ = 0;
    };

    // The content of an externally tagged union.
    class VariantAccess {
    public:
        VariantAccess(std::string_view name, const T* value) : name_(name), value_(value) {}
        template <class F>
        DeResult<VariantAccess> variant(F&& f) {
            KeyDe key(name_);
            NV_CHECK(f(key));
            return *this;
        }
        DeResult<void> unit_variant() {
            if (!value_) return {};
            ContentDe de(*value_);
            return read_unit(de);
        }
        template <class F>
        DeResult<void> newtype_variant(F&& f) {
            if (!value_)
                return fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "newtype variant"));
            ContentDe de(*value_);
            return f(de);
        }
        template <class V>
        DeResult<typename V::Value> struct_variant(std::span<const std::string_view>, V& v) {
            if (!value_)
                return fail(Error::invalid_type(Unexpected::of(Unexpected::Kind::UnitVariant), "struct variant"));
            ContentDe de(*value_);
            if (value_->kind() == NodeKind::Map) return de.visit_map(v);
            if (value_->kind() == NodeKind::Seq) return de.visit_seq(v);
            return fail(Error::invalid_type(node_unexpected(*value_), "struct variant"));
        }

    private:
        std::string_view name_;
        const T* value_;
    };

    template <class V>
    DeResult<typename V::Value> deserialize_enum(std::string_view, std::span<const std::string_view>, V& v) {
        if (t_.kind() == NodeKind::Map) {
            if (t_.members().size() != 1)
                return fail(Error::invalid_value(Unexpected::of(Unexpected::Kind::Map), "map with a single key"));
            VariantAccess access(t_.members()[0].first, &t_.members()[0].second);
            return v.visit_enum(access);
        }
        if (t_.kind() == NodeKind::Str) {
            VariantAccess access(t_.as_str(), nullptr);
            return v.visit_enum(access);
        }
        return fail(Error::invalid_type(node_unexpected(t_), "string or map"));
    }

    template <class V>
    DeResult<typename V::Value> visit_seq(V& v) {
        SeqAccess seq(t_.items());
        auto r = v.visit_seq(seq);
        if (!r) return r;
        if (seq.remaining()) return fail(Error::invalid_length(t_.items().size(), count_text(seq.consumed(), "sequence")));
        return r;
    }
    template <class V>
    DeResult<typename V::Value> visit_map(V& v) {
        MapAccess map(t_.members());
        auto r = v.visit_map(map);
        if (!r) return r;
        if (map.remaining()) return fail(Error::invalid_length(t_.members().size(), count_text(map.consumed(), "map")));
        return r;
    }

private:
    const T& t_;
};

}  // namespace norvane::de
