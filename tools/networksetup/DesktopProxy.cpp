#include "tools/networksetup/DesktopProxy.h"

#include <arpa/inet.h>

#include "platform/Utf8.h"
#include "platform/macos_tools/NetworkSetupCommands.h"

namespace networksetup {

namespace {

namespace words = networksetup_commands;

std::optional<ProxyEndpoint> endpointOf(const ProxySetting& proxy) {
  if (!proxy.enabled) return std::nullopt;
  return ProxyEndpoint{proxy.server, proxy.port};
}

bool isLabelCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool isAddress(int family, std::string_view text) {
  unsigned char address[16];
  return ::inet_pton(family, std::string(text).c_str(), address) == 1;
}

// Labels of 1 to 63 characters that neither start nor end with a hyphen, as RFC 1123 has them (the
// underscore of some internal names is let through): a host such as "-" resolves nowhere.
bool isHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  bool numeric = true;
  size_t start = 0;
  for (size_t i = 0; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '.') {
      const std::string_view label = host.substr(start, i - start);
      if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
      start = i + 1;
      continue;
    }
    if (!isLabelCharacter(host[i])) return false;
    if (host[i] < '0' || host[i] > '9') numeric = false;
  }
  // Digits and dots only read as an IPv4 address to every resolver, so they must be one.
  return !numeric;
}

posix::Expected<void> hostFits(const std::string& what, const std::string& host) {
  if (isHostOrAddress(host)) return {};
  return posix::Error("The " + what + " proxy server \"" + host +
                      "\" is not a host name or IP address a desktop can use.");
}

posix::Expected<void> endpointFits(const std::string& what, const std::optional<ProxyEndpoint>& endpoint) {
  if (!endpoint) return {};
  if (auto fits = hostFits(what, endpoint->host); !fits) return fits;
  if (endpoint->port == 0) return posix::Error("The " + what + " proxy port 0 is not one a desktop can use.");
  return {};
}

posix::Expected<void> bypassFits(const std::vector<std::string>& entries) {
  for (const auto& entry : entries) {
    bool fits = !entry.empty() && utf8::isValid(entry);
    for (char c : entry) {
      const auto u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u == 0x7F || c == ',') fits = false;
    }
    if (!fits) return posix::Error("The bypass domain \"" + entry + "\" is not one a desktop can use.");
  }
  return {};
}

struct ProxyWords {
  std::string_view set;
  std::string_view state;
  ProxyKind kind;
  const char* what;
};
constexpr ProxyWords kProxyWords[] = {
    {words::kSetWebProxy, words::kSetWebProxyState, ProxyKind::web, "web"},
    {words::kSetSecureWebProxy, words::kSetSecureWebProxyState, ProxyKind::secureWeb, "secure web"},
    {words::kSetSocksFirewallProxy, words::kSetSocksFirewallProxyState, ProxyKind::socksFirewall, "SOCKS"},
};

}  // namespace

bool isHostOrAddress(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return isAddress(AF_INET6, host.substr(1, host.size() - 2));
  }
  if (host.find(':') != std::string_view::npos) return isAddress(AF_INET6, host);
  return isHostName(host) || isAddress(AF_INET, host);
}

std::optional<DesktopProxy> effectiveProxy(const NetworkState& state) {
  for (const auto& service : state.services) {
    if (!service.present || !service.enabled || !service.anyProxyOn()) continue;
    DesktopProxy proxy;
    proxy.web = endpointOf(service.webProxy);
    proxy.secureWeb = endpointOf(service.secureWebProxy);
    proxy.socks = endpointOf(service.socksFirewallProxy);
    proxy.bypass = service.bypassDomains;
    return proxy;
  }
  return std::nullopt;
}

posix::Expected<void> representable(const DesktopProxy& proxy) {
  if (auto fits = endpointFits("web", proxy.web); !fits) return fits;
  if (auto fits = endpointFits("secure web", proxy.secureWeb); !fits) return fits;
  if (auto fits = endpointFits("SOCKS", proxy.socks); !fits) return fits;
  return bypassFits(proxy.bypass);
}

posix::Expected<void> carriableSetting(const std::vector<std::string>& arguments, const NetworkState& after) {
  if (arguments.size() < 2) return {};
  const std::string_view command = arguments[0];
  const NetworkService* service = after.find(arguments[1]);
  if (service == nullptr) return {};
  if (command == words::kSetProxyBypassDomains) return bypassFits(service->bypassDomains);
  for (const auto& proxy : kProxyWords) {
    const ProxySetting& setting = service->proxy(proxy.kind);
    if (command == proxy.set) return endpointFits(proxy.what, ProxyEndpoint{setting.server, setting.port});
    if (command == proxy.state && setting.enabled) {
      if (auto fits = endpointFits(proxy.what, endpointOf(setting)); !fits) return fits;
      return bypassFits(service->bypassDomains);
    }
  }
  return {};
}

std::string urlHost(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

std::string describe(const std::optional<DesktopProxy>& proxy) {
  if (!proxy) return "";
  // Carriable values hold no control characters, so a line feed separates them unambiguously.
  std::string text;
  for (const auto& endpoint : {proxy->web, proxy->secureWeb, proxy->socks}) {
    text += endpoint ? endpoint->host + " " + std::to_string(endpoint->port) : "-";
    text += "\n";
  }
  for (const auto& entry : proxy->bypass) text += entry + "\n";
  return text;
}

}  // namespace networksetup
