#include "proxy/PrivilegedRunQueue.h"

#include "platform/NoDestructor.h"
#include "platform/scripting/NSAppleScript.h"
#include "proxy/ProxyRecord.h"

namespace proxy {

namespace {

void answer(FlutterResult& result, const AdminRunOutcome& outcome) {
  switch (outcome.kind()) {
    case AdminRunOutcome::Case::success: result(EncodableValue(true)); break;
    case AdminRunOutcome::Case::cancelled:
      result(FlutterError{"cancelled", std::string("User cancelled authorization"), {}});
      break;
    case AdminRunOutcome::Case::failed: result(FlutterError{"failed", outcome.message(), {}}); break;
  }
}

void answerOnMain(FlutterResult result, AdminRunOutcome outcome) {
  DispatchQueue::main().async(
      [outcome = std::move(outcome), result = std::move(result)]() mutable { answer(result, outcome); });
}

PrivilegedRunQueue::Environment productionEnvironment() {
  // A guard's cleanup and start-up recovery take the record's lock before they switch anything off:
  // an administrator run that holds it shared keeps them waiting until it is over.
  NSAppleScript::setAdministratorRunLock(ProxyRecord::forThisApplication().lockPath());
  return {.run = runAsAdministrator,
          .stopRun = [] { NSAppleScript::terminateRunningScripts(); },
          .record = &ProxyRecord::forThisApplication()};
}

}  // namespace

PrivilegedRunQueue& PrivilegedRunQueue::shared() {
  static NoDestructor<PrivilegedRunQueue> queue(productionEnvironment(), DispatchSerialQueue::Activation::inactive);
  return *queue;
}

PrivilegedRunQueue::PrivilegedRunQueue(Environment environment, DispatchSerialQueue::Activation activation)
    : env_(std::move(environment)), queue_("privileged proxy runs", activation) {}

void PrivilegedRunQueue::submit(PrivilegedRun run, FlutterResult result) {
  uint64_t generation;
  {
    MutexLock lock(mutex_);
    if (stopped_) {
      result(FlutterError{"failed", std::string(kStoppingMessage), {}});
      return;
    }
    generation = generation_;
  }
  queue_.async([this, generation, run = std::move(run), result = std::move(result)]() mutable {
    perform(generation, run, std::move(result));
  });
}

void PrivilegedRunQueue::perform(uint64_t generation, const PrivilegedRun& run, FlutterResult result) {
  // One run at a time rests on running only here.
  queue_.assertCurrent("PrivilegedRunQueue: a run");
  bool dropped = false;
  {
    MutexLock lock(mutex_);
    // Queued before a stop: dropped, also when the queue was reopened since.
    dropped = stopped_ || generation != generation_;
    if (!dropped) running_ = true;
  }
  // Answered with the lock released: once the answer is out, the queue's owner may be gone.
  if (dropped) {
    answerOnMain(std::move(result), AdminRunOutcome::failed(kStoppingMessage));
    return;
  }
  AdminRunOutcome outcome = runRecorded(run);
  {
    MutexLock lock(mutex_);
    running_ = false;
  }
  idle_.notify_all();
  answerOnMain(std::move(result), std::move(outcome));
}

AdminRunOutcome PrivilegedRunQueue::runRecorded(const PrivilegedRun& run) {
  // What no record names, no guard and no later start switches off: such an enable must not run.
  if (run.kind == PrivilegedRun::Kind::enable && env_.record != nullptr) {
    if (auto kept = env_.record->addEnabled(run.services, run.host, run.port, run.socks); !kept) {
      return AdminRunOutcome::failed(std::string(kUnrecordedMessage) + " (" + kept.error().message() + ")");
    }
  }
  // A disable leaves the record as it is: its script goes on past failures and answers success
  // anyway, so only a cleanup can tell the services are off.
  return env_.run(run.script);
}

void PrivilegedRunQueue::activate() { queue_.activate(); }

void PrivilegedRunQueue::stop(std::chrono::milliseconds limit) {
  MutexLock lock(mutex_);
  stopped_ = true;
  ++generation_;
  if (idle_.wait_for(lock.native(), limit, [this]() REQUIRES(mutex_) { return !running_; })) return;
  // Again until it is over: the run may be between two scripts, or starting one, when told.
  while (running_) {
    if (env_.stopRun) {
      lock.unlock();
      env_.stopRun();
      lock.lock();
    }
    idle_.wait_for(lock.native(), std::chrono::milliseconds(100), [this]() REQUIRES(mutex_) { return !running_; });
  }
}

void PrivilegedRunQueue::reopen() {
  MutexLock lock(mutex_);
  stopped_ = false;
}

}  // namespace proxy
