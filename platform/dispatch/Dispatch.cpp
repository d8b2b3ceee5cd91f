#include "platform/dispatch/Dispatch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"

#include "platform/posix/UniqueFd.h"

namespace {

class MainQueue final : public DispatchQueue {
 public:
  MainQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) {
      perror("eventfd");
      abort();
    }
  }

  void async(Work work) override {
    {
      MutexLock lock(mutex_);
      pending_.push_back(std::move(work));
    }
    uint64_t one = 1;
    posix::retryOnInterrupt([&] { return write(wakeFd_, &one, sizeof one); });
  }

  size_t drain() {
    uint64_t count;
    posix::retryOnInterrupt([&] { return read(wakeFd_, &count, sizeof count); });
    // Only the work pending now: work that keeps submitting more must not starve the loop's
    // other sources; what it submits wakes the loop again.
    std::deque<Work> batch;
    {
      MutexLock lock(mutex_);
      batch.swap(pending_);
    }
    size_t ran = 0;
    for (auto& work : batch) {
      work();
      work = nullptr;
      ++ran;
    }
    return ran;
  }

  int wakeFd() const { return wakeFd_; }

 private:
  const int wakeFd_;
  Mutex mutex_;
  std::deque<Work> pending_ GUARDED_BY(mutex_);
};

// A pool that grows whenever work arrives and no worker is idle.
class GlobalQueue final : public DispatchQueue {
 public:
  static constexpr size_t kStackSize = 256 * 1024;
  static constexpr auto kIdleRetirement = std::chrono::seconds(10);

  void async(Work work) override {
    bool spawn;
    {
      MutexLock lock(mutex_);
      pending_.push_back(std::move(work));
      spawn = pending_.size() > idle_;
      if (spawn) ++threads_;
    }
    if (spawn) {
      startWorker();
    } else {
      wake_.notify_one();
    }
  }

  static std::atomic<size_t> totalThreads;

 private:
  void startWorker() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    totalThreads++;
    int rc = pthread_create(&thread, &attr, &GlobalQueue::workerMain, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      // Out of threads: an existing worker will take the work when it frees up.
      totalThreads--;
      MutexLock lock(mutex_);
      --threads_;
    }
  }

  static void* workerMain(void* self) {
    static_cast<GlobalQueue*>(self)->serve();
    totalThreads--;
    return nullptr;
  }

  void serve() {
    MutexLock lock(mutex_);
    for (;;) {
      if (pending_.empty()) {
        ++idle_;
        bool woke =
            wake_.wait_for(lock.native(), kIdleRetirement, [this]() REQUIRES(mutex_) { return !pending_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          return;
        }
      }
      Work work = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      work();
      work = nullptr;  // release captures outside the lock
      lock.lock();
    }
  }

  Mutex mutex_;
  std::condition_variable wake_;
  std::deque<Work> pending_ GUARDED_BY(mutex_);
  size_t idle_ GUARDED_BY(mutex_) = 0;
  size_t threads_ GUARDED_BY(mutex_) = 0;
};

std::atomic<size_t> GlobalQueue::totalThreads{0};

MainQueue& mainQueue() {
  static NoDestructor<MainQueue> queue;  // lives for the whole process, also past exit()
  return *queue;
}

}  // namespace

DispatchQueue& DispatchQueue::main() { return mainQueue(); }

DispatchQueue& DispatchQueue::global(DispatchQoS qos) {
  // Never destroyed: workers may still be running when the process exits.
  static NoDestructor<std::array<GlobalQueue, 5>> queues;
  return (*queues)[static_cast<size_t>(qos)];
}

bool isMainThread() { return gettid() == getpid(); }

void dispatchMainThreadViolated(const char* what) {
  fprintf(stderr, "%s: called on thread %d, not on the main thread\n", what, static_cast<int>(gettid()));
  abort();
}

int mainQueueWakeDescriptor() { return mainQueue().wakeFd(); }

size_t drainMainQueue() {
  dispatchAssertMainThread("drainMainQueue");
  return mainQueue().drain();
}

bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    drainMainQueue();
    if (done()) return true;
    // Rounded up: a truncated remainder would give up to a millisecond before the deadline.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return done();
    pollfd pfd{mainQueueWakeDescriptor(), POLLIN, 0};
    poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left.count(), 50)));
  }
}

size_t globalQueueThreadCount() { return GlobalQueue::totalThreads.load(); }
