#include "platform/foundation/NSKeyValueObserving.h"

#include <utility>
#include <vector>

#include "platform/ThreadSafety.h"

namespace kvo_detail {

struct Observer {
  long id;
  std::string key;
  unsigned options;
  NSObject::ObservationHandler handler;
};

class Observers {
 public:
  long add(std::string key, unsigned options, NSObject::ObservationHandler handler) {
    MutexLock lock(mutex_);
    long id = ++lastId_;
    list_.push_back(std::make_shared<Observer>(Observer{id, std::move(key), options, std::move(handler)}));
    return id;
  }
  void remove(long id) {
    MutexLock lock(mutex_);
    std::erase_if(list_, [id](const auto& o) { return o->id == id; });
  }
  std::vector<std::shared_ptr<Observer>> forKey(const std::string& key) const {
    MutexLock lock(mutex_);
    std::vector<std::shared_ptr<Observer>> out;
    for (const auto& o : list_) {
      if (o->key == key) out.push_back(o);
    }
    return out;
  }
  bool stillObserving(long id) const {
    MutexLock lock(mutex_);
    for (const auto& o : list_) {
      if (o->id == id) return true;
    }
    return false;
  }

 private:
  mutable Mutex mutex_;
  long lastId_ GUARDED_BY(mutex_) = 0;
  std::vector<std::shared_ptr<Observer>> list_ GUARDED_BY(mutex_);
};

}  // namespace kvo_detail

namespace {

// Will-changes not yet closed by their did-change, on this thread, innermost last. Per thread, so
// two threads changing the same key each pair their own notifications.
struct OpenChange {
  const NSObject* object;
  std::string key;
  std::any oldValue;
};
thread_local std::vector<OpenChange> openChanges;

bool wantsAny(const std::vector<std::shared_ptr<kvo_detail::Observer>>& observers, unsigned option) {
  for (const auto& o : observers) {
    if (o->options & option) return true;
  }
  return false;
}

}  // namespace

NSKeyValueObservation::NSKeyValueObservation(NSKeyValueObservation&& other) noexcept
    : observers_(std::move(other.observers_)), id_(std::exchange(other.id_, 0)) {}

NSKeyValueObservation& NSKeyValueObservation::operator=(NSKeyValueObservation&& other) noexcept {
  if (this != &other) {
    invalidate();
    observers_ = std::move(other.observers_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

NSKeyValueObservation::~NSKeyValueObservation() { invalidate(); }

void NSKeyValueObservation::invalidate() {
  if (auto observers = observers_.lock()) observers->remove(id_);
  observers_.reset();
  id_ = 0;
}

NSObject::NSObject() : observers_(std::make_shared<kvo_detail::Observers>()) {}

NSObject::~NSObject() = default;

std::any NSObject::valueForKey(const std::string&) const { return {}; }

void NSObject::willChangeValueForKey(const std::string& key) {
  auto observers = observers_->forKey(key);
  OpenChange open{this, key, {}};
  if (wantsAny(observers, NSKeyValueObservingOptionOld)) open.oldValue = valueForKey(key);
  openChanges.push_back(open);
  for (const auto& o : observers) {
    if (!(o->options & NSKeyValueObservingOptionPrior) || !observers_->stillObserving(o->id)) continue;
    NSKeyValueChange change;
    change.isPrior = true;
    if (o->options & NSKeyValueObservingOptionOld) change.oldValue = open.oldValue;
    o->handler(*this, change);
  }
}

void NSObject::didChangeValueForKey(const std::string& key) {
  std::any oldValue;
  for (auto it = openChanges.rbegin(); it != openChanges.rend(); ++it) {
    if (it->object == this && it->key == key) {
      oldValue = std::move(it->oldValue);
      openChanges.erase(std::next(it).base());
      break;
    }
  }
  auto observers = observers_->forKey(key);
  std::any newValue;
  if (wantsAny(observers, NSKeyValueObservingOptionNew)) newValue = valueForKey(key);
  for (const auto& o : observers) {
    // One observer's handler may end another's observation; the ended one hears nothing more.
    if (!observers_->stillObserving(o->id)) continue;
    NSKeyValueChange change;
    if (o->options & NSKeyValueObservingOptionOld) change.oldValue = oldValue;
    if (o->options & NSKeyValueObservingOptionNew) change.newValue = newValue;
    o->handler(*this, change);
  }
}

NSKeyValueObservation NSObject::observe(const std::string& key, unsigned options, ObservationHandler handler) {
  long id = observers_->add(key, options, handler);
  if (options & NSKeyValueObservingOptionInitial) {
    NSKeyValueChange change;
    if (options & NSKeyValueObservingOptionNew) change.newValue = valueForKey(key);
    handler(*this, change);
  }
  return NSKeyValueObservation(observers_, id);
}
