#include "proxy/ProxyRecord.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "platform/NoDestructor.h"
#include "platform/darwin/DarwinProcess.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPathUtilities.h"
#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"

namespace proxy {

namespace {

// The first line names the format, the last closes it: a record cut anywhere lacks one of them.
constexpr std::string_view kHeader = "proxyhost proxy record 1";
constexpr std::string_view kFooter = "end";

// One value a line: a line feed, a carriage return and the backslash itself are escaped.
std::string escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      default: return std::nullopt;
    }
  }
  return out;
}

template <typename Int>
std::optional<Int> number(std::string_view text) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

ProcessIdentity ProcessIdentity::current() {
  const pid_t self = ::getpid();
  return {self, darwin::processStartTime(self).value_or(0)};
}

std::optional<ProcessIdentity> ProcessIdentity::of(pid_t pid) {
  auto started = darwin::processStartTime(pid);
  if (!started) return std::nullopt;
  return ProcessIdentity{pid, *started};
}

bool ProcessIdentity::isAlive() const {
  auto now = of(pid);
  return now && *now == *this;
}

std::string encodeProxyRecord(const ProxyRecordContent& content) {
  std::string text(kHeader);
  text += "\nowner " + std::to_string(content.owner.pid) + " " + std::to_string(content.owner.startTime);
  text += "\nhost " + escape(content.host);
  text += "\nport " + std::to_string(content.port);
  text += "\nsocks " + std::to_string(content.socks);
  for (const auto& service : content.services) text += "\nservice " + escape(service);
  text += "\n";
  text += kFooter;
  text += "\n";
  return text;
}

std::optional<ProxyRecordContent> decodeProxyRecord(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // every line, the last too, ends
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() < 6 || lines.front() != kHeader || lines.back() != kFooter) return std::nullopt;
  ProxyRecordContent content;
  auto value = [](std::string_view line, std::string_view key) -> std::optional<std::string_view> {
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') return std::nullopt;
    return line.substr(key.size() + 1);
  };
  auto owner = value(lines[1], "owner");
  if (!owner) return std::nullopt;
  size_t blank = owner->find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  auto pid = number<pid_t>(owner->substr(0, blank));
  auto started = number<uint64_t>(owner->substr(blank + 1));
  auto host = value(lines[2], "host");
  auto port = value(lines[3], "port");
  auto socks = value(lines[4], "socks");
  if (!pid || !started || !host || !port || !socks) return std::nullopt;
  auto hostText = unescape(*host);
  auto portNumber = number<int64_t>(*port);
  auto socksNumber = number<int64_t>(*socks);
  if (!hostText || !portNumber || !socksNumber) return std::nullopt;
  content.owner = {*pid, *started};
  content.host = std::move(*hostText);
  content.port = *portNumber;
  content.socks = *socksNumber;
  for (size_t i = 5; i + 1 < lines.size(); ++i) {
    auto service = value(lines[i], "service");
    auto name = service ? unescape(*service) : std::nullopt;
    if (!name) return std::nullopt;
    content.services.push_back(std::move(*name));
  }
  return content;
}

ProxyRecord::ProxyRecord(std::string folder) : folder_(std::move(folder)), path_(folder_ + "/proxy-record") {}

ProxyRecord& ProxyRecord::forThisApplication() {
  static NoDestructor<ProxyRecord> record(applicationSupportDirectory() + "/" +
                                          NSBundle::mainBundle().bundleIdentifier().value_or("proxyhost"));
  return *record;
}

ProxyRecord::Reading ProxyRecord::read() const {
  // A record is small; something larger than 1 MiB is not one.
  posix::SystemError error;
  std::optional<std::string> bytes = posix::readFile(path_, &error, 1u << 20);
  if (!bytes && error.code == ENOENT) return {State::absent, std::nullopt};
  auto content = decodeProxyRecord(bytes.value_or(""));
  if (!content) return {State::unreadable, std::nullopt};
  return {State::present, std::move(content)};
}

bool ProxyRecord::addEnabled(const std::vector<std::string>& services, const std::string& host, int64_t port,
                             int64_t socks) {
  MutexLock guard(mutex_);
  ProxyRecordContent content;
  Reading before = read();
  // Services another process recorded are ours to switch off now as well: they are on the
  // same machine, and whoever switched them on is gone or was us.
  if (before.content) content.services = before.content->services;
  for (const auto& service : services) {
    if (std::find(content.services.begin(), content.services.end(), service) == content.services.end()) {
      content.services.push_back(service);
    }
  }
  content.owner = ProcessIdentity::current();
  content.host = host;
  content.port = port;
  content.socks = socks;
  return writeLocked(content);
}

void ProxyRecord::removeDisabled(const std::vector<std::string>& services) {
  MutexLock guard(mutex_);
  Reading before = read();
  if (before.state == State::absent) return;
  if (!before.content) {
    // Unreadable: which services it named is unknown, so it stays and still says "may be on".
    return;
  }
  ProxyRecordContent content = std::move(*before.content);
  std::erase_if(content.services, [&](const std::string& s) {
    return std::find(services.begin(), services.end(), s) != services.end();
  });
  if (content.services.empty()) {
    ::unlink(path_.c_str());
  } else {
    writeLocked(content);
  }
}

void ProxyRecord::clear() {
  MutexLock guard(mutex_);
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    NSLog("Cannot remove the proxy record %@: errno %d", path_, errno);
  }
}

bool ProxyRecord::writeLocked(const ProxyRecordContent& content) {
  if (auto error = posix::createFolders(folder_, 0700)) {
    NSLog("Cannot keep the proxy record: %@", error->message());
    return false;
  }
  if (auto error = posix::writeFileAtomically(path_, encodeProxyRecord(content), 0600)) {
    NSLog("Cannot keep the proxy record: %@", error->message());
    return false;
  }
  return true;
}

ProxyRecord::Lock ProxyRecord::lock() const {
  posix::createFolders(folder_, 0700);
  const std::string lockPath = path_ + ".lock";
  posix::UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    // Without the lock file the cleanups may overlap; each is harmless on its own.
    NSLog("Cannot lock the proxy record %@: errno %d", lockPath, errno);
    return Lock(posix::UniqueFd());
  }
  posix::retryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX); });
  return Lock(std::move(fd));
}

}  // namespace proxy
