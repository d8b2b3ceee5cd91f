// The network services that the networksetup stand-in keeps, and their form as a property list.
//
// Names, hosts, hardware ports and bypass domains are byte strings: they are stored, matched and
// printed byte for byte, whatever they hold (blanks, quotes, line feeds, bytes that are not UTF-8).
//
// The state file is an XML property list:
//   <dict>
//     <key>Version</key><integer>1</integer>
//     <key>Services</key><array>            (service order)
//       <dict>
//         <key>Name</key>          text
//         <key>HardwarePort</key>  text
//         <key>Enabled</key>       <true/> or <false/>
//         <key>WebProxy</key>, <key>SecureWebProxy</key>, <key>SOCKSFirewallProxy</key>:
//             <dict> Enabled (bool), Server (text), Port (integer) </dict>
//         <key>BypassDomains</key> <array> text ... </array>
//       </dict> ...
// where "text" is a <string> when the bytes are UTF-8 without control characters other than tab and
// line feed, and <data> holding the raw bytes otherwise (so any byte string survives the XML).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace networksetup {

inline constexpr const char* kStateFileName = "state.plist";

struct ProxySetting {
  bool enabled = false;
  std::string server;
  uint16_t port = 0;
  bool operator==(const ProxySetting&) const = default;
};

enum class ProxyKind { web, secureWeb, socksFirewall };

struct NetworkService {
  std::string name;
  std::string hardwarePort;
  bool enabled = true;
  ProxySetting webProxy;
  ProxySetting secureWebProxy;
  ProxySetting socksFirewallProxy;
  std::vector<std::string> bypassDomains;

  ProxySetting& proxy(ProxyKind kind);
  const ProxySetting& proxy(ProxyKind kind) const;
  bool operator==(const NetworkService&) const = default;
};

struct NetworkState {
  std::vector<NetworkService> services;  // in service order

  // What a machine starts with: Wi-Fi, Ethernet and Thunderbolt Bridge enabled, Bluetooth PAN
  // disabled, every proxy off with no server and port 0, no bypass domains.
  static NetworkState fresh();

  // The first service whose name equals `name` byte for byte.
  NetworkService* find(std::string_view name);

  bool operator==(const NetworkState&) const = default;
};

// The XML property list of `state`.
std::string encodeStatePlist(const NetworkState& state);

// The state held by `bytes` (XML or binary property list); nothing when they are not a state
// property list of the shape above.
std::optional<NetworkState> decodeStatePlist(std::string_view bytes);

}  // namespace networksetup
