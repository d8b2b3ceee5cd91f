// A login-item registry in memory that writes every change it is asked for into a shared event
// log, so a test sees registry calls and observer notifications in one order.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/service_management/ServiceManagement.h"

namespace login_item_testing {

using EventLog = std::vector<std::string>;

// The configuration folder the tests' standard user defaults live in (set up by main).
extern std::string testConfigHome;

class FakeLoginItemRegistry : public SMLoginItemRegistry {
 public:
  explicit FakeLoginItemRegistry(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}

  SMAppServiceStatus mainStatus = SMAppServiceStatus::notRegistered;
  // When set, registering the main application fails with it.
  std::optional<NSError> registerFailure;
  std::optional<CFValue> jobs = CFValue(CFValue::Array{});

  static NSError notRegisteredError() { return NSError("SMAppServiceErrorDomain", 6, "The item is not registered."); }

  SMAppServiceStatus statusOf(const SMAppService& service) override {
    return service.helperIdentifier() ? SMAppServiceStatus::notFound : mainStatus;
  }
  std::optional<NSError> registerService(const SMAppService& service) override {
    log_->push_back("register(" + name(service) + ")");
    if (registerFailure) return registerFailure;
    mainStatus = SMAppServiceStatus::enabled;
    return std::nullopt;
  }
  // Like the platform: unregistering what is not registered fails.
  std::optional<NSError> unregisterService(const SMAppService& service) override {
    log_->push_back("unregister(" + name(service) + ")");
    if (service.helperIdentifier() || mainStatus == SMAppServiceStatus::notRegistered) return notRegisteredError();
    mainStatus = SMAppServiceStatus::notRegistered;
    return std::nullopt;
  }
  bool setLoginItemEnabled(const std::string& identifier, bool enabled) override {
    log_->push_back("SMLoginItemSetEnabled(" + identifier + ", " + (enabled ? "true" : "false") + ")");
    return true;
  }
  std::optional<CFValue> copyAllJobDictionaries(std::string_view domain) override {
    return domain == kSMDomainUserLaunchd ? jobs : std::nullopt;
  }

 private:
  static std::string name(const SMAppService& service) { return service.helperIdentifier().value_or("main"); }
  std::shared_ptr<EventLog> log_;
};

}  // namespace login_item_testing
