#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
  static NoDestructor<NSNotificationCenter> center;
  return *center;
}

void NSNotificationCenter::addObserver(const void* observer, Block block, const std::string& name, const void* object) {
  MutexLock lock(mutex_);
  registrations_.push_back({observer, name, object, std::make_shared<Block>(std::move(block))});
}

void NSNotificationCenter::removeObserver(const void* observer) {
  MutexLock lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer; });
}

void NSNotificationCenter::removeObserver(const void* observer, const std::string& name) {
  MutexLock lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer && r.name == name; });
}

void NSNotificationCenter::postNotificationName(const std::string& name, const void* object) {
  std::vector<std::shared_ptr<Block>> targets;
  {
    MutexLock lock(mutex_);
    for (const auto& r : registrations_) {
      if (r.name == name && (r.object == nullptr || r.object == object)) targets.push_back(r.block);
    }
  }
  // Called outside the lock: an observer may add, remove or post in turn.
  const NSNotification notification{name, object};
  for (const auto& block : targets) (*block)(notification);
}

size_t NSNotificationCenter::registrationCount(const void* observer, const std::string& name) const {
  MutexLock lock(mutex_);
  return static_cast<size_t>(std::count_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
    return r.observer == observer && (name.empty() || r.name == name);
  }));
}
