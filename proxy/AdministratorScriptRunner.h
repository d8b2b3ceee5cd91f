// Runs a script with administrator rights through the platform's scripting service, so that the
// platform itself asks the user; the outcome tells the channel what to answer.
#pragma once

#include <string>
#include <utility>

namespace proxy {

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

// Blocks until the authorization is answered and the script has run: never on the main thread.
AdminRunOutcome runAsAdministrator(const std::string& script);

}  // namespace proxy
