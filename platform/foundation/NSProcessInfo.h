// NSProcessInfo: facts about the running process.
//
// Sudden termination is a counted switch: while any disable is held, the platform ends the
// application through its normal terminate sequence (with its notifications) rather than
// killing it without notice.
#pragma once

#include <atomic>
#include <string>

struct NSOperatingSystemVersion {
  long majorVersion = 0;
  long minorVersion = 0;
  long patchVersion = 0;
};

class NSProcessInfo {
 public:
  static NSProcessInfo& processInfo();

  int processIdentifier() const;
  std::string processName() const;

  void disableSuddenTermination() { suddenTerminationDisables_++; }
  void enableSuddenTermination() { suddenTerminationDisables_--; }
  // Disables held now; sudden termination is allowed while this is zero or less.
  int suddenTerminationDisableCount() const { return suddenTerminationDisables_.load(); }

  // The macOS release whose behaviour this platform layer gives (a modern one by default).
  NSOperatingSystemVersion operatingSystemVersion() const;
  bool isOperatingSystemAtLeastVersion(NSOperatingSystemVersion version) const;
  void setOperatingSystemVersionForTesting(NSOperatingSystemVersion version);

 private:
  std::atomic<int> suddenTerminationDisables_{0};
  std::atomic<long> major_{14}, minor_{0}, patch_{0};
};
