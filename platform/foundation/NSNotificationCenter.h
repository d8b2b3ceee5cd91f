// NSNotificationCenter: named notifications delivered synchronously to observers.
//
//   center.addObserver(this, &ShutdownHandler::handleWillTerminate, NSApplicationWillTerminateNotification);
//   center.postNotificationName(NSApplicationWillTerminateNotification);
//
// Observers are called on the posting thread, in the order they were added. An observer added
// with a nil object hears the name from any sender. The centre keeps no ownership of observers:
// remove them before they are destroyed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ThreadSafety.h"

struct NSNotification {
  std::string name;
  const void* object = nullptr;
};

class NSNotificationCenter {
 public:
  using Block = std::function<void(const NSNotification&)>;

  static NSNotificationCenter& defaultCenter();

  // Selector style: `observer` is the identity that removeObserver later names.
  template <typename T>
  void addObserver(T* observer, void (T::*selector)(const NSNotification&), const std::string& name,
                   const void* object = nullptr) {
    addObserver(static_cast<const void*>(observer),
                Block([observer, selector](const NSNotification& n) { (observer->*selector)(n); }), name, object);
  }
  void addObserver(const void* observer, Block block, const std::string& name, const void* object = nullptr);

  // Every registration of `observer` on this centre.
  void removeObserver(const void* observer);
  void removeObserver(const void* observer, const std::string& name);

  void postNotificationName(const std::string& name, const void* object = nullptr);

  // How many registrations `observer` has here (every name when `name` is empty).
  size_t registrationCount(const void* observer, const std::string& name = "") const;

 private:
  struct Registration {
    const void* observer;
    std::string name;
    const void* object;
    std::shared_ptr<Block> block;
  };
  mutable Mutex mutex_;
  std::vector<Registration> registrations_ GUARDED_BY(mutex_);
};
