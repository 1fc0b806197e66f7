// An ordered map of small keys to small values (both trivially copyable),
// kept as sorted blocks of at most kBlock entries with each block's first key
// beside them: a search is two binary searches over contiguous memory, an
// entry costs its own bytes (no node, no allocation of its own), and keys put
// after every other fill blocks to the brim.
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
    static constexpr uint32_t kBlock = 64;

    BlockMap() = default;
    BlockMap(BlockMap&&) noexcept = default;
    BlockMap& operator=(BlockMap&&) noexcept = default;
    BlockMap(const BlockMap& o) : firsts_(o.firsts_), size_(o.size_) {
        blocks_.reserve(o.blocks_.size());
        for (const auto& b : o.blocks_) blocks_.push_back(std::make_unique<Block>(*b));
    }
    BlockMap& operator=(const BlockMap& o) {
        if (this != &o) {
            BlockMap copy(o);
            *this = std::move(copy);
        }
        return *this;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The entry of the greatest key, or null.
    const Entry* last() const { return empty() ? nullptr : &blocks_.back()->at(blocks_.back()->n - 1); }
    // The entry of the greatest key not above `k`, or null.
    const Entry* floor(const K& k) const {
        const size_t b = block_for(k);
        if (b == kNone) return nullptr;
        const Block& blk = *blocks_[b];
        return &blk.at(blk.upper(k) - 1);  // the block's first key is not above k
    }
    // The entry of the least key not below `k`, or null.
    const Entry* ceiling(const K& k) const {
        if (empty()) return nullptr;
        size_t b = block_for(k);
        if (b == kNone) return &blocks_[0]->at(0);
        const Block& blk = *blocks_[b];
        const uint32_t i = blk.lower(k);
        if (i < blk.n) return &blk.at(i);
        return b + 1 < blocks_.size() ? &blocks_[b + 1]->at(0) : nullptr;
    }
    V* find(const K& k) {
        const size_t b = block_for(k);
        if (b == kNone) return nullptr;
        Block& blk = *blocks_[b];
        const uint32_t i = blk.lower(k);
        return i < blk.n && !(k < blk.at(i).key) ? &blk.at(i).value : nullptr;
    }
    // Gives `k` the value `v`; true when `k` is new. When it cannot have the
    // memory it needs, it throws and nothing has changed.
    bool put(const K& k, const V& v) {
        if (empty()) {
            auto fresh = std::make_unique<Block>();
            firsts_.reserve(1);
            blocks_.reserve(1);
            fresh->at(0) = Entry{k, v};
            fresh->n = 1;
            firsts_.push_back(k);
            blocks_.push_back(std::move(fresh));
            size_ = 1;
            return true;
        }
        size_t b = block_for(k);
        if (b == kNone) b = 0;
        Block* blk = blocks_[b].get();
        uint32_t i = blk->lower(k);
        if (i < blk->n && !(k < blk->at(i).key)) {
            blk->at(i).value = v;
            return false;
        }
        if (blk->n == kBlock) {
            // A full block: a key after every other starts a block of its own,
            // any other splits the block in halves.
            const bool at_end = b + 1 == blocks_.size() && i == kBlock;
            auto fresh = std::make_unique<Block>();
            firsts_.reserve(firsts_.size() + 1);
            blocks_.reserve(blocks_.size() + 1);
            const uint32_t keep = at_end ? kBlock : kBlock / 2;
            fresh->n = kBlock - keep;
            std::copy(blk->e + keep, blk->e + kBlock, fresh->e);
            blk->n = keep;
            firsts_.insert(firsts_.begin() + ptrdiff_t(b + 1), at_end ? k : fresh->at(0).key);
            blocks_.insert(blocks_.begin() + ptrdiff_t(b + 1), std::move(fresh));
            if (i >= keep) {
                ++b;
                i -= keep;
                blk = blocks_[b].get();
            }
        }
        std::copy_backward(blk->e + i, blk->e + blk->n, blk->e + blk->n + 1);
        blk->at(i) = Entry{k, v};
        ++blk->n;
        if (i == 0) firsts_[b] = k;
        ++size_;
        return true;
    }
    void erase(const K& k) {
        const size_t b = block_for(k);
        if (b == kNone) return;
        Block& blk = *blocks_[b];
        const uint32_t i = blk.lower(k);
        if (i == blk.n || k < blk.at(i).key) return;
        std::copy(blk.e + i + 1, blk.e + blk.n, blk.e + i);
        --blk.n;
        --size_;
        if (blk.n == 0) {
            firsts_.erase(firsts_.begin() + ptrdiff_t(b));
            blocks_.erase(blocks_.begin() + ptrdiff_t(b));
        } else if (i == 0) {
            firsts_[b] = blk.at(0).key;
        }
    }
    // Calls f(entry) for every entry in key order.
    template <class F>
    void each(F&& f) const {
        for (const auto& b : blocks_)
            for (uint32_t i = 0; i < b->n; ++i) f(b->at(i));
    }

    // Blocks neither empty nor overfull, keys ascending within and across
    // blocks, first keys and the size as kept.
    bool check() const {
        size_t n = 0;
        if (firsts_.size() != blocks_.size()) return false;
        for (size_t b = 0; b < blocks_.size(); ++b) {
            const Block& blk = *blocks_[b];
            if (blk.n == 0 || blk.n > kBlock) return false;
            if (firsts_[b] < blk.at(0).key || blk.at(0).key < firsts_[b]) return false;
            if (b > 0 && !(blocks_[b - 1]->at(blocks_[b - 1]->n - 1).key < blk.at(0).key)) return false;
            for (uint32_t i = 1; i < blk.n; ++i)
                if (!(blk.at(i - 1).key < blk.at(i).key)) return false;
            n += blk.n;
        }
        return n == size_;
    }

private:
    static constexpr size_t kNone = size_t(-1);
    struct Block {
        uint32_t n = 0;
        Entry e[kBlock];
        Entry& at(uint32_t i) { return e[i]; }
        const Entry& at(uint32_t i) const { return e[i]; }
        uint32_t lower(const K& k) const {
            return uint32_t(std::partition_point(e, e + n, [&](const Entry& x) { return x.key < k; }) - e);
        }
        uint32_t upper(const K& k) const {
            return uint32_t(std::partition_point(e, e + n, [&](const Entry& x) { return !(k < x.key); }) - e);
        }
    };
    // The block whose first key is the greatest not above `k`, or kNone.
    size_t block_for(const K& k) const {
        if (empty()) return kNone;
        // Keys after every block's first are the common case.
        if (!(k < firsts_.back())) return firsts_.size() - 1;
        const size_t b = size_t(std::upper_bound(firsts_.begin(), firsts_.end(), k) - firsts_.begin());
        return b == 0 ? kNone : b - 1;
    }

    std::vector<std::unique_ptr<Block>> blocks_;
    std::vector<K> firsts_;
    size_t size_ = 0;
};

}  // namespace norvane
