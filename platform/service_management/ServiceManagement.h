// ServiceManagement: login items, in both of the platform's generations.
//
// Modern: an SMAppService stands for the running application (mainAppService) or for a helper
// application inside its bundle (loginItemServiceWithIdentifier); it can be registered as a
// login item, unregistered, and asked for its status.
//   std::optional<NSError> error;
//   if (!SMAppService::mainAppService().registerAndReturnError(&error)) report(error->localizedDescription());
//
// Legacy: SMLoginItemSetEnabled switches a helper's launchd job on or off, and
// SMCopyAllJobDictionaries lists the job dictionaries of a launchd domain.
//
// Everything goes to the login-item registry (SMLoginItemRegistry::current()): on this platform
// the main application's login item is an XDG autostart entry and the launchd jobs are a table
// in this process (XDGLoginItemRegistry.h). Tests put a double in its place.
// All calls are synchronous, on the caller's thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/NSError.h"
#include "platform/service_management/CFValue.h"

enum class SMAppServiceStatus : long {
  notRegistered = 0,
  enabled = 1,
  requiresApproval = 2,
  notFound = 3,
};

inline constexpr std::string_view SMAppServiceErrorDomain = "SMAppServiceErrorDomain";
// Error codes of SMAppServiceErrorDomain.
inline constexpr long kSMErrorInternalFailure = 2;
inline constexpr long kSMErrorInvalidSignature = 3;
inline constexpr long kSMErrorJobNotFound = 6;
inline constexpr long kSMErrorJobPlistNotFound = 8;

inline constexpr std::string_view kSMDomainUserLaunchd = "kSMDomainUserLaunchd";
inline constexpr std::string_view kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";

class SMAppService {
 public:
  // The service that stands for the running application; fetch it afresh at each use.
  static SMAppService mainAppService();
  // The service of the helper application with this bundle identifier.
  static SMAppService loginItemServiceWithIdentifier(std::string identifier);

  SMAppServiceStatus status() const;
  // True on success; otherwise false, and `error` (when given) says why.
  bool registerAndReturnError(std::optional<NSError>* error) const;
  bool unregisterAndReturnError(std::optional<NSError>* error) const;

  // The helper's identifier; nothing for the main application.
  const std::optional<std::string>& helperIdentifier() const { return helperIdentifier_; }
  bool operator==(const SMAppService&) const = default;

 private:
  explicit SMAppService(std::optional<std::string> helperIdentifier) : helperIdentifier_(std::move(helperIdentifier)) {}
  std::optional<std::string> helperIdentifier_;
};

// Enables or disables the login item whose helper has `identifier`; true when the registry took it.
bool SMLoginItemSetEnabled(const std::string& identifier, bool enabled);

// The job dictionaries of `domain` (kSMDomainUserLaunchd or kSMDomainSystemLaunchd): usually an
// array of dictionaries, but callers must check; nothing when the registry has no list to give.
std::optional<CFValue> SMCopyAllJobDictionaries(std::string_view domain);

// Where login items live. One instance serves the process; tests replace it.
class SMLoginItemRegistry {
 public:
  virtual ~SMLoginItemRegistry() = default;

  virtual SMAppServiceStatus statusOf(const SMAppService& service) = 0;
  virtual std::optional<NSError> registerService(const SMAppService& service) = 0;
  virtual std::optional<NSError> unregisterService(const SMAppService& service) = 0;
  virtual bool setLoginItemEnabled(const std::string& identifier, bool enabled) = 0;
  virtual std::optional<CFValue> copyAllJobDictionaries(std::string_view domain) = 0;

  // The platform's registry unless a test put another in place.
  static std::shared_ptr<SMLoginItemRegistry> current();
  // nullptr puts the platform's registry back.
  static void setCurrentForTesting(std::shared_ptr<SMLoginItemRegistry> registry);
};
