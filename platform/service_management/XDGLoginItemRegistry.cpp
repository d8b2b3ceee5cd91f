#include "platform/service_management/XDGLoginItemRegistry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/posix/Files.h"

namespace {

// A bundle identifier is reverse-DNS text; anything else must not become a file name (no "/",
// no "..", nothing hidden).
bool isUsableIdentifier(const std::string& id) {
  if (id.empty() || id.front() == '.') return false;
  return std::all_of(id.begin(), id.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_';
  });
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

// A desktop-entry string value: backslash, line breaks and tabs escaped.
std::string escapeStringValue(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

std::optional<std::string> runningExecutable() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

bool isLabelled(const CFValue& job, const std::string& identifier) {
  const CFValue* label = job.valueForKey("Label");
  return label != nullptr && label->asString() != nullptr && *label->asString() == identifier;
}

}  // namespace

std::string XDGDesktopEntryExecValue(const std::string& executable) {
  // Characters the Exec grammar reserves: with any of them the path goes in double quotes, where
  // only ", `, $ and \ need a backslash.
  static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string argument;
  if (executable.find_first_of(reserved) == std::string::npos) {
    argument = executable;
  } else {
    argument = "\"";
    for (char c : executable) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
      argument += c;
    }
    argument += '"';
  }
  // "%" opens a field code; a literal one is doubled.
  std::string withPercents;
  for (char c : argument) {
    withPercents += c;
    if (c == '%') withPercents += '%';
  }
  return escapeStringValue(withPercents);
}

bool XDGAutostartEntryIsEnabled(std::string_view text) {
  std::istringstream lines{std::string(text)};
  std::string line;
  bool inMainGroup = false;
  bool enabled = true;
  while (std::getline(lines, line)) {
    std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    if (t[0] == '[') {
      inMainGroup = t == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    auto eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(std::string_view(t).substr(0, eq));
    std::string value = trim(std::string_view(t).substr(eq + 1));
    if (key == "Hidden" && (value == "true" || value == "1")) enabled = false;
    if (key == "X-GNOME-Autostart-enabled" && (value == "false" || value == "0")) enabled = false;
  }
  return enabled;
}

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
  std::ifstream in(*path);
  if (!in) return SMAppServiceStatus::notRegistered;
  std::stringstream text;
  text << in.rdbuf();
  return XDGAutostartEntryIsEnabled(text.str()) ? SMAppServiceStatus::enabled : SMAppServiceStatus::notRegistered;
}

std::optional<NSError> XDGLoginItemRegistry::registerService(const SMAppService& service) {
  auto path = autostartEntryPath(service);
  if (!path) return smError(kSMErrorInvalidSignature, "The application has no usable bundle identifier.");
  if (service.helperIdentifier()) {
    return smError(kSMErrorJobPlistNotFound,
                   "The login item helper " + *service.helperIdentifier() + " is not in the application bundle.");
  }
  auto executable = options_.executable ? options_.executable : runningExecutable();
  if (!executable) return smError(kSMErrorInternalFailure, "The running application's executable cannot be found.");
  if (auto failure = posix::createFolders(autostartDirectory(), 0700)) {
    return smError(kSMErrorInternalFailure, "Cannot create " + autostartDirectory() + ": " + errnoText(failure->code) + ".");
  }
  std::string name = NSBundle::mainBundle().objectForInfoDictionaryKey("CFBundleName").value_or(*identifierOf(service));
  std::string entry = "[Desktop Entry]\nType=Application\nName=" + escapeStringValue(name) +
                      "\nExec=" + XDGDesktopEntryExecValue(*executable) + "\nTerminal=false\n";
  if (auto failure = posix::writeFileAtomically(*path, entry, 0644)) {
    return smError(kSMErrorInternalFailure, "Cannot write " + *path + ": " + errnoText(failure->code) + ".");
  }
  return std::nullopt;
}

std::optional<NSError> XDGLoginItemRegistry::unregisterService(const SMAppService& service) {
  auto path = autostartEntryPath(service);
  if (!path) return smError(kSMErrorInvalidSignature, "The application has no usable bundle identifier.");
  if (unlink(path->c_str()) == 0) return std::nullopt;
  if (errno == ENOENT) return smError(kSMErrorJobNotFound, "The login item is not registered.");
  return smError(kSMErrorInternalFailure, "Cannot remove " + *path + ": " + errnoText(errno) + ".");
}

bool XDGLoginItemRegistry::setLoginItemEnabled(const std::string& identifier, bool enabled) {
  std::lock_guard lock(jobsMutex_);
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
  std::lock_guard lock(jobsMutex_);
  return jobs_;
}

void XDGLoginItemRegistry::setJobDictionaries(std::optional<CFValue> jobs) {
  std::lock_guard lock(jobsMutex_);
  jobs_ = std::move(jobs);
}
