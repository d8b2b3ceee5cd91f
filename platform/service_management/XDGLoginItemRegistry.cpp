#include "platform/service_management/XDGLoginItemRegistry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/ThreadSafety.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/posix/Files.h"

namespace {

// A bundle identifier is reverse-DNS text; anything else must not become a file name (no "/",
// no "..", nothing hidden).
bool isUsableIdentifier(const std::string& id) {
  if (id.empty() || id.front() == '.') return false;
  return std::all_of(id.begin(), id.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; });
}

std::optional<std::string> identifierOf(const SMAppService& service) {
  std::optional<std::string> id =
      service.helperIdentifier() ? service.helperIdentifier() : NSBundle::mainBundle().bundleIdentifier();
  if (!id || !isUsableIdentifier(*id)) return std::nullopt;
  return id;
}

NSError smError(long code, std::string description) {
  return NSError(std::string(SMAppServiceErrorDomain), code, std::move(description));
}

std::string errnoText(int error) { return std::strerror(error); }

// What the main application's entry starts: the configured executable, else the running one.
std::optional<std::string> mainExecutable(const XDGLoginItemRegistry::Options& options) {
  return options.executable ? options.executable : posix::executablePath();
}

// An entry's text; nothing for a folder, something that cannot be read, or a file larger than
// any entry (the entries we write are a few hundred bytes).
std::optional<std::string> readEntry(const std::string& path) {
  constexpr off_t kLargestEntry = 1 << 20;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kLargestEntry) return std::nullopt;
  return posix::readFile(path, kLargestEntry).ok();  // nothing also when it grew meanwhile
}

bool isLabelled(const CFValue& job, const std::string& identifier) {
  const CFValue* label = job.valueForKey("Label");
  return label != nullptr && label->asString() != nullptr && *label->asString() == identifier;
}

}  // namespace

std::string XDGLoginItemRegistry::autostartDirectory() const {
  return options_.configHome.value_or(NSUserDefaults::userConfigurationDirectory()) + "/autostart";
}

std::optional<std::string> XDGLoginItemRegistry::autostartEntryPath(const SMAppService& service) const {
  auto id = identifierOf(service);
  if (!id) return std::nullopt;
  return autostartDirectory() + "/" + *id + ".desktop";
}

SMAppServiceStatus XDGLoginItemRegistry::statusOf(const SMAppService& service) {
  auto path = autostartEntryPath(service);
  if (!path) return SMAppServiceStatus::notFound;
  std::optional<std::string> text = readEntry(*path);
  if (!text) return SMAppServiceStatus::notRegistered;
  // A helper's executable is not known here: any program counts as the helper's.
  std::optional<std::string> executable;
  if (!service.helperIdentifier()) {
    executable = mainExecutable(options_);
    if (!executable) return SMAppServiceStatus::notRegistered;
  }
  return XDGAutostartEntryStarts(*text, executable) ? SMAppServiceStatus::enabled : SMAppServiceStatus::notRegistered;
}

std::optional<NSError> XDGLoginItemRegistry::registerService(const SMAppService& service) {
  auto path = autostartEntryPath(service);
  if (!path) return smError(kSMErrorInvalidSignature, "The application has no usable bundle identifier.");
  if (service.helperIdentifier()) {
    return smError(kSMErrorJobPlistNotFound,
                   "The login item helper " + *service.helperIdentifier() + " is not in the application bundle.");
  }
  auto executable = mainExecutable(options_);
  if (!executable) return smError(kSMErrorInternalFailure, "The running application's executable cannot be found.");
  if (auto made = posix::createFolders(autostartDirectory(), 0700); !made) {
    return smError(kSMErrorInternalFailure,
                   "Cannot create " + autostartDirectory() + ": " + errnoText(made.error().code()) + ".");
  }
  std::string name = NSBundle::mainBundle().objectForInfoDictionaryKey("CFBundleName").value_or(*identifierOf(service));
  if (auto written = posix::writeFileAtomically(*path, XDGAutostartEntryText(name, *executable), 0644); !written) {
    return smError(kSMErrorInternalFailure, "Cannot write " + *path + ": " + errnoText(written.error().code()) + ".");
  }
  return std::nullopt;
}

std::optional<NSError> XDGLoginItemRegistry::unregisterService(const SMAppService& service) {
  auto path = autostartEntryPath(service);
  if (!path) return smError(kSMErrorInvalidSignature, "The application has no usable bundle identifier.");
  struct stat info {};
  if (lstat(path->c_str(), &info) != 0) {
    if (errno == ENOENT) return smError(kSMErrorJobNotFound, "The login item is not registered.");
    return smError(kSMErrorInternalFailure, "Cannot read " + *path + ": " + errnoText(errno) + ".");
  }
  // Whatever file bears our entry's name is ours (a link goes, not what it points to); a folder
  // only when it is empty: what someone put in it is not ours to remove.
  if ((S_ISDIR(info.st_mode) ? rmdir(path->c_str()) : unlink(path->c_str())) == 0) return std::nullopt;
  return smError(kSMErrorInternalFailure, "Cannot remove " + *path + ": " + errnoText(errno) + ".");
}

bool XDGLoginItemRegistry::setLoginItemEnabled(const std::string& identifier, bool enabled) {
  MutexLock lock(jobsMutex_);
  if (!jobs_) jobs_ = CFValue(CFValue::Array{});
  const CFValue::Array* current = jobs_->asArray();
  if (current == nullptr) return false;  // a table of another shape is not ours to repair
  CFValue::Array next;
  for (const auto& job : *current) {
    if (!isLabelled(job, identifier)) next.push_back(job);
  }
  if (enabled) next.push_back(CFValue::dictionary({{"Label", identifier}, {"OnDemand", true}}));
  jobs_ = CFValue(std::move(next));
  return true;
}

std::optional<CFValue> XDGLoginItemRegistry::copyAllJobDictionaries(std::string_view domain) {
  if (domain != kSMDomainUserLaunchd) return std::nullopt;
  MutexLock lock(jobsMutex_);
  return jobs_;
}

void XDGLoginItemRegistry::setJobDictionaries(std::optional<CFValue> jobs) {
  MutexLock lock(jobsMutex_);
  jobs_ = std::move(jobs);
}
