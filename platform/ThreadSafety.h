// Lock annotations that clang's -Wthread-safety checks, and a mutex that carries them.
//
//   Mutex mutex_;
//   std::deque<Work> pending_ GUARDED_BY(mutex_);
//   void wakeLocked() REQUIRES(mutex_);
//   { MutexLock lock(mutex_); pending_.push_back(work); }
//
// Other compilers see plain std::mutex code; the annotations vanish.
#pragma once

#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(m) THREAD_ANNOTATION(guarded_by(m))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The only home of the standard library's mutexes and locks in product code: everything else
// takes Mutex or RecursiveMutex below, so clang sees every lock (the build refuses a plain one,
// tests/checks/PlainLocks.cmake).

// Taken only through MutexLock.
class CAPABILITY("mutex") Mutex {
 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds `mutex` for its scope; unlock() and lock() let go and take it again in between.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  // For a condition variable's wait, which lets go and retakes the lock inside.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// A mutex its holder may take again, for delivery that calls back into its owner (a subject's
// subscriber sending from inside). The analysis sees it as one capability; re-entry happens
// only across calls it does not follow.
class CAPABILITY("mutex") RecursiveMutex {
 private:
  friend class RecursiveMutexLock;
  std::recursive_mutex mutex_;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~RecursiveMutexLock() RELEASE() {}
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};
