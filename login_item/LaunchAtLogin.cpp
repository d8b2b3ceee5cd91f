#include "login_item/LaunchAtLogin.h"

#include <optional>
#include <string>

#include "platform/NoDestructor.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/oslog/Logger.h"
#include "platform/service_management/ServiceManagement.h"

namespace LaunchAtLogin {

namespace {

constexpr const char* kHasMigratedKey = "LaunchAtLogin__hasMigrated";
constexpr const char* kIsEnabledKey = "isEnabled";

bool isModernPlatform() { return NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({13, 0, 0}); }
bool hasPublishers() { return NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({10, 15, 0}); }

// The helper application's identifier. A bundle without an identifier has no helper we could
// name: guessing one could switch another application's login item.
const std::optional<std::string>& id() {
  static const std::optional<std::string> value = []() -> std::optional<std::string> {
    auto bundleIdentifier = NSBundle::mainBundle().bundleIdentifier();
    if (!bundleIdentifier || bundleIdentifier->empty()) return std::nullopt;
    return *bundleIdentifier + "-LaunchAtLoginHelper";
  }();
  return value;
}

const Logger& logger() {
  static NoDestructor<const Logger> value("net.proxyhost.launch-at-login", "main");
  return *value;
}

const Combine::CurrentValueSubject<bool, Combine::Never>& _publisher() {
  static NoDestructor<const Combine::CurrentValueSubject<bool, Combine::Never>> value(isEnabled());
  return *value;
}

// A refusal is logged, never returned: the caller learns the state by reading it.
void setIsEnabledModern(bool newValue) {
  std::optional<NSError> error;
  bool succeeded;
  if (newValue) {
    // Registering an item that is already on registers it afresh; the unregister's own failure
    // does not matter, the register's does.
    if (SMAppService::mainAppService().status() == SMAppServiceStatus::enabled) {
      SMAppService::mainAppService().unregisterAndReturnError(nullptr);
    }
    succeeded = SMAppService::mainAppService().registerAndReturnError(&error);
  } else {
    succeeded = SMAppService::mainAppService().unregisterAndReturnError(&error);
  }
  if (succeeded) return;
  logger().error("Failed to %s launch at login: %s", newValue ? "enable" : "disable",
                 error ? error->localizedDescription() : "unknown error");
}

// The one write sequence of every face.
void write(bool newValue) {
  if (hasPublishers()) observable()->objectWillChange().send();
  kvo()->willChangeValueForKey(kIsEnabledKey);
  if (isModernPlatform()) {
    setIsEnabledModern(newValue);
  } else if (id()) {
    SMLoginItemSetEnabled(*id(), newValue);
  }
  kvo()->didChangeValueForKey(kIsEnabledKey);
  // The value asked for, not a fresh read: observers learn what the user wanted even when the
  // registry refused it.
  if (hasPublishers()) _publisher().send(newValue);
}

bool isEnabledLegacy() {
  if (!id()) return false;
  std::optional<CFValue> jobs = SMCopyAllJobDictionaries(kSMDomainUserLaunchd);
  if (!jobs) return false;
  const CFValue::Array* list = jobs->asArray();
  if (list == nullptr) return false;
  // A list of dictionaries with string keys, all of it, or it is not the list we know.
  for (const CFValue& job : *list) {
    const CFValue::Dictionary* dictionary = job.asDictionary();
    if (dictionary == nullptr) return false;
    for (const auto& [key, value] : *dictionary) {
      if (key.asString() == nullptr) return false;
    }
  }
  for (const CFValue& job : *list) {
    const CFValue* label = job.valueForKey("Label");
    if (label == nullptr || label->asString() == nullptr || *label->asString() != *id()) continue;
    const CFValue* onDemand = job.valueForKey("OnDemand");
    return onDemand != nullptr && onDemand->asBool() != nullptr && *onDemand->asBool();
  }
  return false;
}

void unregisterLegacy() {
  if (!id()) return;
  SMLoginItemSetEnabled(*id(), false);
  SMAppService::loginItemServiceWithIdentifier(*id()).unregisterAndReturnError(nullptr);
}

}  // namespace

bool isEnabled() {
  if (isModernPlatform()) return SMAppService::mainAppService().status() == SMAppServiceStatus::enabled;
  return isEnabledLegacy();
}

void setIsEnabled(bool newValue) { write(newValue); }

const Combine::AnyPublisher<bool, Combine::Never>& publisher() {
  static NoDestructor<const Combine::AnyPublisher<bool, Combine::Never>> value(_publisher().eraseToAnyPublisher());
  return *value;
}

bool Observable::isEnabled() const { return LaunchAtLogin::isEnabled(); }
void Observable::setIsEnabled(bool newValue) { LaunchAtLogin::setIsEnabled(newValue); }

const std::shared_ptr<Observable>& observable() {
  static NoDestructor<const std::shared_ptr<Observable>> value(std::make_shared<Observable>());
  return *value;
}

bool KVO::isEnabled() const { return LaunchAtLogin::isEnabled(); }
void KVO::setIsEnabled(bool newValue) { LaunchAtLogin::setIsEnabled(newValue); }

std::any KVO::valueForKey(const std::string& key) const {
  if (key == kIsEnabledKey) return isEnabled();
  return NSObject::valueForKey(key);
}

const std::shared_ptr<KVO>& kvo() {
  static NoDestructor<const std::shared_ptr<KVO>> value(std::make_shared<KVO>());
  return *value;
}

void migrateIfNeeded() {
  if (!isModernPlatform()) return;
  NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
  if (defaults.boolForKey(kHasMigratedKey)) return;
  // Marked first, so a migration that fails part way is never tried again.
  defaults.setBool(true, kHasMigratedKey);
  if (isEnabledLegacy()) setIsEnabledModern(true);
  unregisterLegacy();
}

}  // namespace LaunchAtLogin
