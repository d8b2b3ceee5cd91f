#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/ThreadSafety.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/ThreadStarts.h"

namespace {
constexpr size_t kStackSize = 256 * 1024;
}  // namespace

// The worker shares this with the queue, so a queue destroyed while an item runs leaves the
// worker nothing dangling: it finishes the item, sees `ended` and stops.
struct DispatchSerialQueue::State {
  Mutex mutex;
  std::condition_variable wake;
  std::deque<Work> pending GUARDED_BY(mutex);
  bool active GUARDED_BY(mutex) = false;
  bool workerStarted GUARDED_BY(mutex) = false;
  bool ended GUARDED_BY(mutex) = false;

  void serve() {
    current = this;
    MutexLock lock(mutex);
    for (;;) {
      wake.wait(lock.native(), [this]() REQUIRES(mutex) { return ended || (active && !pending.empty()); });
      if (ended) break;
      Work work = std::move(pending.front());
      pending.pop_front();
      lock.unlock();
      work();
      work = nullptr;  // captures are released outside the lock
      lock.lock();
    }
    current = nullptr;
  }

  // The queue whose work this thread runs, if any: the worker thread is the queue's for its life.
  static thread_local const State* current;
};

thread_local const DispatchSerialQueue::State* DispatchSerialQueue::State::current = nullptr;

void* DispatchSerialQueue::workerMain(void* state) {
  auto* held = static_cast<std::shared_ptr<DispatchSerialQueue::State>*>(state);
  std::shared_ptr<DispatchSerialQueue::State> shared = std::move(*held);
  delete held;
  shared->serve();
  return nullptr;
}

DispatchSerialQueue::DispatchSerialQueue(std::string label, Activation activation)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  state_->active = activation == Activation::active;
}

DispatchSerialQueue::~DispatchSerialQueue() {
  MutexLock lock(state_->mutex);
  state_->ended = true;
  state_->pending.clear();
  state_->wake.notify_all();
}

void DispatchSerialQueue::async(Work work) {
  bool startWorker = false;
  {
    MutexLock lock(state_->mutex);
    state_->pending.push_back(std::move(work));
    startWorker = !state_->workerStarted;
    state_->workerStarted = true;
  }
  // Started on first use, so a queue nobody uses costs no thread; by the spawner, which under a
  // thread limit keeps trying (and says so) while the work waits here.
  if (startWorker) {
    startSerialQueueThread([state = state_] {
      auto* held = new std::shared_ptr<State>(state);
      const int rc = startDetachedThread(kStackSize, &DispatchSerialQueue::workerMain, held);
      if (rc != 0) delete held;
      return rc;
    });
  }
  state_->wake.notify_one();
}

void DispatchSerialQueue::activate() {
  MutexLock lock(state_->mutex);
  state_->active = true;
  state_->wake.notify_one();
}

bool DispatchSerialQueue::isCurrent() const { return State::current == state_.get(); }

void DispatchSerialQueue::sequenceViolated(const char* what) const {
  fprintf(stderr, "%s: called on thread %d, not on the serial queue \"%s\"\n", what, static_cast<int>(gettid()),
          label_.c_str());
  abort();
}
