// A first-in first-out queue of fixed capacity whose room is allocated once, when it is made,
// so that the loop's commands pass through it without a heap allocation each (a deque takes
// and frees a block every few elements).
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace kestro::control_loop {

template <class T>
class RingQueue {
public:
    explicit RingQueue(std::size_t capacity) : slots_(capacity) {}

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // The caller keeps to the capacity (the channel waits for room first).
    void push_back(T value) {
        slots_[(head_ + count_) % slots_.size()].emplace(std::move(value));
        ++count_;
    }
    T& front() { return *slots_[head_]; }
    void pop_front() {
        slots_[head_].reset();
        head_ = (head_ + 1) % slots_.size();
        --count_;
    }

    void swap(RingQueue& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    std::vector<std::optional<T>> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace kestro::control_loop
