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
// The stand-in's own words, which no macOS tool has. A run that switches a proxy state off and leaves a
// desktop store of the user out of step (no session bus at log-out, a refused write) still exits 0,
// and says so on standard error in a line that starts with this; the cleanup keeps its record then.
inline constexpr std::string_view kDesktopBehind = "networksetup: the desktop did not follow: ";
// One converging run and nothing else: a user who never used the tool is not touched at all, and a
// desktop in step is not touched either (the package's log-in entry).
inline constexpr std::string_view kRepairDesktop = "-repairdesktop";

}  // namespace networksetup_commands
