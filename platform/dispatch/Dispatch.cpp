#include "platform/dispatch/Dispatch.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <utility>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/dispatch/ThreadStarts.h"
#include "platform/foundation/NSLog.h"
#include "platform/posix/Signals.h"
#include "platform/posix/UniqueFd.h"

int startDetachedThread(size_t stackSize, void* (*main)(void*), void* argument) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, main, argument);
  pthread_attr_destroy(&attr);
  return rc;
}

void applyQualityOfService(DispatchQoS qos) {
  // The main thread's nice value is the process's: a host started with nice N keeps its order.
  static const int mainNice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  constexpr int kAboveMain[] = {/*userInteractive*/ 0, /*userInitiated*/ 5, /*default*/ 8, /*utility*/ 12,
                                /*background*/ 19};
  const int nice = std::min(19, mainNice + kAboveMain[static_cast<size_t>(qos)]);
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice);
  if (qos == DispatchQoS::background) {
    // Runs only when nothing else wants the processor, as background work does on the Mac.
    const sched_param none{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
  }
}

namespace {

// The main queue and the one timer of the main run loop. The loop waits on one descriptor, an
// epoll set of the queue's eventfd and the timer, so it wakes for either without knowing of both.
class MainQueue final : public DispatchQueue {
 public:
  MainQueue()
      : eventFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        timerFd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
        wakeFd_(epoll_create1(EPOLL_CLOEXEC)) {
    epoll_event event{};
    event.events = EPOLLIN;
    if (eventFd_.get() < 0 || timerFd_.get() < 0 || wakeFd_.get() < 0 ||
        epoll_ctl(wakeFd_.get(), EPOLL_CTL_ADD, eventFd_.get(), &event) != 0 ||
        epoll_ctl(wakeFd_.get(), EPOLL_CTL_ADD, timerFd_.get(), &event) != 0) {
      perror("main queue");
      abort();
    }
  }

  void async(Work work) override {
    {
      MutexLock lock(mutex_);
      pending_.push_back(std::move(work));
    }
    uint64_t one = 1;
    posix::retryOnInterrupt([&] { return write(eventFd_.get(), &one, sizeof one); });
  }

  // Runs `work` on the main thread once `delay` has passed, at a drain; replaces a timed work not
  // yet run. For what cannot wait for a thread of its own, since no thread may start.
  void after(std::chrono::nanoseconds delay, Work work) {
    {
      MutexLock lock(mutex_);
      timed_ = std::move(work);
    }
    itimerspec when{};
    when.it_value.tv_sec = std::max<int64_t>(0, delay.count()) / 1'000'000'000;
    when.it_value.tv_nsec = std::max<int64_t>(1, delay.count() % 1'000'000'000);
    timerfd_settime(timerFd_.get(), 0, &when, nullptr);
  }

  size_t drain() {
    uint64_t count;
    posix::retryOnInterrupt([&] { return read(eventFd_.get(), &count, sizeof count); });
    Work due;
    if (posix::retryOnInterrupt([&] { return read(timerFd_.get(), &count, sizeof count); }) > 0) {
      MutexLock lock(mutex_);
      due = std::move(timed_);
    }
    if (due) due();
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

  int wakeFd() const { return wakeFd_.get(); }

 private:
  const posix::UniqueFd eventFd_;
  const posix::UniqueFd timerFd_;
  const posix::UniqueFd wakeFd_;
  Mutex mutex_;
  std::deque<Work> pending_ GUARDED_BY(mutex_);
  Work timed_ GUARDED_BY(mutex_);
};

MainQueue& mainQueue() {
  static NoDestructor<MainQueue> queue;  // lives for the whole process, also past exit()
  return *queue;
}

// Starts the global queues' worker threads on a thread of its own, so that submitting work never
// starts a thread on the submitter's thread (the main thread must not stall behind a burst of
// thread starts). When a start fails (a process limit), the work stays queued and the start is
// tried again after a growing pause, with one log line when the shortage begins and one when it
// ends.
class WorkerSpawner {
 public:
  static constexpr size_t kStackSize = 64 * 1024;
  static constexpr auto kFirstRetry = std::chrono::milliseconds(10);
  static constexpr auto kLongestRetry = std::chrono::milliseconds(1000);

  static WorkerSpawner& shared() {
    static NoDestructor<WorkerSpawner> spawner;  // lives for the whole process, also past exit()
    return *spawner;
  }

  // Asks for the queue's workers to be topped up; cheap: a flag and a wake-up. When the spawner's
  // own thread cannot start, the request waits for it, and the main run loop's timer retries.
  void request(size_t queueIndex);
  // Asks for a thread of another kind (a serial queue's) to be started by `start`, which returns 0
  // or pthread_create's error; retried like the workers until it starts.
  void requestThread(std::function<int()> start);

  // The worker start under test control: a nonzero answer stands for pthread_create's error. The
  // gate is called under its lock, so once a ScopedWorkerStartGate is gone its gate is not running.
  Mutex startGateMutex;
  std::function<int()> startGate GUARDED_BY(startGateMutex);
  bool startGateIncludesSpawner GUARDED_BY(startGateMutex) = false;
  std::atomic<bool> gated{false};

  int askStartGate(bool forSpawner = false) {
    if (!gated.load(std::memory_order_acquire)) return 0;
    MutexLock lock(startGateMutex);
    return startGate && (!forSpawner || startGateIncludesSpawner) ? startGate() : 0;
  }

 private:
  void run();
  void ensureThread() REQUIRES(mutex_);
  void retryThread();

  Mutex mutex_;
  std::condition_variable wake_;
  uint32_t wanted_ GUARDED_BY(mutex_) = 0;  // one bit per queue
  std::deque<std::function<int()>> threadStarts_ GUARDED_BY(mutex_);
  bool running_ GUARDED_BY(mutex_) = false;
  bool spawnerStartLogged_ GUARDED_BY(mutex_) = false;
  std::chrono::milliseconds spawnerRetry_ GUARDED_BY(mutex_) = kFirstRetry;
  bool startFailureLogged_ = false;  // the spawner's thread only
};

// A pool that grows whenever work arrives and no worker is idle: a task never waits behind
// blocked ones for longer than a thread start. One idle worker is kept ahead of demand, so that
// the next task does not wait even for that; idle workers retire.
class GlobalQueue final : public DispatchQueue {
 public:
  static constexpr size_t kStackSize = 256 * 1024;
  static constexpr auto kIdleRetirement = std::chrono::seconds(10);
  static constexpr size_t kSpare = 1;

  void async(Work work) override {
    bool wakeWorker, topUp;
    {
      MutexLock lock(mutex_);
      pending_.push_back(std::move(work));
      wakeWorker = idle_ > 0;
      topUp = pending_.size() + kSpare > idle_ + starting_;
    }
    if (wakeWorker) wake_.notify_one();
    if (topUp) askForWorkers();
  }

  // Starts the workers that the queued work and the spare call for; on the spawner's thread.
  // Returns 0, or the error of a start that failed (the rest is then left for a retry).
  int startWanted() {
    // Cleared before the count is read, so work queued after this asks again.
    askedForWorkers_.store(false);
    for (;;) {
      size_t want;
      {
        MutexLock lock(mutex_);
        const size_t have = idle_ + starting_;
        want = pending_.size() + kSpare > have ? pending_.size() + kSpare - have : 0;
        starting_ += want;
      }
      if (want == 0) return 0;
      for (size_t started = 0; started < want; ++started) {
        int error = WorkerSpawner::shared().askStartGate();
        if (error == 0) error = startWorker();
        if (error != 0) {
          MutexLock lock(mutex_);
          starting_ -= want - started;
          return error;
        }
      }
      // Work that arrived while these started is counted on the next pass.
    }
  }

  size_t waiting() {
    MutexLock lock(mutex_);
    return pending_.size();
  }

  static std::atomic<size_t> totalThreads;

 private:
  int startWorker() {
    totalThreads++;
    const int rc = startDetachedThread(kStackSize, &GlobalQueue::workerMain, this);
    if (rc != 0) totalThreads--;
    return rc;
  }

  // One request stands for any number of submissions until the spawner takes it up, so a burst
  // of work costs the submitter one wake-up of the spawner, not one per task.
  void askForWorkers() {
    if (!askedForWorkers_.exchange(true)) WorkerSpawner::shared().request(index());
  }

  static void* workerMain(void* self) {
    applyQualityOfService(static_cast<DispatchQoS>(static_cast<GlobalQueue*>(self)->index()));
    static_cast<GlobalQueue*>(self)->serve();
    totalThreads--;
    return nullptr;
  }

  void serve() {
    MutexLock lock(mutex_);
    --starting_;
    for (;;) {
      if (pending_.empty()) {
        ++idle_;
        bool woke =
            wake_.wait_for(lock.native(), kIdleRetirement, [this]() REQUIRES(mutex_) { return !pending_.empty(); });
        --idle_;
        if (!woke) return;
      }
      Work work = std::move(pending_.front());
      pending_.pop_front();
      const bool topUp = pending_.size() + kSpare > idle_ + starting_;
      lock.unlock();
      if (topUp) askForWorkers();
      work();
      work = nullptr;  // release captures outside the lock
      lock.lock();
    }
  }

  // Its place among the global queues, which is how the spawner names it.
  size_t index() const;

  Mutex mutex_;
  std::condition_variable wake_;
  std::deque<Work> pending_ GUARDED_BY(mutex_);
  size_t idle_ GUARDED_BY(mutex_) = 0;      // workers waiting for work
  size_t starting_ GUARDED_BY(mutex_) = 0;  // workers asked for that have not yet come to the queue
  std::atomic<bool> askedForWorkers_{false};
};

std::atomic<size_t> GlobalQueue::totalThreads{0};

constexpr size_t kQueueCount = 5;

std::array<GlobalQueue, kQueueCount>& globalQueues() {
  // Never destroyed: workers may still be running when the process exits.
  static NoDestructor<std::array<GlobalQueue, kQueueCount>> queues;
  return *queues;
}

size_t GlobalQueue::index() const { return static_cast<size_t>(this - globalQueues().data()); }

void WorkerSpawner::request(size_t queueIndex) {
  {
    MutexLock lock(mutex_);
    wanted_ |= uint32_t{1} << queueIndex;
    ensureThread();
  }
  wake_.notify_one();
}

void WorkerSpawner::requestThread(std::function<int()> start) {
  {
    MutexLock lock(mutex_);
    threadStarts_.push_back(std::move(start));
    ensureThread();
  }
  wake_.notify_one();
}

// Starts the spawner's own thread at the first request. When that fails, what was asked for
// stays recorded and the main run loop's timer tries again, after 10 ms doubling to once a second:
// no thread is there to wait, and the work must not wait for a submission that may never come.
void WorkerSpawner::ensureThread() {
  if (running_) return;
  // Workers and serial queue threads are all started here, so they begin with this mask too.
  posix::ServiceThreadSignals blocked;
  int rc = askStartGate(/*forSpawner=*/true);
  if (rc == 0) {
    rc = startDetachedThread(
        kStackSize,
        [](void* self) -> void* {
          static_cast<WorkerSpawner*>(self)->run();
          return nullptr;
        },
        this);
  }
  running_ = rc == 0;
  if (running_) {
    if (std::exchange(spawnerStartLogged_, false))
      NSLog("[dispatch] worker threads start again; the waiting work runs");
    spawnerRetry_ = kFirstRetry;
    return;
  }
  if (!spawnerStartLogged_) {
    spawnerStartLogged_ = true;
    NSLog("[dispatch] ⚠️ cannot start a worker thread: errno=%d; the queued work waits, retrying", rc);
  }
  mainQueue().after(spawnerRetry_, [] { WorkerSpawner::shared().retryThread(); });
  spawnerRetry_ = std::min(spawnerRetry_ * 2, kLongestRetry);
}

void WorkerSpawner::retryThread() {
  {
    MutexLock lock(mutex_);
    ensureThread();
  }
  wake_.notify_one();
}

void WorkerSpawner::run() {
  uint32_t failing = 0;                            // queues whose last start failed
  std::deque<std::function<int()>> failingStarts;  // other threads whose last start failed
  auto retryAfter = kFirstRetry;
  std::chrono::steady_clock::time_point retryAt{};
  for (;;) {
    uint32_t wanted;
    std::deque<std::function<int()>> starts;
    {
      MutexLock lock(mutex_);
      auto asked = [this]() REQUIRES(mutex_) { return wanted_ != 0 || !threadStarts_.empty(); };
      if (failing == 0 && failingStarts.empty()) {
        wake_.wait(lock.native(), asked);
      } else {
        wake_.wait_until(lock.native(), retryAt, asked);
      }
      wanted = std::exchange(wanted_, 0);
      starts.swap(threadStarts_);
    }
    if (std::chrono::steady_clock::now() >= retryAt) {
      wanted |= std::exchange(failing, 0);
      for (auto& start : failingStarts) starts.push_front(std::move(start));
      failingStarts.clear();
    }
    int error = 0;
    size_t waiting = 0;
    for (size_t i = 0; i < kQueueCount; ++i) {
      if ((wanted & (uint32_t{1} << i)) == 0) continue;
      const int rc = globalQueues()[i].startWanted();
      if (rc != 0) {
        error = rc;
        failing |= uint32_t{1} << i;
        waiting += globalQueues()[i].waiting();
      }
    }
    for (auto& start : starts) {
      int rc = askStartGate();
      if (rc == 0) rc = start();
      if (rc != 0) {
        error = rc;
        failingStarts.push_back(std::move(start));
        ++waiting;  // at least the work that asked for the thread
      }
    }
    if (error != 0) {
      if (!startFailureLogged_) {
        startFailureLogged_ = true;
        NSLog("[dispatch] ⚠️ cannot start a worker thread: errno=%d; %lu tasks wait, retrying", error, waiting);
      }
      retryAt = std::chrono::steady_clock::now() + retryAfter;
      retryAfter = std::min(retryAfter * 2, kLongestRetry);
    } else if (failing == 0 && failingStarts.empty() && startFailureLogged_) {
      startFailureLogged_ = false;
      retryAfter = kFirstRetry;
      NSLog("[dispatch] worker threads start again; the waiting work runs");
    }
  }
}

}  // namespace

void startSerialQueueThread(std::function<int()> start) { WorkerSpawner::shared().requestThread(std::move(start)); }

DispatchQueue& DispatchQueue::main() { return mainQueue(); }

DispatchQueue& DispatchQueue::global(DispatchQoS qos) { return globalQueues()[static_cast<size_t>(qos)]; }

bool isMainThread() { return gettid() == getpid(); }

int mainQueueWakeDescriptor() { return mainQueue().wakeFd(); }

void dispatchMainThreadViolated(const char* what) {
  fprintf(stderr, "%s: called on thread %d, not on the main thread\n", what, static_cast<int>(gettid()));
  abort();
}

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

ScopedWorkerStartGate::ScopedWorkerStartGate(std::function<int()> gate, Spawner includes) {
  WorkerSpawner& spawner = WorkerSpawner::shared();
  MutexLock lock(spawner.startGateMutex);
  previous_ = std::exchange(spawner.startGate, std::move(gate));
  previousIncludesSpawner_ = std::exchange(spawner.startGateIncludesSpawner, includes == Spawner::included);
  spawner.gated.store(static_cast<bool>(spawner.startGate), std::memory_order_release);
}

ScopedWorkerStartGate::~ScopedWorkerStartGate() {
  WorkerSpawner& spawner = WorkerSpawner::shared();
  MutexLock lock(spawner.startGateMutex);
  spawner.startGate = std::move(previous_);
  spawner.startGateIncludesSpawner = previousIncludesSpawner_;
  spawner.gated.store(static_cast<bool>(spawner.startGate), std::memory_order_release);
}
