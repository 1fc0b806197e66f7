// The causal context: held dots as runs of consecutive counters per replica,
// each with the SHA-256 digest of its operation.
#include "crdt/reducer/context.hpp"

#include <algorithm>
#include <queue>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/result.hpp"

namespace norvane::crdt {

namespace {

constexpr std::string_view kFingerprintPrefix = "sha256:";

#if defined(__SSE2__)

// Sixteen lowercase hexadecimal digits to eight bytes; false when any is not one.
bool hex16(const char* in, uint8_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('f' + 1)));
    if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) return false;
    const __m128i base = _mm_or_si128(_mm_and_si128(digit, _mm_set1_epi8('0')), _mm_and_si128(letter, _mm_set1_epi8('a' - 10)));
    const __m128i nib = _mm_sub_epi8(v, base);
    // Each 16-bit lane holds a digit pair, the high digit in its low byte.
    const __m128i pairs = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nib, _mm_set1_epi16(0x00FF)), 4), _mm_srli_epi16(nib, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(pairs, pairs));
    return true;
}

#else

bool hex16(const char* in, uint8_t* out) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < 8; ++i) {
        const int hi = nibble(in[2 * i]), lo = nibble(in[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

#endif

}  // namespace

bool parse_fingerprint(std::string_view text, Sha256Digest& out) {
    if (text.size() != kFingerprintPrefix.size() + 64 || !text.starts_with(kFingerprintPrefix)) return false;
    const char* hex = text.data() + kFingerprintPrefix.size();
    for (size_t i = 0; i < 4; ++i)
        if (!hex16(hex + 16 * i, out.data() + 8 * i)) return false;
    return true;
}

const CausalContext::PerReplica* CausalContext::find(Replica r) const {
    auto it = by_replica_.find(r);
    return it == by_replica_.end() ? nullptr : &it->second;
}

const Sha256Digest* CausalContext::digest_of(const Dot& d) const {
    const PerReplica* p = find(d.replica);
    if (!p) return nullptr;
    auto it = std::upper_bound(p->runs.begin(), p->runs.end(), d.counter,
                               [](uint64_t c, const Run& run) { return c < run.first; });
    if (it == p->runs.begin()) return nullptr;
    --it;
    if (d.counter > it->last()) return nullptr;
    return &it->digests[d.counter - it->first];
}

bool CausalContext::contains(const Dot& d) const { return digest_of(d) != nullptr; }

bool CausalContext::knows(const Dot& d) const {
    auto it = compacted.find(d.name());
    if (it != compacted.end() && it->second >= d.counter) return true;
    return contains(d);
}

uint64_t CausalContext::max_counter_any() const {
    uint64_t m = max_;
    for (const auto& [r, c] : compacted) m = std::max(m, c);
    return m;
}

void CausalContext::add(const Dot& d, const Sha256Digest& fingerprint) {
    PerReplica& p = by_replica_[d.replica];
    p.name = d.replica;
    auto it = std::upper_bound(p.runs.begin(), p.runs.end(), d.counter,
                               [](uint64_t c, const Run& run) { return c < run.first; });
    if (it != p.runs.begin() && std::prev(it)->last() + 1 == d.counter) {
        std::prev(it)->digests.push_back(fingerprint);
    } else {
        Run run;
        run.first = d.counter;
        run.digests.push_back(fingerprint);
        p.runs.insert(it, std::move(run));
    }
    ++size_;
    max_ = std::max(max_, d.counter);
}

void CausalContext::load(const Dot& d, std::string_view fingerprint) {
    odd_.emplace(d, std::string(fingerprint));
    add(d, Sha256Digest{});
}

void CausalContext::remove_added(const Dot& d) {
    auto pit = by_replica_.find(d.replica);
    NORVANE_EXPECT(pit != by_replica_.end(), "a dot taken back was added");
    auto& runs = pit->second.runs;
    auto it = std::upper_bound(runs.begin(), runs.end(), d.counter,
                               [](uint64_t c, const Run& run) { return c < run.first; });
    NORVANE_EXPECT(it != runs.begin() && std::prev(it)->last() == d.counter, "a dot taken back ends its run");
    --it;
    it->digests.pop_back();
    if (it->digests.empty()) runs.erase(it);
    if (!odd_.empty()) odd_.erase(d);
    --size_;
    if (d.counter == max_) {
        max_ = 0;
        for (const auto& [r, p] : by_replica_)
            if (!p.runs.empty()) max_ = std::max(max_, p.runs.back().last());
    }
}

bool CausalContext::same_fingerprint(const Dot& d, const Sha256Digest& digest) const {
    if (!odd_.empty()) {
        if (auto it = odd_.find(d); it != odd_.end()) {
            std::string text(kFingerprintPrefix);
            append_hex(text, digest.data(), digest.size());
            return it->second == text;
        }
    }
    const Sha256Digest* held = digest_of(d);
    return held && *held == digest;
}

void CausalContext::append_fingerprint(std::string& out, const Dot& d) const {
    if (!odd_.empty()) {
        if (auto it = odd_.find(d); it != odd_.end()) {
            out += it->second;
            return;
        }
    }
    const Sha256Digest* held = digest_of(d);
    NORVANE_EXPECT(held != nullptr, "a fingerprint is written for a held dot");
    out += kFingerprintPrefix;
    append_hex(out, held->data(), held->size());
}

void CausalContext::for_each_dot(const std::function<void(const Dot&, const Sha256Digest*)>& f) const {
    // A merge of the replicas' runs: by counter, then by replica name.
    struct Cursor {
        const PerReplica* p;
        size_t run, at;
        uint64_t counter() const { return p->runs[run].first + at; }
    };
    auto later = [](const Cursor& a, const Cursor& b) {
        if (a.counter() != b.counter()) return a.counter() > b.counter();
        return a.p->name->text > b.p->name->text;
    };
    std::priority_queue<Cursor, std::vector<Cursor>, decltype(later)> heap(later);
    for (const auto& [r, p] : by_replica_)
        if (!p.runs.empty()) heap.push(Cursor{&p, 0, 0});
    while (!heap.empty()) {
        Cursor c = heap.top();
        heap.pop();
        // Take this replica's counters while no other replica's comes first.
        for (;;) {
            const Run& run = c.p->runs[c.run];
            f(Dot{c.counter(), c.p->name}, &run.digests[c.at]);
            if (++c.at == run.digests.size()) {
                c.at = 0;
                if (++c.run == c.p->runs.size()) break;
            }
            if (!heap.empty() && later(c, heap.top())) {
                heap.push(c);
                break;
            }
        }
    }
}

uint64_t CausalContext::held_between(Replica replica, uint64_t from, uint64_t to) const {
    const PerReplica* p = find(replica);
    if (!p || to <= from) return 0;
    uint64_t n = 0;
    for (const Run& run : p->runs) {
        uint64_t lo = std::max(run.first, from + 1), hi = std::min(run.last(), to);
        if (lo <= hi) n += hi - lo + 1;
    }
    return n;
}

void CausalContext::drop_covered(const Frontier& frontier) {
    size_ = 0;
    max_ = 0;
    for (auto& [r, p] : by_replica_) {
        auto f = frontier.find(r->text);
        if (f != frontier.end()) {
            const uint64_t top = f->second;
            auto keep = std::find_if(p.runs.begin(), p.runs.end(), [&](const Run& run) { return run.last() > top; });
            p.runs.erase(p.runs.begin(), keep);
            if (!p.runs.empty() && p.runs.front().first <= top) {
                Run& run = p.runs.front();
                run.digests.erase(run.digests.begin(), run.digests.begin() + ptrdiff_t(top - run.first + 1));
                run.first = top + 1;
            }
        }
        for (const Run& run : p.runs) size_ += run.digests.size();
        if (!p.runs.empty()) max_ = std::max(max_, p.runs.back().last());
    }
    std::erase_if(odd_, [&](const auto& kv) {
        auto f = frontier.find(kv.first.name());
        return f != frontier.end() && kv.first.counter <= f->second;
    });
}

}  // namespace norvane::crdt
