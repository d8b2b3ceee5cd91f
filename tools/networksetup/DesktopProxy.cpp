#include "tools/networksetup/DesktopProxy.h"

#include "platform/Utf8.h"

namespace networksetup {

namespace {

std::optional<ProxyEndpoint> endpointOf(const ProxySetting& proxy) {
  if (!proxy.enabled) return std::nullopt;
  return ProxyEndpoint{proxy.server, proxy.port};
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

bool isIpv6Character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

bool isHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || host.size() > 253) return false;
  if (host.find(':') != std::string_view::npos) {
    for (char c : host) {
      if (!isIpv6Character(c)) return false;
    }
    return true;
  }
  for (char c : host) {
    if (!isHostCharacter(c)) return false;
  }
  return true;
}

std::optional<std::string> endpointProblem(const char* what, const std::optional<ProxyEndpoint>& endpoint) {
  if (!endpoint) return std::nullopt;
  if (!isHost(endpoint->host)) return std::string("The ") + what + " proxy server \"" + endpoint->host + "\" is not a host name or IP address a desktop can use.";
  if (endpoint->port == 0) return std::string("The ") + what + " proxy port 0 is not one a desktop can use.";
  return std::nullopt;
}

}  // namespace

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

std::optional<std::string> unrepresentable(const DesktopProxy& proxy) {
  if (auto problem = endpointProblem("web", proxy.web)) return problem;
  if (auto problem = endpointProblem("secure web", proxy.secureWeb)) return problem;
  if (auto problem = endpointProblem("SOCKS", proxy.socks)) return problem;
  for (const auto& entry : proxy.bypass) {
    bool fits = !entry.empty() && utf8::isValid(entry);
    for (char c : entry) {
      const auto u = static_cast<unsigned char>(c);
      if (u <= 0x20 || u == 0x7F || c == ',') fits = false;
    }
    if (!fits) return "The bypass domain \"" + entry + "\" is not one a desktop can use.";
  }
  return std::nullopt;
}

std::string urlHost(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

}  // namespace networksetup
