#include "ui/ProxyForm.h"

#include <arpa/inet.h>

#include <charconv>

namespace ui {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool isAddress(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool isHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  if (name.back() == '.') name.remove_suffix(1);
  size_t label = 0;
  bool allDigitsOrDots = true;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      if (label == 0 || label > 63 || name[i - 1] == '-' || name[i - label] == '-') return false;
      label = 0;
      continue;
    }
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-') return false;
    if (!digit) allDigitsOrDots = false;
    ++label;
  }
  // "300.1.2.3" is neither a name nor an address.
  return !allDigitsOrDots;
}

}  // namespace

std::vector<std::string> defaultBypass() {
  return {"localhost",      "127.0.0.0/8",    "::1",      "10.0.0.0/8", "172.16.0.0/12",
          "192.168.0.0/16", "169.254.0.0/16", "fc00::/7", "*.local"};
}

std::optional<int> parsePort(std::string_view text) {
  text = trimmed(text);
  int port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || text.front() == '-' || text.front() == '+' || error != std::errc() ||
      end != text.data() + text.size() || port < 1 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

std::optional<std::string> parseHost(std::string_view text) {
  std::string host(trimmed(text));
  if (host.find('\0') != std::string::npos) return std::nullopt;
  if (isAddress(host) || isHostName(host)) return host;
  return std::nullopt;
}

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> items;
  std::string current;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!current.empty()) items.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) items.push_back(std::move(current));
  return items;
}

std::string joinList(const std::vector<std::string>& items, std::string_view separator) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

posix::Expected<ProxySettings> checkProxyForm(std::string_view host, std::string_view httpPort,
                                              std::string_view socksPort, std::string_view bypass,
                                              std::vector<std::string> services) {
  ProxySettings settings;
  auto parsedHost = parseHost(host);
  if (!parsedHost) {
    return posix::Error("The server host \"" + std::string(trimmed(host)) + "\" is not a host name or an IP address.");
  }
  auto http = parsePort(httpPort);
  if (!http) return posix::Error("The HTTP port must be a number from 1 to 65535.");
  auto socks = parsePort(socksPort);
  if (!socks) return posix::Error("The SOCKS port must be a number from 1 to 65535.");
  if (services.empty()) return posix::Error("Choose at least one network service.");
  settings.host = *parsedHost;
  settings.httpPort = *http;
  settings.socksPort = *socks;
  settings.bypass = splitList(bypass);
  settings.services = std::move(services);
  return settings;
}

EncodableValue enableArguments(const ProxySettings& settings) {
  EncodableList services(settings.services.begin(), settings.services.end());
  EncodableList bypass(settings.bypass.begin(), settings.bypass.end());
  return EncodableMap{{"services", std::move(services)},
                      {"host", settings.host},
                      {"port", EncodableValue::integer(settings.httpPort)},
                      {"socks", EncodableValue::integer(settings.socksPort)},
                      {"bypass", std::move(bypass)}};
}

EncodableValue disableArguments(const std::vector<std::string>& services) {
  return EncodableMap{{"services", EncodableList(services.begin(), services.end())}};
}

posix::Expected<LatencyTarget> parseTarget(std::string_view text) {
  text = trimmed(text);
  std::string_view host, port;
  if (text.starts_with('[')) {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return posix::Error("Write an IPv6 target as [address]:port.");
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) {
      return posix::Error("Write a target as host:port, for example example.org:443.");
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  auto parsedHost = parseHost(host);
  if (!parsedHost) return posix::Error("\"" + std::string(host) + "\" is not a host name or an IP address.");
  auto parsedPort = parsePort(port);
  if (!parsedPort) return posix::Error("The port must be a number from 1 to 65535.");
  return LatencyTarget{*parsedHost, *parsedPort};
}

std::string targetText(const LatencyTarget& target) {
  const bool v6 = target.host.find(':') != std::string::npos;
  return (v6 ? "[" + target.host + "]" : target.host) + ":" + std::to_string(target.port);
}

EncodableValue pingArguments(const LatencyTarget& target, int timeoutMs) {
  return EncodableMap{{"host", target.host},
                      {"port", EncodableValue::integer(target.port)},
                      {"timeoutMs", EncodableValue::integer(timeoutMs)}};
}

}  // namespace ui
