// NSTask, NSPipe, NSFileHandle: a child program described by an absolute path and separate
// arguments, started without a shell, on the shared runner of Subprocess.h.
//
//   NSTask task;
//   NSPipe pipe;
//   task.setLaunchPath("/usr/sbin/networksetup");
//   task.setArguments({"-listallnetworkservices"});
//   task.setStandardOutput(pipe);
//   task.setStandardError(NSFileHandle::fileHandleWithNullDevice());
//   std::optional<NSError> error;
//   if (task.launchAndReturnError(&error)) {
//     task.waitUntilExit();
//     std::string bytes = pipe.fileHandleForReading().readDataToEndOfFile();
//   }
//
// The order of waitUntilExit and readDataToEndOfFile does not matter, as it does not on the
// original platform with small outputs: here the pipe is drained while the wait runs, so a child
// that writes megabytes never blocks on a full pipe, and the reading handle hands out what it
// took in. A stream left unset goes to the null device (the original inherits this process's;
// the host has nothing useful there). No descriptor reaches the child but its three streams.
// A launch path of the macOS tools the product names (/usr/sbin/networksetup, /usr/bin/base64)
// starts the product's own tool of that name (platform/macos_tools).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/NSError.h"

class NSTask;
struct NSTaskState;
struct NSPipeInput;

class NSFileHandle {
 public:
  static NSFileHandle fileHandleWithNullDevice();
  // This process's own standard error: a child given it writes where this process writes.
  static NSFileHandle fileHandleWithStandardError();
  // Every byte written to the pipe behind this handle up to its end; empty for the null device.
  std::string readDataToEndOfFile();
  bool isStandardError() const { return standardError_; }
  // The writing end of a pipe that is a task's standard input: writes all of `data` (blocking while
  // the pipe is full, so more than its 64 KiB only once the task runs); closeFile ends the input.
  void writeData(const std::string& data);
  void closeFile();

 private:
  friend class NSPipe;
  friend class NSTask;
  NSFileHandle() = default;
  bool standardError_ = false;
  std::shared_ptr<NSTaskState> state_;  // shared with the task the pipe is attached to
  std::shared_ptr<NSPipeInput> input_;  // the pipe's own ends, when a task reads it as input
};

class NSPipe {
 public:
  NSPipe();
  NSFileHandle fileHandleForReading() const { return reading_; }
  NSFileHandle fileHandleForWriting() const { return writing_; }

 private:
  friend class NSTask;
  NSFileHandle reading_;
  NSFileHandle writing_;
};

inline const std::string NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr long NSFileNoSuchFileError = 4;
inline constexpr long NSFileReadUnknownError = 256;

enum NSTaskTerminationReason { NSTaskTerminationReasonExit = 1, NSTaskTerminationReasonUncaughtSignal = 2 };

class NSTask {
 public:
  NSTask();
  ~NSTask();
  NSTask(const NSTask&) = delete;
  NSTask& operator=(const NSTask&) = delete;

  void setLaunchPath(const std::string& path) { launchPath_ = path; }
  void setExecutableURL(const std::string& fileURLOrPath);
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  // The task reads the pipe; this side writes through its fileHandleForWriting. Unset: /dev/null.
  void setStandardInput(const NSPipe& pipe) { standardInput_ = pipe.writing_.input_; }
  void setStandardOutput(const NSPipe& pipe) { standardOutput_ = pipe.reading_; }
  void setStandardOutput(const NSFileHandle& handle) { standardOutput_ = handle; }
  void setStandardError(const NSPipe& pipe) { standardError_ = pipe.reading_; }
  void setStandardError(const NSFileHandle& handle) { standardError_ = handle; }

  // Starts the child: true, or false with `error` set when it cannot be started. A task starts
  // at most once.
  bool launchAndReturnError(std::optional<NSError>* error);
  // Blocks until the child has ended (or was killed at the wait limit); returns at once when the
  // task never started.
  void waitUntilExit();

  bool isRunning() const;
  pid_t processIdentifier() const;
  int terminationStatus() const;  // the exit status, or 128 + the signal that ended it
  // Whether the child exited or a signal ended it (the kill at a time limit included).
  NSTaskTerminationReason terminationReason() const;

 private:
  friend bool runTaskWithTimeLimit(NSTask& task, std::chrono::milliseconds limit, std::optional<NSError>* error);
  std::string launchPath_;
  std::vector<std::string> arguments_;
  std::shared_ptr<NSPipeInput> standardInput_;
  NSFileHandle standardOutput_ = NSFileHandle::fileHandleWithNullDevice();
  NSFileHandle standardError_ = NSFileHandle::fileHandleWithNullDevice();
  std::optional<std::chrono::milliseconds> timeLimit_;
  std::shared_ptr<NSTaskState> state_;
};

// Launches `task` and waits until it exits, giving up after `limit` counted from the launch: a task
// still running then is killed (SIGKILL) and reaped, and the call returns. False, with `error`,
// when the task cannot start. On macOS: launchAndReturnError, a dispatch timer on a global queue
// that sends terminate() and then SIGKILL to processIdentifier() at the limit, and waitUntilExit.
bool runTaskWithTimeLimit(NSTask& task, std::chrono::milliseconds limit, std::optional<NSError>* error);
