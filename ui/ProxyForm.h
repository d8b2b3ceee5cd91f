// What the system proxy page and the latency page ask for, checked before anything is sent: a
// person's typing becomes the channel's arguments, or a sentence that says what is wrong.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flutter/EncodableValue.h"
#include "platform/posix/Expected.h"

namespace ui {

// What a local proxy core listens on out of the box, and what should never go through it.
inline constexpr std::string_view kDefaultHost = "127.0.0.1";
inline constexpr int kDefaultHttpPort = 7890;
inline constexpr int kDefaultSocksPort = 7891;
std::vector<std::string> defaultBypass();

struct ProxySettings {
  std::string host{kDefaultHost};
  int httpPort = kDefaultHttpPort;
  int socksPort = kDefaultSocksPort;
  std::vector<std::string> bypass = defaultBypass();
  std::vector<std::string> services;  // the network services to switch, by name

  bool operator==(const ProxySettings&) const = default;
};

// A port as typed: 1 to 65535, digits only (blanks around are forgiven).
std::optional<int> parsePort(std::string_view text);
// A host name (letters, digits, hyphens and dots, labels of at most 63, at most 253 in all) or an
// IPv4 or IPv6 address; blanks around are dropped. Nothing when it is neither.
std::optional<std::string> parseHost(std::string_view text);
// A comma- or blank-separated list, empty entries dropped.
std::vector<std::string> splitList(std::string_view text);
std::string joinList(const std::vector<std::string>& items, std::string_view separator = ", ");

// The typed form, or what is wrong with it in a person's words (the error's message).
posix::Expected<ProxySettings> checkProxyForm(std::string_view host, std::string_view httpPort,
                                              std::string_view socksPort, std::string_view bypass,
                                              std::vector<std::string> services);

// The arguments of setProxyElevated and disableProxyElevated, as the Dart side would send them.
EncodableValue enableArguments(const ProxySettings& settings);
EncodableValue disableArguments(const std::vector<std::string>& services);

// A latency target: "host:port", "[v6]:port".
struct LatencyTarget {
  std::string host;
  int port = 0;
  bool operator==(const LatencyTarget&) const = default;
};
posix::Expected<LatencyTarget> parseTarget(std::string_view text);
std::string targetText(const LatencyTarget& target);
EncodableValue pingArguments(const LatencyTarget& target, int timeoutMs);

}  // namespace ui
