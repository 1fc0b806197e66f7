// Scratch stacks for readers that build trees: the children of the open containers,
// innermost last, gather there and move once into a container of exactly their number.
// Each thread keeps one set per element type from read to read; a read that starts while
// another on the same thread holds it (a reader called from inside a reader) uses its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace norvane {

// A member gathered while its object is open: the key (in the input, or at `key_off` in the
// owned key text when it had escapes) and the value.
template <class T>
struct Gathered {
    const char* key;  // null: the key is owned
    std::size_t key_off;
    std::size_t key_len;
    T value;
};

template <class T>
struct GatherStacks {
    std::vector<T> items;
    std::vector<Gathered<T>> members;
    std::string owned_keys;            // keys decoded from escapes, of the open objects
    std::vector<std::uint32_t> order;  // sorting scratch
    bool busy = false;
};

// The stacks for one read: the thread's own when free, else a private set. Leaves them empty,
// and drops the thread's larger buffers, when the read ends.
template <class T>
class GatherLease {
public:
    GatherLease() {
        thread_local GatherStacks<T> shared;
        if (!shared.busy) {
            shared.busy = true;
            shared_ = &shared;
            stacks_ = &shared;
        } else {
            stacks_ = &own_;
        }
    }
    ~GatherLease() {
        stacks_->items.clear();
        stacks_->members.clear();
        stacks_->owned_keys.clear();
        if (shared_) {
            if (shared_->items.capacity() > kKeep) std::vector<T>().swap(shared_->items);
            if (shared_->members.capacity() > kKeep) std::vector<Gathered<T>>().swap(shared_->members);
            if (shared_->owned_keys.capacity() > kKeep) std::string().swap(shared_->owned_keys);
            if (shared_->order.capacity() > kKeep) std::vector<std::uint32_t>().swap(shared_->order);
            shared_->busy = false;
        }
    }
    GatherLease(const GatherLease&) = delete;
    GatherLease& operator=(const GatherLease&) = delete;

    GatherStacks<T>* operator->() const { return stacks_; }

private:
    static constexpr std::size_t kKeep = std::size_t(1) << 12;  // larger buffers are not kept
    GatherStacks<T>* stacks_;
    GatherStacks<T>* shared_ = nullptr;
    GatherStacks<T> own_;
};

}  // namespace norvane
