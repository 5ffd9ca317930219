// A multi-producer, single-consumer channel: any number of Senders (copies of one another) push
// values that one Receiver takes out in first-in first-out order. A channel is bounded (sends
// block while it is full) or unbounded (sends never wait). Either side notices when the other is
// gone: a send to a dropped receiver fails, and a receiver whose senders are all gone is told so
// once the queue is empty.
//
//   auto [sender, receiver] = make_channel<int>(2);
//   std::thread producer([sender] { (void)sender.send(1); });
//   std::optional<int> value = receiver.receive();  // 1, or nullopt once every sender is gone
//
// Every wait is on a condition variable; nothing spins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "platform/panic.h"

namespace ketterlin::scanner {

namespace channel_internal {

// What both ends share. `mutex` guards every other member except `capacity`, which is fixed.
template <typename T>
struct State {
  explicit State(std::size_t capacity) : capacity(capacity) {}

  bool is_full() const { return capacity != 0 && queue.size() >= capacity; }

  const std::size_t capacity;  // 0: unbounded
  std::mutex mutex;
  std::condition_variable value_or_no_sender;    // the receiver waits on it
  std::condition_variable space_or_no_receiver;  // blocked senders wait on it
  std::deque<T> queue;
  std::size_t senders = 1;
  bool receiver_alive = true;
};

}  // namespace channel_internal

template <typename T>
class Sender;
template <typename T>
class Receiver;

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity);

// The sending end. Copyable: every copy counts as one more sender, and the channel is
// disconnected for the receiver once the last copy is destroyed (or moved from and destroyed).
// One Sender object may be used from several threads at once for send(); copying, assigning and
// destroying one object need the usual exclusive access.
template <typename T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) { add_sender(); }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { drop(); }

  // Appends `value` to the channel. On a bounded channel, waits while it is full. Returns true
  // when the value was queued; false when the receiver is gone (before or while waiting), in
  // which case the value is destroyed. A moved-from Sender also answers false.
  [[nodiscard]] bool send(T value) const {
    if (!state_) return false;
    {
      std::unique_lock lock(state_->mutex);
      state_->space_or_no_receiver.wait(
          lock, [&] { return !state_->receiver_alive || !state_->is_full(); });
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(value));
    }
    state_->value_or_no_sender.notify_one();
    return true;
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);

  explicit Sender(std::shared_ptr<channel_internal::State<T>> state) : state_(std::move(state)) {}

  void add_sender() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }

  void drop() {
    if (!state_) return;
    bool was_last = false;
    {
      std::lock_guard lock(state_->mutex);
      was_last = --state_->senders == 0;
    }
    if (was_last) state_->value_or_no_sender.notify_all();
    state_.reset();
  }

  std::shared_ptr<channel_internal::State<T>> state_;
};

// What one receive attempt found: a value, nothing within the time-out, or a disconnected
// channel (every sender gone and the queue empty).
template <typename T>
class ReceiveResult {
 public:
  struct TimedOut {};
  struct Disconnected {};

  ReceiveResult(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  ReceiveResult(TimedOut) : outcome_(TimedOut{}) {}
  ReceiveResult(Disconnected) : outcome_(Disconnected{}) {}

  bool has_value() const { return outcome_.index() == 0; }
  bool timed_out() const { return std::holds_alternative<TimedOut>(outcome_); }
  bool disconnected() const { return std::holds_alternative<Disconnected>(outcome_); }

  // The received value. Precondition: has_value(); otherwise the thread panics.
  T& value() {
    platform::check(has_value(), "channel result holds no value");
    return std::get<0>(outcome_);
  }
  const T& value() const {
    platform::check(has_value(), "channel result holds no value");
    return std::get<0>(outcome_);
  }

 private:
  std::variant<T, TimedOut, Disconnected> outcome_;
};

// The receiving end; move-only, used by one thread at a time. Destroying it wakes every blocked
// sender (their sends fail) and destroys the values still queued.
template <typename T>
class Receiver {
 public:
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      drop();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { drop(); }

  // Waits until a value arrives (returned) or the channel is disconnected (nullopt). Values
  // queued before the last sender went away are still delivered first.
  [[nodiscard]] std::optional<T> receive() {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->value_or_no_sender.wait(lock,
                                    [&] { return !state_->queue.empty() || state_->senders == 0; });
    if (state_->queue.empty()) return std::nullopt;
    return take_front(lock);
  }

  // Like receive(), but waits at most `timeout` (zero or negative: only looks). Returns the
  // value, TimedOut when none arrived in time while a sender still exists, or Disconnected.
  [[nodiscard]] ReceiveResult<T> receive_for(std::chrono::nanoseconds timeout) {
    using Result = ReceiveResult<T>;
    if (!state_) return typename Result::Disconnected{};
    const auto deadline = deadline_after(timeout);
    std::unique_lock lock(state_->mutex);
    state_->value_or_no_sender.wait_until(
        lock, deadline, [&] { return !state_->queue.empty() || state_->senders == 0; });
    if (!state_->queue.empty()) return take_front(lock);
    if (state_->senders == 0) return typename Result::Disconnected{};
    return typename Result::TimedOut{};
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);

  explicit Receiver(std::shared_ptr<channel_internal::State<T>> state) : state_(std::move(state)) {}

  static std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    if (timeout <= std::chrono::nanoseconds::zero()) return now;
    // Saturate instead of overflowing on very long time-outs.
    if (timeout >= Clock::time_point::max() - now) return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(timeout);
  }

  // Precondition: `lock` holds the mutex and the queue is not empty. Releases the lock.
  T take_front(std::unique_lock<std::mutex>& lock) {
    T value = std::move(state_->queue.front());
    state_->queue.pop_front();
    const bool bounded = state_->capacity != 0;
    lock.unlock();
    if (bounded) state_->space_or_no_receiver.notify_one();
    return value;
  }

  void drop() {
    if (!state_) return;
    std::deque<T> abandoned;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      abandoned.swap(state_->queue);
    }
    state_->space_or_no_receiver.notify_all();
    state_.reset();
    // `abandoned` is destroyed here, outside the lock.
  }

  std::shared_ptr<channel_internal::State<T>> state_;
};

// A new channel holding at most `capacity` values (0: unbounded), with its one sender and its
// receiver. Never fails.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
  auto state = std::make_shared<channel_internal::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace ketterlin::scanner
