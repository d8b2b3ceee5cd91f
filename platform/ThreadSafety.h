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
