// The network service list: what "networksetup -listallnetworkservices" prints, turned into the
// names of the enabled services, and the names used when that cannot be had.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

// Used when the tool cannot be started or its output is not UTF-8: the services a Mac commonly has.
// Plain constants, not a static vector: a SIGTERM cleanup may still read them while another thread
// runs the exit-time destructors.
inline constexpr std::array<const char*, 4> kFallbackNetworkServiceNames = {"Wi-Fi", "Ethernet", "USB 10/100 LAN",
                                                                            "Thunderbolt Bridge"};
inline std::vector<std::string> fallbackNetworkServices() {
  return {kFallbackNetworkServiceNames.begin(), kFallbackNetworkServiceNames.end()};
}

// Lines split at a line feed that does not follow a carriage return, empty ones dropped, and every
// line holding an asterisk dropped (the legend and the disabled services alike). Nothing is
// trimmed: a service's name is passed back to the tool exactly as the tool printed it.
std::vector<std::string> parseNetworkServices(std::string_view text);

// The disabled services the listing shows: the lines that start with an asterisk, without it.
std::vector<std::string> parseDisabledNetworkServices(std::string_view text);
