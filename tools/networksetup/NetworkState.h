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
//         <key>Device</key>        text, only for a service that stands for a device of this machine
//       </dict> ...
//     <key>DesktopSaved</key><dict>      (only while the desktop carries a proxy of ours)
//       <key>UID</key><dict> <key>BACKEND</key><dict> <key>SETTING</key> text ... </dict> ... </dict> ...
//     <key>DesktopCarried</key><dict>    (per desktop the tool last moved to a proxy of ours)
//       <key>UID</key><dict> <key>BACKEND</key><dict>
//         <key>Proxy</key> text                         what it carries (describe())
//         <key>Written</key><dict> SETTING text ... </dict>   the store's settings right after
//       </dict> ... </dict> ...
// where "text" is a <string> when the bytes are UTF-8 without control characters other than tab and
// line feed, and <data> holding the raw bytes otherwise (so any byte string survives the XML).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/macos_tools/MacOSTools.h"

namespace networksetup {

inline constexpr const char* kStateFileName = macos_tools::kNetworkSetupStateFile;

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
  // The interface this service stands for in the real world; empty for a service that was created.
  std::string device;
  // Whether the device is there now; a service whose device is gone keeps its settings, unlisted,
  // until it comes back. Never stored.
  bool present = true;

  bool anyProxyOn() const { return webProxy.enabled || secureWebProxy.enabled || socksFirewallProxy.enabled; }
  ProxySetting& proxy(ProxyKind kind);
  const ProxySetting& proxy(ProxyKind kind) const;
  bool operator==(const NetworkService&) const = default;
};

// A desktop's own proxy settings as they were before the tool first changed them, to put back when no
// service has a proxy on: setting name -> its value as the backend writes it. A setting the user had
// left at its default is not in the map.
using SavedSettings = std::map<std::string, std::string>;

// What a desktop store carries since the tool last moved it to a proxy: the proxy (describe()) and
// the store's own settings right after that change, so that what the user changed since can be told
// from what the tool wrote.
struct CarriedProxy {
  std::string proxy;
  SavedSettings written;
  bool operator==(const CarriedProxy&) const = default;
};

struct NetworkState {
  std::vector<NetworkService> services;  // in service order
  // Per desktop user (uid), per desktop backend (its name): what that user had.
  std::map<uint32_t, std::map<std::string, SavedSettings>> desktopSaved;
  // Per desktop user, per desktop backend: the proxy of ours it carries; absent: the user's own.
  std::map<uint32_t, std::map<std::string, CarriedProxy>> desktopCarried;

  // What a machine starts with: Wi-Fi, Ethernet and Thunderbolt Bridge enabled, Bluetooth PAN
  // disabled, every proxy off with no server and port 0, no bypass domains.
  static NetworkState fresh();

  // The first present service whose name equals `name` byte for byte.
  NetworkService* find(std::string_view name);
  const NetworkService* find(std::string_view name) const;

  bool operator==(const NetworkState&) const = default;
};

// The XML property list of `state`.
std::string encodeStatePlist(const NetworkState& state);

// The state held by `bytes` (XML or binary property list); nothing when they are not a state
// property list of the shape above.
std::optional<NetworkState> decodeStatePlist(std::string_view bytes);

}  // namespace networksetup
