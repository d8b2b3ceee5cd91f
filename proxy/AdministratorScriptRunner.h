// Running a script with administrator rights, and what the run came to.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/posix/Expected.h"

namespace proxy {

// What an administrator run came to.
class AdminRunOutcome {
 public:
  enum class Case { success, cancelled, failed };
  static AdminRunOutcome success() { return AdminRunOutcome(Case::success, {}); }
  static AdminRunOutcome cancelled() { return AdminRunOutcome(Case::cancelled, {}); }
  static AdminRunOutcome failed(std::string message) { return AdminRunOutcome(Case::failed, std::move(message)); }
  Case kind() const { return kind_; }
  // Empty unless the run failed.
  const std::string& message() const { return message_; }
  bool operator==(const AdminRunOutcome&) const = default;

 private:
  AdminRunOutcome(Case kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Case kind_;
  std::string message_;
};
// Runs the script through the platform's scripting service, so that the platform itself asks the
// user. Blocks until the authorization is answered and the script has run: never on the main thread.
// A machine whose decode step does not work (checkDecodeStep, before each run until it has worked
// once; a log line when the problem shows) answers the run "failed" with why, before any prompt:
// the run could not have done anything.
AdminRunOutcome runAsAdministrator(const std::string& script);

// Whether `/usr/bin/base64 -D`, the command's decode step, gives back what was encoded: it does on
// macOS, and in the product's tool view on Linux (GNU base64 knows only -d); it fails where the
// product's tools are missing or broken. Runs the tool as a task, without administrator rights or
// a shell. Why not when it does not work.
posix::Expected<void> checkDecodeStep();
// Tests: `check` in place of checkDecodeStep (an empty function puts it back); checked afresh at
// the next run.
void setDecodeStepCheckForTesting(std::function<posix::Expected<void>()> check);

}  // namespace proxy
