// A function-local static that is never destroyed, for objects that threads may still use while
// the process exits (loggers, queues, shared centres):
//
//   NSNotificationCenter& NSNotificationCenter::defaultCenter() {
//     static NoDestructor<NSNotificationCenter> center;
//     return *center;
//   }
//
// Built on first use, as any function-local static (thread-safe); its destructor never runs.
#pragma once

#include <new>
#include <utility>

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  ~NoDestructor() = default;
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() { return *get(); }
  T* operator->() { return get(); }
  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};
