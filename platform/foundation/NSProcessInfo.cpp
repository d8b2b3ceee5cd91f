#include "platform/foundation/NSProcessInfo.h"

#include <unistd.h>

#include <tuple>

#include "platform/NoDestructor.h"
#include "platform/posix/Files.h"

NSProcessInfo& NSProcessInfo::processInfo() {
  static NoDestructor<NSProcessInfo> info;
  return *info;
}

int NSProcessInfo::processIdentifier() const { return getpid(); }

std::string NSProcessInfo::processName() const { return posix::readFirstLine("/proc/self/comm").value_or(""); }

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
