// The causal context of a document: the compacted frontier and the dots of
// every uncompacted operation it applied, each with its operation's fingerprint.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crdt/reducer/model.hpp"
#include "util/sha256.hpp"

namespace norvane::crdt {

// The digest a fingerprint text spells when it is "sha256:" and 64 lowercase
// hexadecimal digits, as this library writes them; false for any other text.
bool parse_fingerprint(std::string_view text, Sha256Digest& out);

class CausalContext {
public:
    // Replica -> highest counter compacted.
    Frontier compacted;

    // Covered by `compacted` or held.
    bool knows(const Dot& d) const;
    // Held (applied and not compacted).
    bool contains(const Dot& d) const;
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The largest counter of every held dot and every compacted frontier.
    uint64_t max_counter_any() const;

    // Adds a dot that is not held, with the digest of its operation.
    void add(const Dot& d, const Sha256Digest& fingerprint);
    // Adds a dot read from a saved state with a fingerprint text that is
    // not one `parse_fingerprint` reads, kept as it came to be written back.
    void load(const Dot& d, std::string_view fingerprint);
    // Takes back the newest `add` still standing of the dot's replica;
    // allocates nothing.
    void remove_added(const Dot& d);

    // Whether the held fingerprint of `d` is the text of `digest`.
    bool same_fingerprint(const Dot& d, const Sha256Digest& digest) const;
    // Appends the fingerprint text of a held dot.
    void append_fingerprint(std::string& out, const Dot& d) const;

    // Every held dot in ascending order.
    template <class F>
    void for_each(F&& f) const {
        for_each_dot([&](const Dot& d, const Sha256Digest*) { f(d); });
    }
    // Every held dot in ascending order with its fingerprint text.
    template <class F>
    void for_each_fingerprint(F&& f) const {
        std::string text;
        for_each_dot([&](const Dot& d, const Sha256Digest*) {
            text.clear();
            append_fingerprint(text, d);
            f(d, std::string_view(text));
        });
    }

    // The number of held counters of `replica` in (from, to].
    uint64_t held_between(Replica replica, uint64_t from, uint64_t to) const;
    // Drops every held dot the frontier covers; allocates nothing.
    void drop_covered(const Frontier& frontier);

private:
    // Consecutive counters from `first`, one digest each.
    struct Run {
        uint64_t first = 0;
        std::vector<Sha256Digest> digests;
        uint64_t last() const { return first + digests.size() - 1; }
    };
    struct PerReplica {
        Replica name = nullptr;
        std::vector<Run> runs;  // ascending, disjoint
    };

    const PerReplica* find(Replica r) const;
    const Sha256Digest* digest_of(const Dot& d) const;
    void for_each_dot(const std::function<void(const Dot&, const Sha256Digest*)>& f) const;

    std::unordered_map<Replica, PerReplica> by_replica_;
    // Fingerprint texts of a saved state that are not "sha256:" and 64
    // lowercase hexadecimal digits, kept as they came.
    std::map<Dot, std::string> odd_;
    size_t size_ = 0;
    uint64_t max_ = 0;  // of the held dots
};

}  // namespace norvane::crdt
