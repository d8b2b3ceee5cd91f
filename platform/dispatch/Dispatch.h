// Dispatch queues: the main queue and the global concurrent queues by quality-of-service class.
//
//   DispatchQueue::global(DispatchQoS::userInitiated).async([] { slowWork(); });
//   DispatchQueue::main().async([] { answerOnMainThread(); });
//
// The main queue runs its work on the main thread, in submission order, whenever the main run
// loop drains it (NSApplication::run, or drainMainQueue in a test). A global queue gets a new
// worker whenever no worker is idle, so a task never waits behind tasks that block for longer
// than a thread start; idle workers retire after a while. Work may be submitted from any thread,
// including from within work.
//
// Submitting costs a queue push and a wake-up, never a thread start: workers are started by one
// spawner thread of the process (itself started at the first submission to a global queue), one
// worker ahead of demand. When no thread can be started (a process limit), the work stays queued
// and runs once a start succeeds: the spawner retries after 10 ms, doubling to once a second, and
// logs one "[dispatch]" line when the shortage begins and one when it ends. Should the spawner's
// own thread not start, the main run loop's timer tries it again on the same schedule, with the
// same two lines, so the work runs without another submission (the main queue must be drained).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

enum class DispatchQoS { userInteractive, userInitiated, default_, utility, background };

class DispatchQueue {
 public:
  using Work = std::function<void()>;

  static DispatchQueue& main();
  static DispatchQueue& global(DispatchQoS qos = DispatchQoS::default_);

  virtual void async(Work work) = 0;

 protected:
  DispatchQueue() = default;
  virtual ~DispatchQueue() = default;
};

// True on the process's main thread (the one that entered main()).
bool isMainThread();

// States a "main thread only" contract where it is relied on: off the main thread it logs `what`
// and aborts. Checked in debug builds (the sanitizer presets are debug builds) and wherever
// PROXYHOST_CHECK_THREADS is defined; compiled out otherwise.
[[noreturn]] void dispatchMainThreadViolated(const char* what);
inline void dispatchAssertMainThread(const char* what) {
#if !defined(NDEBUG) || defined(PROXYHOST_CHECK_THREADS)
  if (!isMainThread()) dispatchMainThreadViolated(what);
#endif
}

// For the run loop: a descriptor that polls readable while main-queue work is pending or the
// run loop's own timer is due; drainMainQueue does both.
int mainQueueWakeDescriptor();

// Runs the main-queue work pending now (what it submits runs at the next drain); returns how
// many ran. Main thread only.
size_t drainMainQueue();

// Drains the main queue until `done` returns true or `timeout` passes; returns `done()`.
// For tests and tools that have no run loop. Must be called on the main thread.
bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// How many worker threads the global queues hold right now (busy or idle), for tests.
size_t globalQueueThreadCount();

// For tests: while alive, each worker thread start and each serial queue's thread start first
// asks `gate` (on the spawner's thread), and with Spawner::included the spawner's own start too
// (on the submitter's or the main thread); a nonzero answer is taken as pthread_create's error,
// as under a process limit.
class ScopedWorkerStartGate {
 public:
  enum class Spawner { excluded, included };
  explicit ScopedWorkerStartGate(std::function<int()> gate, Spawner spawner = Spawner::excluded);
  ~ScopedWorkerStartGate();
  ScopedWorkerStartGate(const ScopedWorkerStartGate&) = delete;
  ScopedWorkerStartGate& operator=(const ScopedWorkerStartGate&) = delete;

 private:
  std::function<int()> previous_;
  bool previousIncludesSpawner_ = false;
};

// A serial queue, as `DispatchQueue(label:attributes:)` makes one: its work runs one item at a
// time, in submission order, on one thread of its own that lasts as long as the queue (so
// children that a work item starts can tie their lives to it). The thread is started at the
// first submission, by the global queues' spawner: under a thread limit the work waits and runs
// once a start succeeds (retried, one log line), as global work does. Made inactive, it holds its
// work until activate(), as a queue made with the initially-inactive attribute does. Work may be
// submitted from any thread.
//
//   DispatchSerialQueue runs("net.proxyhost.privileged", DispatchSerialQueue::Activation::inactive);
//   runs.async([] { slowPrivilegedRun(); });   // waits
//   runs.activate();                            // now it runs
class DispatchSerialQueue final : public DispatchQueue {
 public:
  enum class Activation { active, inactive };
  explicit DispatchSerialQueue(std::string label, Activation activation = Activation::active);
  // Work still queued is dropped unrun; the item running finishes first.
  ~DispatchSerialQueue() override;
  DispatchSerialQueue(const DispatchSerialQueue&) = delete;
  DispatchSerialQueue& operator=(const DispatchSerialQueue&) = delete;

  void async(Work work) override;
  // Lets an inactive queue run its work; later calls do nothing.
  void activate();
  const std::string& label() const { return label_; }

  // True inside this queue's work (on its thread): the code runs in the queue's sequence.
  bool isCurrent() const;
  // States an "on this queue only" contract where it is relied on, as dispatchAssertMainThread
  // does for the main thread: elsewhere it logs `what` and aborts. Checked in the same builds.
  void assertCurrent(const char* what) const {
#if !defined(NDEBUG) || defined(PROXYHOST_CHECK_THREADS)
    if (!isCurrent()) sequenceViolated(what);
#endif
  }

 private:
  [[noreturn]] void sequenceViolated(const char* what) const;
  struct State;
  static void* workerMain(void* state);
  std::string label_;
  std::shared_ptr<State> state_;
};
