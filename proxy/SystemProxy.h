// System proxy control: the privileged proxy channel, the scripts it builds and their run with
// administrator rights.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/flutter/FlutterChannels.h"

namespace proxy {

// Serves "setProxyElevated" (services, host, port, socks, bypass) and "disableProxyElevated"
// (services). Main thread: argument faults are answered at once ("bad_args"); the run goes to
// PrivilegedRunQueue::shared() and is answered on the main queue, true or the error "cancelled" or
// "failed".
void handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result);

// `text` inside apostrophes, as bash reads it back byte for byte.
std::string shellQuote(std::string_view text);
std::string buildEnableProxyScript(const std::vector<std::string>& services, const std::string& host, int64_t port,
                                   int64_t socks, const std::vector<std::string>& bypass);
std::string buildDisableProxyScript(const std::vector<std::string>& services);

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
// a shell. Nothing when it works, else why not.
std::optional<std::string> checkDecodeStep();
// Tests: `check` in place of checkDecodeStep (an empty function puts it back); checked afresh at
// the next run.
void setDecodeStepCheckForTesting(std::function<std::optional<std::string>()> check);

}  // namespace proxy
