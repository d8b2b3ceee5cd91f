#include "platform/foundation/NSProcessInfo.h"

#include <unistd.h>

#include <fstream>
#include <tuple>

#include "platform/NoDestructor.h"

NSProcessInfo& NSProcessInfo::processInfo() {
  static NoDestructor<NSProcessInfo> info;
  return *info;
}

int NSProcessInfo::processIdentifier() const { return getpid(); }

std::string NSProcessInfo::processName() const {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

NSOperatingSystemVersion NSProcessInfo::operatingSystemVersion() const {
  return {major_.load(), minor_.load(), patch_.load()};
}

bool NSProcessInfo::isOperatingSystemAtLeastVersion(NSOperatingSystemVersion v) const {
  auto now = operatingSystemVersion();
  return std::tie(now.majorVersion, now.minorVersion, now.patchVersion) >=
         std::tie(v.majorVersion, v.minorVersion, v.patchVersion);
}

void NSProcessInfo::setOperatingSystemVersionForTesting(NSOperatingSystemVersion v) {
  major_ = v.majorVersion;
  minor_ = v.minorVersion;
  patch_ = v.patchVersion;
}
