#include "platform/service_management/ServiceManagement.h"

#include <mutex>

#include "platform/NoDestructor.h"
#include "platform/service_management/XDGLoginItemRegistry.h"

namespace {

std::mutex& registryMutex() {
  static NoDestructor<std::mutex> m;
  return *m;
}

std::shared_ptr<SMLoginItemRegistry>& installed() {
  static NoDestructor<std::shared_ptr<SMLoginItemRegistry>> registry;
  return *registry;
}

}  // namespace

std::shared_ptr<SMLoginItemRegistry> SMLoginItemRegistry::current() {
  std::lock_guard lock(registryMutex());
  if (!installed()) installed() = std::make_shared<XDGLoginItemRegistry>();
  return installed();
}

void SMLoginItemRegistry::setCurrentForTesting(std::shared_ptr<SMLoginItemRegistry> registry) {
  std::lock_guard lock(registryMutex());
  installed() = std::move(registry);
}

SMAppService SMAppService::mainAppService() { return SMAppService(std::nullopt); }

SMAppService SMAppService::loginItemServiceWithIdentifier(std::string identifier) {
  return SMAppService(std::move(identifier));
}

SMAppServiceStatus SMAppService::status() const { return SMLoginItemRegistry::current()->statusOf(*this); }

bool SMAppService::registerAndReturnError(std::optional<NSError>* error) const {
  auto failure = SMLoginItemRegistry::current()->registerService(*this);
  if (error != nullptr) *error = failure;
  return !failure;
}

bool SMAppService::unregisterAndReturnError(std::optional<NSError>* error) const {
  auto failure = SMLoginItemRegistry::current()->unregisterService(*this);
  if (error != nullptr) *error = failure;
  return !failure;
}

bool SMLoginItemSetEnabled(const std::string& identifier, bool enabled) {
  return SMLoginItemRegistry::current()->setLoginItemEnabled(identifier, enabled);
}

std::optional<CFValue> SMCopyAllJobDictionaries(std::string_view domain) {
  return SMLoginItemRegistry::current()->copyAllJobDictionaries(domain);
}
