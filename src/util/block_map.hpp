// An ordered map of small keys to small values (both trivially copyable),
// kept as sorted blocks of at most kBlock entries with each block's first key
// beside them: a search is two binary searches over contiguous memory, an
// entry costs its own bytes (no node, no allocation of its own), a map of a
// few entries a block of a few, and keys put after every other fill blocks to
// the brim.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace norvane {

template <class K, class V>
class BlockMap {
    static_assert(std::is_trivially_copyable_v<K> && std::is_trivially_copyable_v<V>);

public:
    struct Entry {
        K key;
        V value;
    };
    static constexpr size_t kBlock = 64;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The entry of the greatest key, or null.
    const Entry* last() const { return empty() ? nullptr : &blocks_.back().back(); }
    // The entry of the greatest key not above `k`, or null.
    const Entry* floor(const K& k) const {
        const size_t b = block_for(k);
        if (b == kNone) return nullptr;
        const Block& blk = blocks_[b];
        return &blk[upper(blk, k) - 1];  // the block's first key is not above k
    }
    // The entry of the least key not below `k`, or null.
    const Entry* ceiling(const K& k) const {
        if (empty()) return nullptr;
        const size_t b = block_for(k);
        if (b == kNone) return &blocks_[0][0];
        const Block& blk = blocks_[b];
        const size_t i = lower(blk, k);
        if (i < blk.size()) return &blk[i];
        return b + 1 < blocks_.size() ? &blocks_[b + 1][0] : nullptr;
    }
    const V* find(const K& k) const {
        const size_t b = block_for(k);
        if (b == kNone) return nullptr;
        const Block& blk = blocks_[b];
        const size_t i = lower(blk, k);
        return i < blk.size() && !(k < blk[i].key) ? &blk[i].value : nullptr;
    }
    // Gives `k` the value `v`; true when `k` is new. When it cannot have the
    // memory it needs, it throws and nothing has changed.
    bool put(const K& k, const V& v) {
        if (empty()) {
            Block fresh(1, Entry{k, v});
            firsts_.reserve(1);
            blocks_.reserve(1);
            firsts_.push_back(k);
            blocks_.push_back(std::move(fresh));
            size_ = 1;
            return true;
        }
        size_t b = block_for(k);
        if (b == kNone) b = 0;
        size_t i = lower(blocks_[b], k);
        if (i < blocks_[b].size() && !(k < blocks_[b][i].key)) {
            blocks_[b][i].value = v;
            return false;
        }
        if (blocks_[b].size() == kBlock) {
            // A full block: a key after every other starts a block of its own,
            // any other splits the block in halves.
            firsts_.reserve(firsts_.size() + 1);
            blocks_.reserve(blocks_.size() + 1);
            Block& full = blocks_[b];
            const bool at_end = b + 1 == blocks_.size() && i == kBlock;
            const size_t keep = at_end ? kBlock : kBlock / 2;
            Block fresh;
            fresh.reserve(kBlock);
            fresh.assign(full.begin() + ptrdiff_t(keep), full.end());
            if (at_end) fresh.push_back(Entry{k, v});
            // Nothing below throws.
            full.resize(keep);
            if (i > keep) {
                fresh.insert(fresh.begin() + ptrdiff_t(i - keep), Entry{k, v});
            } else if (!at_end) {
                full.insert(full.begin() + ptrdiff_t(i), Entry{k, v});  // room was left
                if (i == 0) firsts_[b] = k;
            }
            firsts_.insert(firsts_.begin() + ptrdiff_t(b + 1), fresh.front().key);
            blocks_.insert(blocks_.begin() + ptrdiff_t(b + 1), std::move(fresh));
            ++size_;
            return true;
        }
        Block& blk = blocks_[b];
        blk.insert(blk.begin() + ptrdiff_t(i), Entry{k, v});
        if (i == 0) firsts_[b] = k;
        ++size_;
        return true;
    }
    void erase(const K& k) {
        const size_t b = block_for(k);
        if (b == kNone) return;
        Block& blk = blocks_[b];
        const size_t i = lower(blk, k);
        if (i == blk.size() || k < blk[i].key) return;
        blk.erase(blk.begin() + ptrdiff_t(i));
        --size_;
        if (blk.empty()) {
            firsts_.erase(firsts_.begin() + ptrdiff_t(b));
            blocks_.erase(blocks_.begin() + ptrdiff_t(b));
        } else if (i == 0) {
            firsts_[b] = blk[0].key;
        }
    }
    // Calls f(entry) for every entry in key order.
    template <class F>
    void each(F&& f) const {
        for (const Block& b : blocks_)
            for (const Entry& e : b) f(e);
    }

    // Blocks neither empty nor overfull, keys ascending within and across
    // blocks, first keys and the size as kept.
    bool check() const {
        size_t n = 0;
        if (firsts_.size() != blocks_.size()) return false;
        for (size_t b = 0; b < blocks_.size(); ++b) {
            const Block& blk = blocks_[b];
            if (blk.empty() || blk.size() > kBlock) return false;
            if (firsts_[b] < blk[0].key || blk[0].key < firsts_[b]) return false;
            if (b > 0 && !(blocks_[b - 1].back().key < blk[0].key)) return false;
            for (size_t i = 1; i < blk.size(); ++i)
                if (!(blk[i - 1].key < blk[i].key)) return false;
            n += blk.size();
        }
        return n == size_;
    }

private:
    static constexpr size_t kNone = size_t(-1);
    // A block grows as it fills (most maps hold a few entries), up to kBlock.
    using Block = std::vector<Entry>;
    static size_t lower(const Block& b, const K& k) {
        return size_t(std::partition_point(b.begin(), b.end(), [&](const Entry& x) { return x.key < k; }) - b.begin());
    }
    static size_t upper(const Block& b, const K& k) {
        return size_t(std::partition_point(b.begin(), b.end(), [&](const Entry& x) { return !(k < x.key); }) - b.begin());
    }
    // The block whose first key is the greatest not above `k`, or kNone.
    size_t block_for(const K& k) const {
        if (empty()) return kNone;
        // Keys after every block's first are the common case.
        if (!(k < firsts_.back())) return firsts_.size() - 1;
        const size_t b = size_t(std::upper_bound(firsts_.begin(), firsts_.end(), k) - firsts_.begin());
        return b == 0 ? kNone : b - 1;
    }

    std::vector<Block> blocks_;
    std::vector<K> firsts_;
    size_t size_ = 0;
};

}  // namespace norvane
