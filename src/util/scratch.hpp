// A list a call fills and empties, taken from its thread's spare one.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace norvane {

// A vector that starts empty with the room its thread's last one of the same
// type left, and gives that room back when it goes (up to kMost elements):
// a call that needs a short list each time then allocates none. A call made
// while another holds the spare starts with no room.
template <class T, std::size_t kMost = 4096>
class Scratch {
public:
    Scratch() : v_(std::move(spare())) { v_.clear(); }
    ~Scratch() {
        if (v_.capacity() > kMost) return;
        v_.clear();
        spare() = std::move(v_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::vector<T>& operator*() { return v_; }
    std::vector<T>* operator->() { return &v_; }

private:
    static std::vector<T>& spare() {
        static thread_local std::vector<T> v;
        return v;
    }
    std::vector<T> v_;
};

}  // namespace norvane
