#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/conversions.hpp"
#include "format/cbor/document.hpp"
#include "format/cbor/writer.hpp"
#include "format/json/walk.hpp"

namespace norvane::conv {

namespace {

// Writes CBOR as the JSON text is read, giving exactly the bytes of the generic
// document written out: definite lengths (a container's one-byte header is
// widened once its count is known) and object members in ascending byte order
// of their keys, the last of equal keys kept.
class CborSink {
public:
    explicit CborSink(std::string& out) : out_(out) {}

    void null_() { cbor::write_null(out_); }
    void boolean(bool v) { cbor::write_bool(out_, v); }
    void u64(uint64_t v) { cbor::write_u64(out_, v); }
    void i64(int64_t v) { cbor::write_i64(out_, v); }
    void f64(double v) { cbor::write_f64(out_, v); }
    void text(std::string_view v) { cbor::write_text(out_, v); }

    size_t begin_array() {
        out_.push_back('\0');
        return out_.size() - 1;
    }
    void end_array(size_t header, size_t count) { finish_header(header, cbor::kArray, count); }

    size_t begin_map() {
        frames_.push_back(Frame{members_.size(), true});
        out_.push_back('\0');
        return out_.size() - 1;
    }
    void key(std::string_view k) {
        Frame& f = frames_.back();
        if (members_.size() > f.base) {
            members_.back().end = out_.size();
            if (f.ordered && !(key_at(members_.back()) < k)) f.ordered = false;
        }
        const size_t start = out_.size();
        cbor::write_text(out_, k);
        members_.push_back(Member{out_.size() - k.size(), k.size(), start, 0});
    }
    void end_map(size_t header, size_t count) {
        const Frame f = frames_.back();
        frames_.pop_back();
        if (count) {
            members_.back().end = out_.size();
            if (!f.ordered) count = reorder(f.base);
        }
        members_.resize(f.base);
        finish_header(header, cbor::kMap, count);
    }

private:
    struct Frame {
        size_t base;   // the map's first member in members_
        bool ordered;  // keys strictly ascending so far
    };
    struct Member {
        size_t key_off, key_len;  // the key's bytes in the output
        size_t start, end;        // the member (key and value) in the output
    };

    std::string_view key_at(const Member& m) const { return {out_.data() + m.key_off, m.key_len}; }

    void finish_header(size_t at, cbor::Major major, uint64_t count) {
        if (count < 24) {
            out_[at] = char((major << 5) | count);
            return;
        }
        std::string head;
        cbor::write_head(head, major, count);
        out_.replace(at, 1, head);
    }

    // Sorts the members from `base` on by key (stable; of equal keys the last
    // stays) and rewrites their region of the output; returns how many stay.
    size_t reorder(size_t base) {
        const size_t n = members_.size() - base;
        order_.resize(n);
        for (size_t i = 0; i < n; ++i) order_[i] = uint32_t(base + i);
        std::stable_sort(order_.begin(), order_.end(),
                         [&](uint32_t a, uint32_t b) { return key_at(members_[a]) < key_at(members_[b]); });
        const size_t region = members_[base].start;
        region_.assign(out_, region, std::string::npos);
        out_.resize(region);
        size_t kept = 0;
        // The keys are read from the saved region from here on.
        auto key_of = [&](const Member& m) { return std::string_view(region_).substr(m.key_off - region, m.key_len); };
        for (size_t i = 0; i < n; ++i) {
            const Member& m = members_[order_[i]];
            if (i + 1 < n && key_of(members_[order_[i + 1]]) == key_of(m)) continue;
            out_.append(region_, m.start - region, m.end - m.start);
            ++kept;
        }
        return kept;
    }

    std::string& out_;
    std::vector<Frame> frames_;
    std::vector<Member> members_;  // members of the open maps, innermost last
    std::vector<uint32_t> order_;
    std::string region_;
};

}  // namespace

Result<std::string> json_to_cbor(std::string_view json) {
    std::string out;
    out.reserve(json.size() + 16);
    json::Reader r(json);
    CborSink sink(out);
    auto ok = json::walk(r, sink);
    if (!ok) return fail(de::json_error_text(ok.error()));
    auto end = r.end();
    if (!end) return fail(de::json_error_text(end.error()));
    return out;
}

Result<std::string> cbor_to_json(std::string_view data) { return cbor::decode_to_json(data); }

}  // namespace norvane::conv
