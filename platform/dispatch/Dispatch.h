// Dispatch queues: the main queue and the global concurrent queues by quality-of-service class.
//
//   DispatchQueue::global(DispatchQoS::userInitiated).async([] { slowWork(); });
//   DispatchQueue::main().async([] { answerOnMainThread(); });
//
// The main queue runs its work on the main thread, in submission order, whenever the main run
// loop drains it (NSApplication::run, or drainMainQueue in a test). A global queue starts a new
// thread whenever no worker is idle, so a task never waits behind tasks that block; idle workers
// retire after a while. Work may be submitted from any thread, including from within work.
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

// For the run loop: a descriptor that polls readable while main-queue work is pending.
int mainQueueWakeDescriptor();

// Runs the main-queue work pending now (what it submits runs at the next drain); returns how
// many ran.
// Must be called on the main thread.
size_t drainMainQueue();

// Drains the main queue until `done` returns true or `timeout` passes; returns `done()`.
// For tests and tools that have no run loop. Must be called on the main thread.
bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// How many worker threads the global queues hold right now (busy or idle), for tests.
size_t globalQueueThreadCount();

// A serial queue, as `DispatchQueue(label:attributes:)` makes one: its work runs one item at a
// time, in submission order, on one thread of its own that never ends (so children that a work
// item starts can tie their lives to it). Made inactive, it holds its work until activate(), as a
// queue made with the initially-inactive attribute does. Work may be submitted from any thread.
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

 private:
  struct State;
  static void* workerMain(void* state);
  std::string label_;
  std::shared_ptr<State> state_;
};
