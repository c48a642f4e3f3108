// A bounded first-in first-out channel between any number of producers and one consumer.
// The control loop takes its commands from one (capacity 100), and each request gets a reply
// channel of capacity 1. Closing is tied to ownership, so no wait can outlive its peer:
// - when the last Sender goes, a waiting consumer sees Closed once the queue is empty;
// - when the Receiver goes, queued values are destroyed and every later send fails at once,
//   which also wakes producers that were waiting for room.
// Timed waits let callers wait in slices, so that a person can interrupt them in between.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/result.hpp"
#include "src/control_loop/ring_queue.hpp"

namespace kestro::control_loop {

enum class RecvError {
    Timeout,  // nothing arrived before the deadline (or, for try_recv, nothing is queued)
    Closed,   // nothing queued and no sender left
};

enum class SendStatus {
    Sent,
    Full,    // no room before the deadline; the value stays with the caller
    Closed,  // the receiver is gone; the value stays with the caller
};

// What a consumer's wait for the next value found, without taking it.
enum class Readiness {
    Ready,    // a value is queued
    Timeout,  // nothing before the deadline
    Closed,   // nothing queued and no sender left
    Woken,    // a sender asked the consumer to look at its other duties (a stop flag, say)
};

namespace detail {

template <class T>
struct ChannelState {
    explicit ChannelState(std::size_t capacity) : queue(capacity), capacity(capacity) {}

    std::mutex mutex;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    RingQueue<T> queue;
    const std::size_t capacity;
    std::size_t senders = 1;
    bool receiver_alive = true;
    bool consumer_woken = false;
};

}  // namespace detail

template <class T>
class Sender {
public:
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    Sender(const Sender& other) : state_(other.state_) {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
    }
    Sender(Sender&&) noexcept = default;
    Sender& operator=(const Sender&) = delete;
    Sender& operator=(Sender&&) = delete;

    ~Sender() {
        if (!state_) return;
        std::lock_guard lock(state_->mutex);
        if (--state_->senders == 0) state_->not_empty.notify_all();
    }

    // Queues `value`, waiting while the channel is full. Gives the value back when the
    // receiver is gone.
    Result<void, T> send(T value) {
        std::unique_lock lock(state_->mutex);
        state_->not_full.wait(lock, [&] { return has_room_or_closed(); });
        if (!state_->receiver_alive) return fail(std::move(value));
        push(std::move(value));
        return {};
    }

    // Queues `value` (moving it from the caller only when sent), waiting for room until
    // `deadline` at the latest.
    template <class Clock, class Duration>
    SendStatus send_until(T& value, std::chrono::time_point<Clock, Duration> deadline) {
        std::unique_lock lock(state_->mutex);
        if (!state_->not_full.wait_until(lock, deadline, [&] { return has_room_or_closed(); })) {
            return SendStatus::Full;
        }
        if (!state_->receiver_alive) return SendStatus::Closed;
        push(std::move(value));
        return SendStatus::Sent;
    }

    // Ends the consumer's current or next wait_until with Woken, without sending anything.
    void wake_receiver() {
        std::lock_guard lock(state_->mutex);
        state_->consumer_woken = true;
        state_->not_empty.notify_all();
    }

    // True once the receiver is gone; sends then fail.
    bool is_closed() const {
        std::lock_guard lock(state_->mutex);
        return !state_->receiver_alive;
    }

private:
    // Called with the lock held.
    bool has_room_or_closed() const {
        return !state_->receiver_alive || state_->queue.size() < state_->capacity;
    }
    void push(T value) {
        state_->queue.push_back(std::move(value));
        state_->not_empty.notify_one();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) = delete;

    ~Receiver() {
        if (!state_) return;
        RingQueue<T> dropped(0);
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            dropped.swap(state_->queue);
            state_->not_full.notify_all();
        }
        // Destroyed outside the lock: a dropped value may own the Sender of another channel.
    }

    // The next value, waiting until `deadline` at the latest.
    template <class Clock, class Duration>
    Result<T, RecvError> recv_until(std::chrono::time_point<Clock, Duration> deadline) {
        std::unique_lock lock(state_->mutex);
        bool ready = state_->not_empty.wait_until(
            lock, deadline, [&] { return !state_->queue.empty() || state_->senders == 0; });
        return take(ready);
    }

    // Waits until a value is queued, every sender is gone, a sender wakes the consumer or
    // `deadline` passes; takes nothing, so a value stays counted against the capacity until
    // the consumer takes it. A wake-up is reported once.
    template <class Clock, class Duration>
    Readiness wait_until(std::chrono::time_point<Clock, Duration> deadline) {
        std::unique_lock lock(state_->mutex);
        state_->not_empty.wait_until(lock, deadline, [&] {
            return !state_->queue.empty() || state_->senders == 0 || state_->consumer_woken;
        });
        if (!state_->queue.empty()) return Readiness::Ready;
        if (std::exchange(state_->consumer_woken, false)) return Readiness::Woken;
        if (state_->senders == 0) return Readiness::Closed;
        return Readiness::Timeout;
    }

    // The next value if one is queued now.
    Result<T, RecvError> try_recv() {
        std::unique_lock lock(state_->mutex);
        return take(!state_->queue.empty() || state_->senders == 0);
    }

private:
    // Called with the lock held, after waiting; `ready` tells whether the wait succeeded.
    Result<T, RecvError> take(bool ready) {
        if (!ready) return fail(RecvError::Timeout);
        if (state_->queue.empty()) return fail(RecvError::Closed);
        T value = std::move(state_->queue.front());
        state_->queue.pop_front();
        state_->not_full.notify_one();
        return value;
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(std::size_t capacity) {
    auto state = std::make_shared<detail::ChannelState<T>>(capacity);
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace kestro::control_loop
