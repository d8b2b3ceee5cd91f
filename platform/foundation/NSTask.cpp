#include "platform/foundation/NSTask.h"

#include <cerrno>

#include "platform/ThreadSafety.h"
#include "platform/foundation/Subprocess.h"
#include "platform/macos_tools/MacOSTools.h"
#include "platform/posix/UniqueFd.h"

// What a launched task and the reading handles of its pipes share. The mutex makes a wait on one
// thread and a read on another meet in one drain.
struct NSTaskState {
  Mutex mutex;
  std::optional<Subprocess> child GUARDED_BY(mutex);
  SubprocessResult result GUARDED_BY(mutex);
  bool finished GUARDED_BY(mutex) = false;
  // Set on an error pipe's state when the task's output pipe carries the child: reads go there.
  std::shared_ptr<NSTaskState> source GUARDED_BY(mutex);
  bool errorStream GUARDED_BY(mutex) = false;  // this handle reads the child's standard error

  void finish() {
    MutexLock lock(mutex);
    if (finished) return;
    if (child) child->finish(result);
    child.reset();
    finished = true;
  }
};

// An OS pipe for a task's standard input, made with the NSPipe: the task gets the reading end, this
// side writes to the other.
struct NSPipeInput {
  Mutex mutex;
  posix::UniqueFd read GUARDED_BY(mutex);
  posix::UniqueFd write GUARDED_BY(mutex);
};

namespace {

enum class Start { refused, failed, started };

// Starts the task's child on `state`, which must carry none yet; `refused` when nothing was tried.
Start startChild(NSTaskState& state, const SubprocessOptions& options, const std::string& launchPath, bool errorStream,
                 std::optional<NSError>* error) {
  MutexLock lock(state.mutex);
  if (state.child || state.finished) {
    if (error) *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "The pipe is already attached to a task.");
    return Start::refused;
  }
  if (launchPath.empty() || launchPath[0] != '/') {
    if (error) *error = NSError(NSCocoaErrorDomain, NSFileNoSuchFileError, "The launch path is not absolute.");
    return Start::refused;
  }
  state.child = Subprocess::start(options, state.result);
  if (!state.child) {
    if (error) {
      long code = state.result.startErrno == ENOENT ? NSFileNoSuchFileError : NSFileReadUnknownError;
      *error = NSError(NSCocoaErrorDomain, code, state.result.startError);
    }
    state.result = SubprocessResult{};
    return Start::failed;
  }
  state.errorStream = errorStream;
  return Start::started;
}

}  // namespace

NSFileHandle NSFileHandle::fileHandleWithNullDevice() { return NSFileHandle(); }

void NSFileHandle::writeData(const std::string& data) {
  if (!input_) return;
  MutexLock lock(input_->mutex);
  if (input_->write.valid()) posix::writeAll(input_->write.get(), data);
}

void NSFileHandle::closeFile() {
  if (!input_) return;
  MutexLock lock(input_->mutex);
  input_->write.reset();
}

NSFileHandle NSFileHandle::fileHandleWithStandardError() {
  NSFileHandle handle;
  handle.standardError_ = true;
  return handle;
}

std::string NSFileHandle::readDataToEndOfFile() {
  if (!state_) return {};
  // A pipe never attached to a task has nothing and no child: it reads as empty.
  std::shared_ptr<NSTaskState> owner;
  bool errorStream = false;
  {
    MutexLock lock(state_->mutex);
    owner = state_->source ? state_->source : state_;
    errorStream = state_->errorStream;
  }
  owner->finish();
  MutexLock lock(owner->mutex);
  std::string data;
  data.swap(errorStream ? owner->result.standardError : owner->result.standardOutput);
  return data;
}

NSPipe::NSPipe() {
  reading_.state_ = std::make_shared<NSTaskState>();
  writing_.input_ = std::make_shared<NSPipeInput>();
  if (auto ends = posix::openPipe()) {
    writing_.input_->read = std::move(ends->read);
    writing_.input_->write = std::move(ends->write);
  }
}

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
    if (error)
      *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "One pipe for both streams is not supported.");
    return false;
  }
  auto state = outPiped ? standardOutput_.state_ : errPiped ? standardError_.state_ : std::make_shared<NSTaskState>();
  if (errPiped && outPiped) {
    auto& errState = standardError_.state_;
    MutexLock lock(errState->mutex);
    if (errState->source || errState->child || errState->finished) {
      if (error)
        *error = NSError(NSCocoaErrorDomain, NSFileReadUnknownError, "The pipe is already attached to a task.");
      return false;
    }
  }

  SubprocessOptions options;
  // The macOS tools the product names by their macOS paths are its own tools here; they still see
  // the macOS path as their name.
  options.argv.push_back(launchPath_);
  options.executable = macos_tools::toolFor(launchPath_).value_or("");
  options.argv.insert(options.argv.end(), arguments_.begin(), arguments_.end());
  options.standardOutput = outPiped ? SubprocessStream::pipe : SubprocessStream::null;
  options.standardError = errPiped                           ? SubprocessStream::pipe
                          : standardError_.isStandardError() ? SubprocessStream::inherit
                                                             : SubprocessStream::null;
  options.timeLimit = timeLimit_;
  // The child holds the reading end from here on; this side's copy goes once the child has it, so
  // the input ends when the writing handle is closed.
  Start started;
  if (standardInput_) {
    MutexLock inputLock(standardInput_->mutex);
    options.standardInput = standardInput_->read.get();
    started = startChild(*state, options, launchPath_, errPiped && !outPiped, error);
    if (started != Start::refused) standardInput_->read.reset();
  } else {
    started = startChild(*state, options, launchPath_, errPiped && !outPiped, error);
  }
  if (started != Start::started) return false;

  if (errPiped && outPiped) {
    MutexLock errLock(standardError_.state_->mutex);
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
  MutexLock lock(state_->mutex);
  return !state_->finished;
}

pid_t NSTask::processIdentifier() const {
  if (!state_) return 0;
  MutexLock lock(state_->mutex);
  return state_->child ? state_->child->pid() : 0;
}

int NSTask::terminationStatus() const {
  if (!state_) return 0;
  MutexLock lock(state_->mutex);
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
  MutexLock lock(state_->mutex);
  return state_->result.terminatingSignal != 0 ? NSTaskTerminationReasonUncaughtSignal : NSTaskTerminationReasonExit;
}
