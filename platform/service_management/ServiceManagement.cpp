#include "platform/service_management/ServiceManagement.h"

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/service_management/XDGLoginItemRegistry.h"

namespace {

struct Installed {
  Mutex mutex;
  std::shared_ptr<SMLoginItemRegistry> registry GUARDED_BY(mutex);
};

Installed& installed() {
  static NoDestructor<Installed> installed;
  return *installed;
}

}  // namespace

std::shared_ptr<SMLoginItemRegistry> SMLoginItemRegistry::current() {
  Installed& in = installed();
  MutexLock lock(in.mutex);
  if (!in.registry) in.registry = std::make_shared<XDGLoginItemRegistry>();
  return in.registry;
}

void SMLoginItemRegistry::setCurrentForTesting(std::shared_ptr<SMLoginItemRegistry> registry) {
  Installed& in = installed();
  MutexLock lock(in.mutex);
  in.registry = std::move(registry);
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
