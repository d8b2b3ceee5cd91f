// Helpers for the system proxy tests: a scripting double that sees what the administrator run
// hands to the platform.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/Expected.h"
#include "platform/scripting/AppleScriptSource.h"
#include "platform/scripting/NSAppleScript.h"

namespace proxy_test {

// The decode step's check of a machine where it works, as every proxy test process has it.
posix::Expected<void> decodeStepWorks();

// Standard Base64 back to bytes; nothing when `text` is not canonical padded Base64.
std::optional<std::string> decodeBase64(std::string_view text);

// The script an administrator command carries, when `source` is exactly
//   do shell script "echo 'BASE64' | /usr/bin/base64 -D | /bin/bash" with administrator privileges
std::optional<std::string> scriptInAdministratorSource(const std::string& source);

// Stands in for the scripting service while it lives: every source "compiles", and each run is
// answered by `answer` with the script the source carries (an empty string when the source is not
// an administrator command). Runs may happen on any thread and at the same time.
class FakeScripting {
 public:
  using Answer = std::function<std::optional<NSDictionary>(const std::string& script)>;

  explicit FakeScripting(Answer answer = {});
  ~FakeScripting();
  FakeScripting(const FakeScripting&) = delete;
  FakeScripting& operator=(const FakeScripting&) = delete;

  // Every source handed to initWithSource so far, in order.
  std::vector<std::string> sources() const;
  // The scripts whose runs have started, in order.
  std::vector<std::string> scriptsRun() const;
  // Waits until `count` runs have started.
  bool waitForRuns(size_t count, std::chrono::milliseconds timeout) const;

 private:
  class Script;
  Answer answer_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> sources_;
  std::vector<std::string> scriptsRun_;
};

// A switch that blocking runs wait on, released by the test thread.
class Gate {
 public:
  void open();
  // False when it did not open within `timeout`.
  bool wait(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

}  // namespace proxy_test
