// The network services and their proxy states as networksetup tells them, read the way the Dart
// side would: by running the tool (/usr/sbin/networksetup, the product's own on Linux through the
// platform's tool mapping) and reading its output.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/Expected.h"

namespace ui {

struct NetworkService {
  std::string name;  // exactly as the tool printed it, without the asterisk of a disabled one
  bool enabled = true;
  bool listed = true;  // false: chosen once, but the tool no longer lists it
  bool operator==(const NetworkService&) const = default;
};

struct ProxyState {
  bool enabled = false;
  std::string server;
  int port = 0;
  bool operator==(const ProxyState&) const = default;
};

struct ServiceProxies {
  std::string service;
  bool readable = false;  // false: the tool did not answer for it (gone, or failed)
  ProxyState web{}, secureWeb{}, socks{};
  bool anyOn() const { return web.enabled || secureWeb.enabled || socks.enabled; }
  bool operator==(const ServiceProxies&) const = default;
};

// "-listallnetworkservices": the legend line first, then one service a line, "*" before a
// disabled one.
std::vector<NetworkService> parseServiceList(std::string_view text);
// "-getwebproxy" and its kin; nothing when the output is not the tool's.
std::optional<ProxyState> parseProxyState(std::string_view text);
// A service's state in a few words: "Web 127.0.0.1:7890, secure web ..., SOCKS ...", or "Proxies off".
std::string describe(const ServiceProxies& proxies);

struct NetworkSnapshot {
  // The services the tool lists, or why the list could not be read (the tool missing or failing).
  posix::Expected<std::vector<NetworkService>> services = posix::Error("the services were not read");
  std::vector<ServiceProxies> proxies;  // of `chosen`, in its order
};

// Runs the tool: the list, then the three getters of each chosen service. Blocks (each run is
// bounded); never on the main thread.
NetworkSnapshot readNetworkSnapshot(const std::vector<std::string>& chosen);

}  // namespace ui
