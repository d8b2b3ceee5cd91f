// Logger: the unified logging system's per-component logger.
//
//   static Logger logger("net.proxyhost.example", "main");
//   logger.error("Failed to %s the thing: %s", "open", error.localizedDescription());
//
// Formats take the same specifiers as NSLog (%s and %@ for strings, %d, %ld, ...). On this
// platform a line goes to syslog(3) at LOG_ERR as "[subsystem:category] message"; interpolated
// values are written as they are, since syslog has no private/public redaction. Safe from any
// thread; a line is one syslog call.
//
// Tests read entries through OSLogCapture instead of syslog.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/NSLog.h"

enum class OSLogType { error };

struct OSLogEntry {
  std::string subsystem;
  std::string category;
  OSLogType type = OSLogType::error;
  std::string message;

  bool operator==(const OSLogEntry&) const = default;
};

class Logger {
 public:
  Logger(std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  template <typename... Args>
  void error(std::string_view format, const Args&... args) const {
    write(OSLogType::error, nslog_detail::format(format, {nslog_detail::toArg(args)...}));
  }

 private:
  void write(OSLogType type, std::string message) const;

  std::string subsystem_;
  std::string category_;
};

// While alive, log entries of every Logger come here instead of going to syslog. Captures nest:
// the newest one gets the entries, and the previous one is back when it goes.
class OSLogCapture {
 public:
  OSLogCapture();
  ~OSLogCapture();
  OSLogCapture(const OSLogCapture&) = delete;
  OSLogCapture& operator=(const OSLogCapture&) = delete;

  std::vector<OSLogEntry> entries() const;

 private:
  std::shared_ptr<std::vector<OSLogEntry>> kept_;
  std::function<void(const OSLogEntry&)> previous_;
};
