// The blocked ordered map: every answer and the contents after every change
// are those of std::map given the same program.
#include <map>

#include "common.hpp"
#include "util/block_map.hpp"

using namespace norvane;

namespace {

struct Key {
    uint64_t counter = 0;
    uint32_t index = 0;
    friend bool operator<(const Key& a, const Key& b) {
        return a.counter != b.counter ? a.counter < b.counter : a.index < b.index;
    }
    friend bool operator==(const Key& a, const Key& b) { return a.counter == b.counter && a.index == b.index; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BlockMap<Key, uint32_t> m;
    std::map<Key, uint32_t> ref;
    // Each step is three bytes: what to do, then the key. Keys put after every
    // other (the common case) are made often, so that blocks fill and split.
    uint64_t top = 0;
    for (size_t at = 0; at + 3 <= size; at += 3) {
        const uint8_t what = data[at];
        Key k{uint64_t(data[at + 1] % 64), uint32_t(data[at + 2] % 4)};
        if ((what & 0xC0) == 0xC0) k = Key{++top + 64, 0};
        const uint32_t v = uint32_t(at);
        switch (what % 5) {
            case 0:
            case 1: {
                const bool added = m.put(k, v);
                const bool ref_added = ref.insert_or_assign(k, v).second;
                fuzz::check(added == ref_added, "put tells a new key otherwise");
                break;
            }
            case 2:
                m.erase(k);
                ref.erase(k);
                break;
            case 3: {
                auto it = ref.upper_bound(k);
                const auto* f = m.floor(k);
                if (it == ref.begin()) {
                    fuzz::check(f == nullptr, "floor finds a key below the least");
                } else {
                    --it;
                    fuzz::check(f && f->key == it->first && f->value == it->second, "floor differs");
                }
                const auto* c = m.ceiling(k);
                auto jt = ref.lower_bound(k);
                fuzz::check(jt == ref.end() ? c == nullptr : c && c->key == jt->first && c->value == jt->second,
                            "ceiling differs");
                break;
            }
            default: {
                auto it = ref.find(k);
                const uint32_t* f = m.find(k);
                fuzz::check(it == ref.end() ? f == nullptr : f && *f == it->second, "find differs");
                break;
            }
        }
        fuzz::check(m.size() == ref.size() && m.check(), "size or blocks differ");
        const auto* last = m.last();
        fuzz::check(ref.empty() ? last == nullptr : last && last->key == ref.rbegin()->first, "last differs");
    }
    auto it = ref.begin();
    bool same = true;
    m.each([&](const auto& e) {
        same = same && it != ref.end() && e.key == it->first && e.value == it->second;
        if (it != ref.end()) ++it;
    });
    fuzz::check(same && it == ref.end(), "contents differ");
    // A copy holds the same and changes apart.
    auto copy = m;
    copy.put(Key{~uint64_t(0), 0}, 1);
    fuzz::check(copy.size() == m.size() + 1 && copy.check() && m.check(), "a copy is not apart");
    return 0;
}
