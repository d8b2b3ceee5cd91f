// The proxy the desktop should carry: the effective one of the network services (the first service
// in service order that is listed, enabled and has any proxy state on), in the shape every desktop
// backend writes, and what of a service's values a desktop can carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/Expected.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

struct ProxyEndpoint {
  std::string host;
  uint16_t port = 0;
  bool operator==(const ProxyEndpoint&) const = default;
};

struct DesktopProxy {
  std::optional<ProxyEndpoint> web;        // http URLs
  std::optional<ProxyEndpoint> secureWeb;  // https URLs
  std::optional<ProxyEndpoint> socks;      // everything else
  std::vector<std::string> bypass;         // hosts and patterns that go direct
  bool operator==(const DesktopProxy&) const = default;
};

// Nothing when no listed, enabled service has a proxy state on: the desktop then carries the
// user's own settings.
std::optional<DesktopProxy> effectiveProxy(const NetworkState& state);

// Whether `proxy` can be put on a desktop, or why it cannot: every switched-on proxy needs a
// host name or IP address (an IPv6 one bare or in brackets) and a port from 1; a bypass entry is a
// non-empty host, pattern ("*.local", ".local") or network ("10.0.0.0/8") without blanks, control
// characters or commas (the lists are comma-separated in KDE's file) and in UTF-8.
posix::Expected<void> representable(const DesktopProxy& proxy);

// Whether the command `arguments` (without argv[0]), already run on `after`, set only values a desktop
// can carry, or why not. Checked when values are set, for every service, so that a later "off" that
// makes another service's proxy the effective one never meets a proxy it cannot put on the desktop:
// a proxy's host and port, a bypass list, and the proxy a state switched on. Switching off, enabling
// or disabling a service and removing one are never refused.
posix::Expected<void> carriableSetting(const std::vector<std::string>& arguments, const NetworkState& after);

// Whether `host` is a host name (dot-separated labels of letters, digits, '-' and '_'), an IPv4
// address, or an IPv6 address, bare or in brackets.
bool isHostOrAddress(std::string_view host);

// The host as it goes into a URL: an IPv6 address in brackets, anything else as it is.
std::string urlHost(const std::string& host);

// A stable text naming `proxy` (nothing: the user's own settings), recorded per desktop to tell
// whether it carries what the services say.
std::string describe(const std::optional<DesktopProxy>& proxy);

}  // namespace networksetup
