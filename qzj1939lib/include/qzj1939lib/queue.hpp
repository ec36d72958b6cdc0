#pragma once
// An unbounded multi-producer queue between threads, with a sending and a receiving end.
//
// - Senders are copied freely; when the last sender is gone the queue is closed, and the
//   receiver gets Closed once it has taken what was queued before.
// - When the receiver is gone, sending fails (false) and the item is dropped: the caller
//   decides what that means, nothing blocks.
// Both ends may be used from any thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "qzj1939lib/j1939_message.hpp"

namespace qzj1939lib {

template <class T>
class Sender;
template <class T>
class Receiver;
template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue();

namespace detail {
template <class T>
struct QueueState {
    std::mutex mutex;  // guards items, senders, receiver_alive
    std::condition_variable changed;
    std::deque<T> items;
    std::size_t senders = 0;
    bool receiver_alive = true;
};
}  // namespace detail

template <class T>
class Sender {
  public:
    Sender() = default;
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { reset(); }

    // False, and the item dropped, when this sender is empty or the receiver is gone.
    bool send(T item) const {
        if (!state_) {
            return false;
        }
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) {
                return false;
            }
            state_->items.push_back(std::move(item));
        }
        state_->changed.notify_one();
        return true;
    }

    // Drops this end; the queue closes when it was the last sender.
    void reset() noexcept {
        if (!state_) {
            return;
        }
        bool closed = false;
        {
            std::lock_guard lock(state_->mutex);
            closed = --state_->senders == 0;
        }
        if (closed) {
            state_->changed.notify_all();
        }
        state_.reset();
    }

    explicit operator bool() const noexcept { return state_ != nullptr; }

  private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_queue();
    explicit Sender(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {
        attach();
    }
    void attach() {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }

    std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
class Receiver {
  public:
    enum class Status { Item, TimedOut, Closed };
    struct Result {
        Status status = Status::TimedOut;
        std::optional<T> item;  // set when status is Item
    };

    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) noexcept = default;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() {
        if (!state_) {
            return;
        }
        std::deque<T> dropped;
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        dropped.swap(state_->items);
    }

    // The next item, waiting until the deadline (none: without limit). Items queued before
    // the queue closed are delivered before Closed.
    Result receive_until(std::optional<Instant> deadline) {
        std::unique_lock lock(state_->mutex);
        for (;;) {
            if (!state_->items.empty()) {
                Result result{Status::Item, std::move(state_->items.front())};
                state_->items.pop_front();
                return result;
            }
            if (state_->senders == 0) {
                return {Status::Closed, std::nullopt};
            }
            if (!deadline) {
                state_->changed.wait(lock);
                continue;
            }
            const Instant now = MonotonicClock::now();
            if (*deadline <= now) {
                return {Status::TimedOut, std::nullopt};
            }
            state_->changed.wait_for(lock, *deadline - now);
        }
    }
    Result try_receive() { return receive_until(Instant::min()); }
    Result receive_for(std::chrono::nanoseconds timeout) {
        return receive_until(MonotonicClock::now() + timeout);
    }

    // Items waiting now.
    std::size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->items.size();
    }

  private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_queue();
    explicit Receiver(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

    std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue() {
    auto state = std::make_shared<detail::QueueState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace qzj1939lib
