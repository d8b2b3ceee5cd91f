#include "platform/foundation/NSTask.h"

#include <cerrno>
#include <mutex>

#include "platform/foundation/Subprocess.h"

// What a launched task and the reading handles of its pipes share. The mutex makes a wait on one
// thread and a read on another meet in one drain.
struct NSTaskState {
  std::mutex mutex;
  std::optional<Subprocess> child;
  SubprocessResult result;
  bool finished = false;
  // Set on an error pipe's state when the task's output pipe carries the child: reads go there.
  std::shared_ptr<NSTaskState> source;
  bool errorStream = false;  // this handle reads the child's standard error

  void finish() {
    std::lock_guard<std::mutex> lock(mutex);
    if (finished) return;
    if (child) child->finish(result);
    child.reset();
    finished = true;
  }
};

NSFileHandle NSFileHandle::fileHandleWithNullDevice() { return NSFileHandle(); }

NSFileHandle NSFileHandle::fileHandleWithStandardError() {
  NSFileHandle handle;
  handle.standardError_ = true;
  return handle;
}

std::string NSFileHandle::readDataToEndOfFile() {
  if (!state_) return {};
  // A pipe never attached to a task has nothing and no child: it reads as empty.
  std::shared_ptr<NSTaskState> owner = state_->source ? state_->source : state_;
  owner->finish();
  std::lock_guard<std::mutex> lock(owner->mutex);
  std::string data;
  data.swap(state_->errorStream ? owner->result.standardError : owner->result.standardOutput);
  return data;
}

NSPipe::NSPipe() { reading_.state_ = std::make_shared<NSTaskState>(); }

NSTask::NSTask() = default;

NSTask::~NSTask() {
  // The child is always reaped; a task dropped without a wait must not leave a zombie behind.
  if (state_) state_->finish();
}

void NSTask::setExecutableURL(const std::string& fileURLOrPath) {
  static const std::string kScheme = "file://";
  launchPath_ = fileURLOrPath.rfind(kScheme, 0) == 0 ? fileURLOrPath.substr(kScheme.size()) : fileURLOrPath;
}

bool NSTask::launchAndReturnError(std::optional<NSError>* error) {
  if (state_) {
    if (error) *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "The task has already been launched.");
    return false;
  }
  // Each pipe belongs to one task; with two pipes the output pipe's state carries the child and
  // the error pipe's state points at it.
  bool outPiped = standardOutput_.state_ != nullptr;
  bool errPiped = standardError_.state_ != nullptr;
  if (outPiped && errPiped && standardOutput_.state_ == standardError_.state_) {
    if (error) *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "One pipe for both streams is not supported.");
    return false;
  }
  auto state = outPiped ? standardOutput_.state_ : errPiped ? standardError_.state_ : std::make_shared<NSTaskState>();
  if (errPiped && outPiped) {
    auto& errState = standardError_.state_;
    std::lock_guard<std::mutex> lock(errState->mutex);
    if (errState->source || errState->child || errState->finished) {
      if (error) *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "The pipe is already attached to a task.");
      return false;
    }
  }

  SubprocessOptions options;
  options.argv.push_back(launchPath_);
  options.argv.insert(options.argv.end(), arguments_.begin(), arguments_.end());
  options.standardOutput = outPiped ? SubprocessStream::pipe : SubprocessStream::null;
  options.standardError = errPiped                          ? SubprocessStream::pipe
                          : standardError_.isStandardError() ? SubprocessStream::inherit
                                                             : SubprocessStream::null;
  options.timeLimit = timeLimit_;

  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->child || state->finished) {
    if (error) *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "The pipe is already attached to a task.");
    return false;
  }
  if (launchPath_.empty() || launchPath_[0] != '/') {
    if (error) *error = NSError(NSCocoaErrorDomain, NSFileNoSuchFileError, "The launch path is not absolute.");
    return false;
  }
  state->child = Subprocess::start(options, state->result);
  if (!state->child) {
    if (error) {
      long code = state->result.startErrno == ENOENT ? NSFileNoSuchFileError : NSFileReadUnknownError;
      *error = NSError(NSCocoaErrorDomain, code, state->result.startError);
    }
    state->result = SubprocessResult{};
    return false;
  }
  state->errorStream = errPiped && !outPiped;
  if (errPiped && outPiped) {
    std::lock_guard<std::mutex> errLock(standardError_.state_->mutex);
    standardError_.state_->source = state;
    standardError_.state_->errorStream = true;
  }
  state_ = state;
  return true;
}

void NSTask::waitUntilExit() {
  if (state_) state_->finish();
}

bool NSTask::isRunning() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return !state_->finished;
}

pid_t NSTask::processIdentifier() const {
  if (!state_) return 0;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->child ? state_->child->pid() : 0;
}

int NSTask::terminationStatus() const {
  if (!state_) return 0;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->result.exitStatus;
}

bool runTaskWithTimeLimit(NSTask& task, std::chrono::milliseconds limit, std::optional<NSError>* error) {
  task.timeLimit_ = limit;
  if (!task.launchAndReturnError(error)) return false;
  task.waitUntilExit();
  return true;
}

NSTaskTerminationReason NSTask::terminationReason() const {
  if (!state_) return NSTaskTerminationReasonExit;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->result.terminatingSignal != 0 ? NSTaskTerminationReasonUncaughtSignal : NSTaskTerminationReasonExit;
}
