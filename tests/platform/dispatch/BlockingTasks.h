// Tasks that block until released, for tests of how many run at once and on which threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/dispatch/Dispatch.h"

// Shared with the tasks, so a failed test that stops waiting leaves nothing dangling.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  int started = 0;
  int onMainThread = 0;
  bool open = false;

  DispatchQueue::Work task(const std::shared_ptr<Gate>& self) {
    return [self] {
      std::unique_lock lock(self->mutex);
      ++self->started;
      if (isMainThread()) ++self->onMainThread;
      self->cv.notify_all();
      self->cv.wait(lock, [&] { return self->open; });
    };
  }
  bool waitStarted(int count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, limit, [&] { return started >= count; });
  }
  int startedNow() {
    std::lock_guard lock(mutex);
    return started;
  }
  int onMainThreadNow() {
    std::lock_guard lock(mutex);
    return onMainThread;
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
};
