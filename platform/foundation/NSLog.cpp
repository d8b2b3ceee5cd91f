#include "platform/foundation/NSLog.h"

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"

namespace {

struct Sink {
  Mutex mutex;
  std::function<void(const std::string&)> capture GUARDED_BY(mutex);
  // Set while a capture is in force, so that a line on its way to standard error takes no lock.
  std::atomic<bool> capturing{false};
};

Sink& sink() {
  static NoDestructor<Sink> s;  // outlives static destruction: threads may log while exit runs
  return *s;
}

std::string processName() {
  const std::string name = posix::readFirstLine("/proc/self/comm").value_or("");
  return name.empty() ? "proxyhost" : name;
}

// The process and thread ids of the prefix, asked once (per thread) rather than per line; a
// forked child asks again.
std::atomic<pid_t> cachedPid{0};
thread_local pid_t cachedTid = 0;

void forgetIdsInChild() {
  cachedPid.store(0, std::memory_order_relaxed);
  cachedTid = 0;
}

pid_t processId() {
  static const bool registered = [] { return pthread_atfork(nullptr, nullptr, &forgetIdsInChild) == 0; }();
  (void)registered;
  pid_t pid = cachedPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    cachedPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

pid_t threadId() {
  if (cachedTid == 0) cachedTid = gettid();
  return cachedTid;
}

// "2026-12-07 20:03:56.123 proxyhost[4242:4243] ": the local time of the second is formatted
// once per second and thread (localtime_r takes the time zone lock).
void appendPrefix(std::string& line) {
  static NoDestructor<const std::string> name(processName());  // outlives exit(): threads log late
  thread_local time_t stampSecond = -1;
  thread_local char stamp[32];
  timeval tv{};
  gettimeofday(&tv, nullptr);
  if (tv.tv_sec != stampSecond) {
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    stampSecond = tv.tv_sec;
  }
  char rest[64];
  int n = snprintf(rest, sizeof rest, ".%03ld ", static_cast<long>(tv.tv_usec / 1000));
  line.append(stamp).append(rest, static_cast<size_t>(n)).append(*name);
  n = snprintf(rest, sizeof rest, "[%d:%d] ", processId(), threadId());
  line.append(rest, static_cast<size_t>(n));
}

void formatInto(std::string& out, std::string_view fmt, std::initializer_list<nslog_detail::Arg> list) {
  using nslog_detail::Arg;
  const Arg* args = list.begin();
  size_t next = 0;
  auto takeArg = [&]() -> const Arg* { return next < list.size() ? &args[next++] : nullptr; };
  auto asSigned = [](const Arg& a) -> int64_t {
    if (auto* i = std::get_if<int64_t>(&a)) return *i;
    if (auto* u = std::get_if<uint64_t>(&a)) return static_cast<int64_t>(*u);
    if (auto* d = std::get_if<double>(&a)) return static_cast<int64_t>(*d);
    return 0;
  };
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%' || i + 1 == fmt.size()) {
      out += c;
      continue;
    }
    size_t start = i;
    std::string_view rest = fmt.substr(i + 1);
    auto startsWith = [&](std::string_view s) { return rest.substr(0, s.size()) == s; };
    std::string_view matched;
    for (std::string_view s : {"%", "@", "lld", "llu", "ld", "lu", "d", "i", "u", "s", "f"}) {
      if (startsWith(s)) {
        matched = s;
        break;
      }
    }
    if (matched.empty()) {
      out += c;
      continue;
    }
    i += matched.size();
    if (matched == "%") {
      out += '%';
      continue;
    }
    const Arg* a = takeArg();
    if (a == nullptr) {
      out += fmt.substr(start, matched.size() + 1);
      continue;
    }
    char buf[64];
    int n = 0;
    if (matched == "@" || matched == "s") {
      if (auto* s = std::get_if<std::string_view>(a)) {
        out += *s;
      } else {
        out += "(not a string)";
      }
    } else if (matched == "d" || matched == "i") {
      n = snprintf(buf, sizeof buf, "%" PRId32, static_cast<int32_t>(static_cast<uint32_t>(asSigned(*a))));
    } else if (matched == "ld" || matched == "lld") {
      n = snprintf(buf, sizeof buf, "%" PRId64, asSigned(*a));
    } else if (matched == "u") {
      n = snprintf(buf, sizeof buf, "%" PRIu32, static_cast<uint32_t>(asSigned(*a)));
    } else if (matched == "lu" || matched == "llu") {
      n = snprintf(buf, sizeof buf, "%" PRIu64, static_cast<uint64_t>(asSigned(*a)));
    } else if (matched == "f") {
      double d = std::holds_alternative<double>(*a) ? std::get<double>(*a) : static_cast<double>(asSigned(*a));
      n = snprintf(buf, sizeof buf, "%f", d);
    }
    if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
  }
}

}  // namespace

namespace nslog_detail {

std::string format(std::string_view fmt, std::initializer_list<Arg> args) {
  std::string out;
  formatInto(out, fmt, args);
  return out;
}

void log(std::string_view fmt, std::initializer_list<Arg> args) {
  Sink& s = sink();
  if (s.capturing.load(std::memory_order_acquire)) {
    std::string message;
    formatInto(message, fmt, args);
    MutexLock lock(s.mutex);
    if (s.capture) {
      s.capture(message);
      return;
    }
  }
  std::string line;
  line.reserve(256);  // one allocation for the usual line
  appendPrefix(line);
  formatInto(line, fmt, args);
  if (line.back() != '\n') line += '\n';
  posix::writeAll(STDERR_FILENO, line);
}

}  // namespace nslog_detail

NSLogCapture::NSLogCapture(std::function<void(const std::string&)> sinkFn) : sink_(std::move(sinkFn)) {
  Sink& s = sink();
  MutexLock lock(s.mutex);
  previous_ = std::move(s.capture);
  s.capture = sink_;
  s.capturing.store(true, std::memory_order_release);
}

NSLogCapture::NSLogCapture() : kept_(std::make_shared<std::vector<std::string>>()) {
  // The sink runs under the sink lock, which lines() takes too.
  sink_ = [kept = kept_](const std::string& line) { kept->push_back(line); };
  Sink& s = sink();
  MutexLock lock(s.mutex);
  previous_ = std::move(s.capture);
  s.capture = sink_;
  s.capturing.store(true, std::memory_order_release);
}

NSLogCapture::~NSLogCapture() {
  Sink& s = sink();
  MutexLock lock(s.mutex);
  s.capture = std::move(previous_);
  s.capturing.store(static_cast<bool>(s.capture), std::memory_order_release);
}

std::vector<std::string> NSLogCapture::lines() const {
  Sink& s = sink();
  MutexLock lock(s.mutex);
  return kept_ ? *kept_ : std::vector<std::string>{};
}
