// A product file as the lock check meets it: a plain lock, and the annotated ones beside it.
#include <mutex>

#include "platform/ThreadSafety.h"

class Work {
  void add() {
    std::lock_guard<std::mutex> hidden(pendingMutex_);
    MutexLock lock(mutex_);
  }
  std::mutex pendingMutex_;
  Mutex mutex_;
};
