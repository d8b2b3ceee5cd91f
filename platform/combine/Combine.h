// Combine: publishers of values over time, the part of it that in-process observers use.
//
//   Combine::CurrentValueSubject<bool, Combine::Never> subject(false);
//   Combine::AnyCancellable token = subject.eraseToAnyPublisher().sink([](bool v) { use(v); });
//   subject.send(true);   // the sink hears false at once, then true
//   token.cancel();       // or let it go out of scope
//
// Subjects and publishers are handles: copies share one stream, as references to a class
// instance do. Values are delivered synchronously on the sending thread, to the subscribers in
// the order they subscribed. Subscribing and cancelling are safe from any thread. After cancel()
// returns, the cancelling thread sees no further value; a send already running on another
// thread may still deliver its one value. A subject delivers under its own lock: a subscriber
// may send to it again from inside, but must not wait for another thread that sends to it.
// Only streams that never fail exist here (Failure is Never), and they never complete.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/ThreadSafety.h"

namespace Combine {

// The failure type of a stream that cannot fail.
enum class Never {};

// Cancels its subscription when cancelled or destroyed. Move-only, as it owns the subscription.
class AnyCancellable {
 public:
  AnyCancellable() = default;
  explicit AnyCancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  AnyCancellable(AnyCancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  AnyCancellable& operator=(AnyCancellable&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  AnyCancellable(const AnyCancellable&) = delete;
  AnyCancellable& operator=(const AnyCancellable&) = delete;
  ~AnyCancellable() { cancel(); }

  void cancel() {
    if (auto c = std::exchange(cancel_, nullptr)) c();
  }
  // Keeps the subscription alive for as long as `bag` lives.
  void store(std::vector<AnyCancellable>& bag) && { bag.push_back(std::move(*this)); }

 private:
  std::function<void()> cancel_;
};

namespace detail {

// The subscribers of one stream. Shared by the stream's handles; subscriptions hold it weakly,
// so a token that outlives its stream cancels nothing.
template <typename... Values>
class SubscriberList : public std::enable_shared_from_this<SubscriberList<Values...>> {
 public:
  using Receive = std::function<void(const Values&...)>;

  // `deliverFirst`, when given, gets the new subscriber's own receive function, for a first value.
  AnyCancellable subscribe(Receive receive, Receive* deliverFirst = nullptr) {
    auto subscriber = std::make_shared<Subscriber>(std::move(receive));
    {
      MutexLock lock(mutex_);
      subscribers_.push_back(subscriber);
    }
    if (deliverFirst != nullptr) *deliverFirst = subscriber->receive;
    std::weak_ptr<SubscriberList> weakList = this->shared_from_this();
    std::weak_ptr<Subscriber> weakSubscriber = subscriber;
    return AnyCancellable([weakList, weakSubscriber] {
      auto s = weakSubscriber.lock();
      if (!s) return;
      s->active.store(false);
      if (auto list = weakList.lock()) list->remove(s.get());
    });
  }

  void send(const Values&... values) const {
    std::vector<std::shared_ptr<Subscriber>> now;
    {
      MutexLock lock(mutex_);
      now = subscribers_;
    }
    // Outside the lock: a subscriber may subscribe, cancel or send again from inside.
    for (const auto& s : now) {
      if (s->active.load()) s->receive(values...);
    }
  }

  size_t count() const {
    MutexLock lock(mutex_);
    return subscribers_.size();
  }

 private:
  struct Subscriber {
    explicit Subscriber(Receive r) : receive(std::move(r)) {}
    Receive receive;
    std::atomic<bool> active{true};
  };

  void remove(const Subscriber* s) {
    MutexLock lock(mutex_);
    std::erase_if(subscribers_, [s](const auto& p) { return p.get() == s; });
  }

  mutable Mutex mutex_;
  std::vector<std::shared_ptr<Subscriber>> subscribers_ GUARDED_BY(mutex_);
};

}  // namespace detail

// A publisher whose concrete kind is hidden: all a holder can do is subscribe.
template <typename Output, typename Failure = Never>
class AnyPublisher {
  static_assert(std::is_same_v<Failure, Never>, "only streams that never fail exist on this platform");

 public:
  using Subscribe = std::function<AnyCancellable(std::function<void(const Output&)>)>;

  explicit AnyPublisher(Subscribe subscribe) : subscribe_(std::move(subscribe)) {}

  [[nodiscard]] AnyCancellable sink(std::function<void(const Output&)> receiveValue) const {
    return subscribe_(std::move(receiveValue));
  }

 private:
  Subscribe subscribe_;
};

// A subject that holds a current value: a new subscriber gets it at once, then every value sent.
template <typename Output, typename Failure = Never>
class CurrentValueSubject {
  static_assert(std::is_same_v<Failure, Never>, "only streams that never fail exist on this platform");

 public:
  explicit CurrentValueSubject(Output value) : state_(std::make_shared<State>(std::move(value))) {}

  Output value() const {
    RecursiveMutexLock lock(state_->mutex);
    return state_->value;
  }
  // Assigning the value sends it, as on the platform.
  void setValue(Output value) const { send(std::move(value)); }

  void send(Output value) const {
    // One lock around the change and its delivery, so every subscriber sees the values in the
    // order they became current, and a new subscriber's first value is never overtaken.
    RecursiveMutexLock lock(state_->mutex);
    state_->value = value;
    state_->subscribers->send(value);
  }

  [[nodiscard]] AnyCancellable sink(std::function<void(const Output&)> receiveValue) const {
    return subscribe(state_, std::move(receiveValue));
  }

  AnyPublisher<Output, Failure> eraseToAnyPublisher() const {
    return AnyPublisher<Output, Failure>(
        [state = state_](std::function<void(const Output&)> receive) { return subscribe(state, std::move(receive)); });
  }

  size_t subscriberCount() const { return state_->subscribers->count(); }

 private:
  struct State {
    explicit State(Output v) : value(std::move(v)) {}
    // Recursive: a subscriber may send again, or subscribe, from inside a delivery.
    RecursiveMutex mutex;
    Output value GUARDED_BY(mutex);
    std::shared_ptr<detail::SubscriberList<Output>> subscribers = std::make_shared<detail::SubscriberList<Output>>();
  };

  static AnyCancellable subscribe(const std::shared_ptr<State>& state, std::function<void(const Output&)> receive) {
    RecursiveMutexLock lock(state->mutex);
    std::function<void(const Output&)> first;
    AnyCancellable token = state->subscribers->subscribe(std::move(receive), &first);
    first(state->value);
    return token;
  }

  std::shared_ptr<State> state_;
};

// The publisher an ObservableObject sends before any of its state changes. It carries no value.
class ObservableObjectPublisher {
 public:
  ObservableObjectPublisher();

  void send() const;
  [[nodiscard]] AnyCancellable sink(std::function<void()> receiveValue) const;
  size_t subscriberCount() const;

  // Handles of one publisher compare equal.
  bool operator==(const ObservableObjectPublisher& other) const { return subscribers_ == other.subscribers_; }

 private:
  std::shared_ptr<detail::SubscriberList<>> subscribers_;
};

// An object that announces, through objectWillChange, that it is about to change.
class ObservableObject {
 public:
  virtual ~ObservableObject() = default;
  const ObservableObjectPublisher& objectWillChange() const { return objectWillChange_; }

 private:
  ObservableObjectPublisher objectWillChange_;
};

}  // namespace Combine
