// NSObject and key-value observing: an object tells observers that the value under a key is about
// to change and has changed.
//
//   class Thing : public NSObject {
//     std::any valueForKey(const std::string& key) const override { ... }
//     void setFlag(bool v) { willChangeValueForKey("flag"); store(v); didChangeValueForKey("flag"); }
//   };
//   NSKeyValueObservation o = thing.observe("flag", NSKeyValueObservingOptionNew,
//       [](NSObject&, const NSKeyValueChange& change) { ... std::any_cast<bool>(change.newValue) ... });
//
// There is no automatic observing here: a setter sends its own will/did pair. Observers are told
// synchronously on the changing thread, in the order they began observing; the old value is read
// (through valueForKey) at the will-change, the new one at the did-change, and only when some
// observer asked for it. Will/did pairs may nest; each did-change pairs with the latest open
// will-change for the same object and key on the same thread. A key the object does not know
// reads as an empty std::any.
#pragma once

#include <any>
#include <functional>
#include <memory>
#include <string>

enum NSKeyValueObservingOptions : unsigned {
  NSKeyValueObservingOptionNew = 0x01,
  NSKeyValueObservingOptionOld = 0x02,
  // One notification at once, at the start of observing, with the value as it is then.
  NSKeyValueObservingOptionInitial = 0x04,
  // A notification at the will-change too, before the value changes.
  NSKeyValueObservingOptionPrior = 0x08,
};

struct NSKeyValueChange {
  // True for the notification sent at the will-change (NSKeyValueObservingOptionPrior).
  bool isPrior = false;
  std::any oldValue;  // with NSKeyValueObservingOptionOld
  std::any newValue;  // with NSKeyValueObservingOptionNew, never in a prior notification
};

class NSObject;
namespace kvo_detail {
class Observers;
}

// Observing lasts while this token lives, or until invalidate().
class NSKeyValueObservation {
 public:
  NSKeyValueObservation() = default;
  NSKeyValueObservation(NSKeyValueObservation&&) noexcept;
  NSKeyValueObservation& operator=(NSKeyValueObservation&&) noexcept;
  NSKeyValueObservation(const NSKeyValueObservation&) = delete;
  NSKeyValueObservation& operator=(const NSKeyValueObservation&) = delete;
  ~NSKeyValueObservation();

  void invalidate();

 private:
  friend class NSObject;
  NSKeyValueObservation(std::weak_ptr<kvo_detail::Observers> observers, long id)
      : observers_(std::move(observers)), id_(id) {}
  std::weak_ptr<kvo_detail::Observers> observers_;
  long id_ = 0;
};

// The root object: identity, key-value coding reads, key-value observing.
class NSObject {
 public:
  using ObservationHandler = std::function<void(NSObject& object, const NSKeyValueChange& change)>;

  NSObject();
  virtual ~NSObject();
  NSObject(const NSObject&) = delete;
  NSObject& operator=(const NSObject&) = delete;

  // Key-value coding: the value a key stands for; subclasses answer for the keys they know.
  virtual std::any valueForKey(const std::string& key) const;

  void willChangeValueForKey(const std::string& key);
  void didChangeValueForKey(const std::string& key);

  // `options` is a bitwise or of NSKeyValueObservingOptions.
  [[nodiscard]] NSKeyValueObservation observe(const std::string& key, unsigned options, ObservationHandler handler);

 private:
  std::shared_ptr<kvo_detail::Observers> observers_;
};
