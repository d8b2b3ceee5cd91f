#include "platform/oslog/Logger.h"

#include <syslog.h>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"

namespace {

struct Sink {
  Mutex mutex;
  std::function<void(const OSLogEntry&)> capture GUARDED_BY(mutex);
};

Sink& sink() {
  static NoDestructor<Sink> s;  // threads may still log while static destructors run
  return *s;
}

int syslogPriority(OSLogType type) {
  switch (type) {
    case OSLogType::error: return LOG_ERR;
  }
  return LOG_ERR;
}

}  // namespace

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::write(OSLogType type, std::string message) const {
  Sink& s = sink();
  {
    MutexLock lock(s.mutex);
    if (s.capture) {
      s.capture(OSLogEntry{subsystem_, category_, type, std::move(message)});
      return;
    }
  }
  std::string line = "[" + subsystem_ + ":" + category_ + "] " + message;
  // The message is data, never a format: a '%' in an error text must not reach syslog's formatter.
  syslog(syslogPriority(type), "%s", line.c_str());
}

OSLogCapture::OSLogCapture() : kept_(std::make_shared<std::vector<OSLogEntry>>()) {
  Sink& s = sink();
  MutexLock lock(s.mutex);
  previous_ = std::move(s.capture);
  // Runs under the sink lock, which entries() takes too.
  s.capture = [kept = kept_](const OSLogEntry& entry) { kept->push_back(entry); };
}

OSLogCapture::~OSLogCapture() {
  Sink& s = sink();
  MutexLock lock(s.mutex);
  s.capture = std::move(previous_);
}

std::vector<OSLogEntry> OSLogCapture::entries() const {
  MutexLock lock(sink().mutex);
  return *kept_;
}
