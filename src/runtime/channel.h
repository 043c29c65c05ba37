// Unbounded multi-producer, single-consumer channel.
//
// `make_channel<T>()` returns a (sender, receiver) pair. Senders are
// copyable; every copy counts as a sender. The receiver is move-only.
//
// Contract:
// - `send` and `try_recv` may be called from any thread; neither waits for
//   anything but the channel's short internal lock, and neither suspends.
// - `send` returns false, destroying the value, once the receiver is gone
//   (destroyed or closed).
// - `try_recv` reports a value (oldest first), Empty, or Closed: every
//   sender is gone and nothing is left.
// - Values still in the channel when the receiver is destroyed or closed
//   are destroyed then, on that thread.
// Registrations are rare, so a mutex around a deque is all this needs.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace ravo::runtime {

template <typename T>
class ChannelSender;
template <typename T>
class ChannelReceiver;

namespace detail {

template <typename T>
struct ChannelState {
    std::mutex mu;  // guards everything below
    std::deque<T> items;
    std::size_t senders = 0;
    bool receiver_alive = true;
};

}  // namespace detail

template <typename T>
struct Received {
    enum class Status { Value, Empty, Closed };
    Status status = Status::Empty;
    std::optional<T> value;  // engaged exactly when status == Value
};

template <typename T>
class ChannelSender {
public:
    ChannelSender(const ChannelSender& other) : state_(other.state_) { add_sender(); }
    ChannelSender(ChannelSender&& other) noexcept : state_(std::move(other.state_)) {}
    ChannelSender& operator=(const ChannelSender& other) {
        if (this != &other) {
            drop();
            state_ = other.state_;
            add_sender();
        }
        return *this;
    }
    ChannelSender& operator=(ChannelSender&& other) noexcept {
        if (this != &other) {
            drop();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~ChannelSender() { drop(); }

    // Queues `value`; false (and `value` destroyed) if the receiver is gone.
    bool send(T value) {
        if (!state_) return false;
        {
            std::lock_guard<std::mutex> lock(state_->mu);
            if (state_->receiver_alive) {
                state_->items.push_back(std::move(value));
                return true;
            }
        }
        return false;  // `value` is destroyed here, outside the lock
    }

private:
    template <typename U>
    friend std::pair<ChannelSender<U>, ChannelReceiver<U>> make_channel();

    explicit ChannelSender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) { add_sender(); }

    void add_sender() {
        if (!state_) return;
        std::lock_guard<std::mutex> lock(state_->mu);
        ++state_->senders;
    }
    void drop() noexcept {
        if (!state_) return;
        {
            std::lock_guard<std::mutex> lock(state_->mu);
            --state_->senders;
        }
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
class ChannelReceiver {
public:
    ChannelReceiver(ChannelReceiver&& other) noexcept = default;
    ChannelReceiver& operator=(ChannelReceiver&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ChannelReceiver(const ChannelReceiver&) = delete;
    ChannelReceiver& operator=(const ChannelReceiver&) = delete;
    ~ChannelReceiver() { close(); }

    Received<T> try_recv() {
        using Status = typename Received<T>::Status;
        if (!state_) return Received<T>{Status::Closed, std::nullopt};
        std::lock_guard<std::mutex> lock(state_->mu);
        if (!state_->items.empty()) {
            Received<T> out{Status::Value, std::optional<T>(std::move(state_->items.front()))};
            state_->items.pop_front();
            return out;
        }
        return Received<T>{state_->senders == 0 ? Status::Closed : Status::Empty, std::nullopt};
    }

    // Ends reception: later sends fail, queued values are destroyed now.
    void close() noexcept {
        if (!state_) return;
        std::deque<T> leftover;
        {
            std::lock_guard<std::mutex> lock(state_->mu);
            state_->receiver_alive = false;
            leftover.swap(state_->items);
        }
        state_.reset();
        // `leftover` is destroyed here, outside the lock.
    }

private:
    template <typename U>
    friend std::pair<ChannelSender<U>, ChannelReceiver<U>> make_channel();

    explicit ChannelReceiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
std::pair<ChannelSender<T>, ChannelReceiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {ChannelSender<T>(state), ChannelReceiver<T>(state)};
}

}  // namespace ravo::runtime
