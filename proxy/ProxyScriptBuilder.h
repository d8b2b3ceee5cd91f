// The bash scripts of networksetup runs that set or clear the proxies of network services.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace proxy {

// `text` inside apostrophes, as bash reads it back byte for byte.
std::string shellQuote(std::string_view text);
std::string buildEnableProxyScript(const std::vector<std::string>& services, const std::string& host, int64_t port,
                                   int64_t socks, const std::vector<std::string>& bypass);
std::string buildDisableProxyScript(const std::vector<std::string>& services);

}  // namespace proxy
