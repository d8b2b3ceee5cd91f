#include "platform/foundation/NSLog.h"

#include <sys/time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "platform/NoDestructor.h"
#include "platform/posix/UniqueFd.h"

namespace {

struct Sink {
  std::mutex mutex;
  std::function<void(const std::string&)> capture;
};

Sink& sink() {
  static NoDestructor<Sink> s;  // outlives static destruction: threads may log while exit runs
  return *s;
}

std::string processName() {
  char buf[64] = {};
  FILE* f = fopen("/proc/self/comm", "re");
  if (f != nullptr) {
    if (fgets(buf, sizeof buf, f) == nullptr) buf[0] = '\0';
    fclose(f);
  }
  std::string name(buf);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name.empty() ? "proxyhost" : name;
}

}  // namespace

namespace nslog_detail {

std::string format(std::string_view fmt, const std::vector<Arg>& args) {
  std::string out;
  size_t next = 0;
  auto takeArg = [&]() -> const Arg* { return next < args.size() ? &args[next++] : nullptr; };
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
    if (matched == "@" || matched == "s") {
      if (auto* s = std::get_if<std::string_view>(a)) {
        out += *s;
      } else {
        out += "(not a string)";
      }
    } else if (matched == "d" || matched == "i") {
      snprintf(buf, sizeof buf, "%" PRId32, static_cast<int32_t>(static_cast<uint32_t>(asSigned(*a))));
      out += buf;
    } else if (matched == "ld" || matched == "lld") {
      snprintf(buf, sizeof buf, "%" PRId64, asSigned(*a));
      out += buf;
    } else if (matched == "u") {
      snprintf(buf, sizeof buf, "%" PRIu32, static_cast<uint32_t>(asSigned(*a)));
      out += buf;
    } else if (matched == "lu" || matched == "llu") {
      snprintf(buf, sizeof buf, "%" PRIu64, static_cast<uint64_t>(asSigned(*a)));
      out += buf;
    } else if (matched == "f") {
      double d = std::holds_alternative<double>(*a) ? std::get<double>(*a) : static_cast<double>(asSigned(*a));
      snprintf(buf, sizeof buf, "%f", d);
      out += buf;
    }
  }
  return out;
}

void write(std::string message) {
  Sink& s = sink();
  {
    std::lock_guard lock(s.mutex);
    if (s.capture) {
      s.capture(message);
      return;
    }
  }
  static NoDestructor<const std::string> name(processName());  // outlives exit(): threads log late
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char stamp[64];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[160];
  snprintf(prefix, sizeof prefix, "%s.%03ld %s[%d:%d] ", stamp, static_cast<long>(tv.tv_usec / 1000),
           name->c_str(), getpid(), gettid());
  std::string line = prefix + message;
  if (line.empty() || line.back() != '\n') line += '\n';
  posix::writeAll(STDERR_FILENO, line);
}

}  // namespace nslog_detail

NSLogCapture::NSLogCapture(std::function<void(const std::string&)> sinkFn) : sink_(std::move(sinkFn)) {
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  previous_ = std::move(s.capture);
  s.capture = sink_;
}

NSLogCapture::NSLogCapture() : kept_(std::make_shared<std::vector<std::string>>()) {
  // The sink runs under the sink lock, which lines() takes too.
  sink_ = [kept = kept_](const std::string& line) { kept->push_back(line); };
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  previous_ = std::move(s.capture);
  s.capture = sink_;
}

NSLogCapture::~NSLogCapture() {
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  s.capture = std::move(previous_);
}

std::vector<std::string> NSLogCapture::lines() const {
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  return kept_ ? *kept_ : std::vector<std::string>{};
}
