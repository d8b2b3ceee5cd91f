#include "proxy/ProxyRecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/NoDestructor.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPathUtilities.h"
#include "platform/posix/Decimal.h"
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

// The record's bytes; nothing when there is none. Anything but a regular file (a FIFO, a device,
// a link) reads as empty, and so as unreadable, as does a file too large to be a record.
std::optional<std::string> readWhole(const std::string& path) {
  posix::Expected<std::string> bytes = posix::readFile(path, 1u << 20, posix::FileKind::regularFile);
  // No such file, or a folder above it is not one: there can be no record.
  if (!bytes && (bytes.error().code() == ENOENT || bytes.error().code() == ENOTDIR)) return std::nullopt;
  return bytes ? std::move(*bytes) : std::string();
}

std::string recordFolderOfThisUser() {
  const std::string name = NSBundle::mainBundle().bundleIdentifier().value_or("proxyhost");
  const std::string preferred = applicationSupportDirectory() + "/" + name;
  // Through sudo, HOME and XDG_STATE_HOME may still be another user's; two users must never
  // share a record, so a folder of another's is left to its owner.
  std::optional<uid_t> owner = posix::folderOwner(preferred);
  std::string folder = preferred;
  if (owner != ::getuid()) {
    folder = accountApplicationSupportDirectory() + "/" + name;
    NSLog("Keeping the proxy record in %@: %@ belongs to %@", folder, preferred,
          owner ? "user " + std::to_string(*owner) : std::string("a user this one cannot tell"));
  }
  // Root asked by a user (pkexec, sudo) switches that user's proxies and desktop (networksetup acts
  // for the same user): its record is kept apart from root's own host's, so that neither takes over
  // the other's record nor clears it.
  const uid_t acting = posix::actingUser();
  if (acting != ::getuid()) folder += "/for-uid-" + std::to_string(acting);
  return folder;
}

}  // namespace

std::string encodeProxyRecord(const ProxyRecordContent& content) {
  std::string text(kHeader);
  text += "\nowner " + content.owner.text();
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
  auto ownerText = value(lines[1], "owner");
  auto owner = ownerText ? posix::ProcessIdentity::fromText(*ownerText) : std::nullopt;
  auto host = value(lines[2], "host");
  auto port = value(lines[3], "port");
  auto socks = value(lines[4], "socks");
  if (!owner || !host || !port || !socks) return std::nullopt;
  auto hostText = unescape(*host);
  auto portNumber = posix::parseDecimal<int64_t>(*port);
  auto socksNumber = posix::parseDecimal<int64_t>(*socks);
  if (!hostText || !portNumber || !socksNumber) return std::nullopt;
  content.owner = *owner;
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
  static NoDestructor<ProxyRecord> record(recordFolderOfThisUser());
  return *record;
}

ProxyRecord::Reading ProxyRecord::read() const {
  std::optional<std::string> bytes = readWhole(path_);
  if (!bytes) return {State::absent, std::nullopt};
  auto content = decodeProxyRecord(*bytes);
  if (!content) return {State::unreadable, std::nullopt};
  return {State::present, std::move(content)};
}

posix::Expected<void> ProxyRecord::addEnabled(const std::vector<std::string>& services, const std::string& host,
                                              int64_t port, int64_t socks) {
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
  content.owner = posix::ProcessIdentity::current();
  content.host = host;
  content.port = port;
  content.socks = socks;
  return writeLocked(content);
}

void ProxyRecord::clear() {
  MutexLock guard(mutex_);
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    NSLog("Cannot remove the proxy record %@: errno %d", path_, errno);
  }
}

posix::Expected<void> ProxyRecord::writeLocked(const ProxyRecordContent& content) {
  posix::Expected<void> kept = posix::createOwnFolder(folder_);
  if (kept) kept = posix::writeFileAtomically(path_, encodeProxyRecord(content), 0600);
  if (!kept) NSLog("Cannot keep the proxy record: %@", kept.error().message());
  return kept;
}

ProxyRecord::Lock ProxyRecord::lock() const {
  // A folder that cannot be made shows as the lock's own failure below.
  [[maybe_unused]] const posix::Expected<void> made = posix::createOwnFolder(folder_);
  const std::string lockPath = this->lockPath();
  // Not through a link, and never blocking on a FIFO put in its place.
  posix::Expected<posix::UniqueFd> fd = posix::lockFile(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (!fd) {
    // Without the lock the cleanups may overlap; each is harmless on its own.
    NSLog("Cannot lock the proxy record: %@", fd.error().message());
    return Lock(posix::UniqueFd());
  }
  return Lock(std::move(*fd));
}

}  // namespace proxy
