// The words of the networksetup command line that the product speaks: the tool's macOS path and the
// options its scripts, its cleanup, the tool's stand-in and the benches share. Spelled once here, so
// the script a user authorizes, the cleanup that undoes it and the tool that reads both cannot drift.
#pragma once

#include <array>
#include <string_view>

namespace networksetup_commands {

inline constexpr std::string_view kPath = "/usr/sbin/networksetup";
inline constexpr std::string_view kListAllNetworkServices = "-listallnetworkservices";

inline constexpr std::string_view kSetWebProxy = "-setwebproxy";
inline constexpr std::string_view kSetSecureWebProxy = "-setsecurewebproxy";
inline constexpr std::string_view kSetSocksFirewallProxy = "-setsocksfirewallproxy";
inline constexpr std::string_view kSetProxyBypassDomains = "-setproxybypassdomains";

inline constexpr std::string_view kSetWebProxyState = "-setwebproxystate";
inline constexpr std::string_view kSetSecureWebProxyState = "-setsecurewebproxystate";
inline constexpr std::string_view kSetSocksFirewallProxyState = "-setsocksfirewallproxystate";
// The three proxy states a service has, in the order the scripts and the cleanup switch them.
inline constexpr std::array<std::string_view, 3> kProxyStateSettings = {kSetWebProxyState, kSetSecureWebProxyState,
                                                                        kSetSocksFirewallProxyState};

// What a person (or an interface) reads back: each prints "Enabled: Yes|No", "Server: ...", "Port: ...".
inline constexpr std::string_view kGetWebProxy = "-getwebproxy";
inline constexpr std::string_view kGetSecureWebProxy = "-getsecurewebproxy";
inline constexpr std::string_view kGetSocksFirewallProxy = "-getsocksfirewallproxy";

}  // namespace networksetup_commands
